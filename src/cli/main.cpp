// qtxflash-cli: flashes one firmware image from the command line with the same
// engine as the window.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli_display.h"
#include "cli/gang.h"
#include "cli/run_json.h"
#include "engine/catalogue.h"
#include "engine/context.h"
#include "engine/firmware_file.h"
#include "engine/firmware_load.h"
#include "engine/run.h"
#include "engine/verdict.h"
#include "engine/x_flash.h"
#include "serial/portmap.h"
#include "serial/wire_trace.h"
#include "settings/setup_file.h"
#include "version/version.h"

using namespace qtx;

namespace {

enum Exit { kOk = 0, kUsage = 1, kPort = 2, kBootstrap = 3, kErase = 4, kProgram = 5, kAborted = 130 };

const char* kUsageText =
    "usage: qtxflash-cli [-t TARGET] [-p COMn[,COMn...]] [-b BAUD] [--fast[=BAUD]] [--json]\n"
    "                    [--trace FILE] [--settings FILE] [--save] FIRMWARE\n"
    "       qtxflash-cli --list-ports | --list-targets | --help | --version\n";

void PrintHelp() {
    std::printf(
        "%s\n"
        "Flashes FIRMWARE into a board through its serial boot loader. FIRMWARE is an\n"
        "Intel HEX file (.hex, .ihx), S-records (.s19, .s28, .s37, .srec, .mot), an ELF\n"
        "program (.elf: its loadable segments by physical address) or a raw memory image\n"
        "(anything else). The content decides; the name only where the content says nothing.\n"
        "Addresses are the target's own (STM32F4 flash at 0x08000000); gaps read as erased.\n\n"
        "  -t, --target TARGET   processor type as in the window's list, e.g. \"C166/167\"\n"
        "                        (case-insensitive; default: the one stored in the settings)\n"
        "  -p, --port COMn       serial port name (see --list-ports); several, as COM1,COM3\n"
        "                        or -p given again, flash the same file into every one of\n"
        "                        them at once, with a summary table at the end\n"
        "  -b, --baud BAUD       baud rate for this run\n"
        "      --fast[=BAUD]     once the target's loader runs, switch the line to BAUD\n"
        "                        (default: the fastest the target offers, see\n"
        "                        --list-targets) for the erase and the data; if the\n"
        "                        switch fails the run goes on at the port's rate\n"
        "      --settings FILE   settings file to read (default: flash.stp here, if present)\n"
        "      --save            write the settings back, with the choices of this run\n"
        "  -q, --quiet           print only errors and the result\n"
        "      --json            one JSON object per port on stdout when its run ends\n"
        "      --trace FILE      record the bytes on the line in FILE (FILE.COMn per port\n"
        "                        when there are several)\n"
        "      --no-read-back    T89C5xACx: do not read the flash back and compare it with\n"
        "                        FIRMWARE after programming (other targets: ignored)\n"
        "      --list-ports      show which device each COMn name stands for\n"
        "      --list-targets    show the processor types\n"
        "      --help, --version\n\n"
        "Port names: a directory of COMn links (~/.config/qtxflash/ports, or $QTXFLASH_PORTS,\n"
        "which then is the whole map) comes first; serial devices present take the lowest\n"
        "free numbers after that.\n\n"
        "Exit status: 0 programmed, 1 usage or bad input, or --save with a settings file\n"
        "that cannot be written (nothing was sent to the board), 2 port cannot be opened\n"
        "or stopped taking bytes, 3 boot loader\n"
        "step failed, 4 erase failed, 5 programming failed, 130 aborted by Ctrl-C or\n"
        "SIGHUP, 143 aborted by SIGTERM. With several ports: the worst of theirs, in the\n"
        "order 130/143, 5, 4, 3, 2, 1, 0.\n",
        kUsageText);
}

int Fail(const std::string& msg);

int ListPorts() {
    if (const std::string problem = PortMapProblem(); !problem.empty()) return Fail(problem);
    const auto map = PortMap();
    if (map.empty()) {
        std::printf("no serial ports found (port map: %s%s)\n", PortMapDir().c_str(),
                    PortMapIsPrivate() ? ", from QTXFLASH_PORTS" : "");
        return kOk;
    }
    for (const PortEntry& e : map) {
        std::printf("%-6s %-20s %s%s\n", e.name.c_str(), CliDisplay::Printable(e.device).c_str(),
                    CliDisplay::Printable(e.description).c_str(),
                    e.fromDirectory ? (e.description.empty() ? "(link)" : " (link)") : "");
    }
    return kOk;
}

int ListTargets() {
    const Setup& d = DefaultImage();
    std::printf("%-10s %-5s %-13s %-8s %-7s %-9s %-6s %-10s %-11s %s\n", "TARGET", "CODE", "CLASS", "FRAMING", "BAUD",
                "MAX", "ERASED", "BOARD", "LOADER", "FAST");
    for (const TargetRow* row : Catalogue()) {
        const PortRecord& r = d.Ports[row->portRecord];
        const std::string loader = row->loader ? std::to_string(row->loader->size) + " bytes" : "-";
        std::string fast;
        for (uint32_t rate : row->fastRates) fast += (fast.empty() ? "" : ",") + std::to_string(rate);
        std::printf("%-10s %-5d %-13s %-8s %-7d %-9llu 0x%02X   %-10s %-11s %s\n", row->itemText, row->deviceCode,
                    row->className, row->framing, r.BaudRate(), static_cast<unsigned long long>(row->maxImageSize),
                    row->erasedValue, row->simBoard, loader.c_str(), fast.empty() ? "-" : fast.c_str());
    }
    return kOk;
}

// Blanks around a number are dropped on both sides alike; inside it only digits count.
std::string Trimmed(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool ParseBaud(const std::string& text, long& out) {
    const std::string s = Trimmed(text);
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::strtol(s.c_str(), nullptr, 10);
    return true;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char dir[4096];
    if (!getcwd(dir, sizeof dir)) return path;
    std::string d(dir);
    return d == "/" ? d + path : d + "/" + path;
}

int Fail(const std::string& msg) {
    std::fprintf(stderr, "qtxflash-cli: %s\n", CliDisplay::Printable(msg).c_str());
    return kUsage;
}

// Whether the settings file can be written, found before the run: a programmed
// board must not end in a failure because its settings could not be kept.
bool CanWriteSettings(const std::string& path, std::string& why) {
    std::string target = path;
    if (::access(path.c_str(), F_OK) != 0) {
        const auto slash = path.rfind('/');
        target = slash == std::string::npos ? "." : path.substr(0, slash + (slash == 0 ? 1 : 0));
    }
    if (::access(target.c_str(), W_OK) == 0) return true;
    why = "settings file " + path + " cannot be written (" + target + ": " + std::strerror(errno) + ")";
    return false;
}

// What a path names, for the settings file: missing, a regular file, or something else.
enum class PathKind { Missing, Regular, Other };
PathKind KindOf(const std::string& path, int& err) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        err = errno;
        return err == ENOENT ? PathKind::Missing : PathKind::Other;
    }
    err = 0;
    return S_ISREG(st.st_mode) ? PathKind::Regular : PathKind::Other;
}

}  // namespace

int main(int argc, char** argv) {
    // First of all: a closed stderr reader or a hang-up must find a run that
    // winds down through its abort path, never one cut off half way.
    CliDisplay::InstallSignalHandlers();

    std::string target, baudText, settingsPath, firmware, tracePath;
    std::vector<std::string> ports;
    bool save = false, quiet = false, json = false;
    bool readBack = true;  // --no-read-back
    bool fast = false;     // --fast, with fastText its rate (empty: the fastest offered)
    std::string fastText;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        // An empty value is refused, never read as "the stored one".
        std::string problem;
        auto value = [&](std::string& dest) {
            if (i + 1 >= args.size()) {
                problem = "option " + a + " needs a value\n" + kUsageText;
                return false;
            }
            dest = args[++i];
            if (Trimmed(dest).empty()) {
                problem = "option " + a + " needs a value, not an empty text";
                return false;
            }
            return true;
        };
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return kOk;
        } else if (a == "--version") {
            std::printf("%s\n", VersionLine("qtxflash-cli").c_str());
            return kOk;
        } else if (a == "--list-ports") {
            return ListPorts();
        } else if (a == "--list-targets") {
            return ListTargets();
        } else if (a == "-t" || a == "--target") {
            if (!value(target)) return Fail(problem);
        } else if (a == "-p" || a == "--port") {
            std::string list;
            if (!value(list)) return Fail(problem);
            for (std::size_t from = 0;;) {
                const auto comma = list.find(',', from);
                const std::string one = Trimmed(list.substr(from, comma == std::string::npos ? comma : comma - from));
                if (one.empty()) return Fail("option " + a + " has an empty port name in \"" + list + "\"");
                ports.push_back(one);
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
        } else if (a == "--json") {
            json = true;
        } else if (a == "--trace") {
            if (!value(tracePath)) return Fail(problem);
        } else if (a == "-b" || a == "--baud") {
            if (!value(baudText)) return Fail(problem);
        } else if (a == "--settings") {
            if (!value(settingsPath)) return Fail(problem);
        } else if (a == "--save") {
            save = true;
        } else if (a == "--fast") {
            fast = true;
        } else if (a.rfind("--fast=", 0) == 0) {
            fast = true;
            fastText = a.substr(7);
            if (Trimmed(fastText).empty()) return Fail("option --fast= needs a baud rate, not an empty text");
        } else if (a == "--no-read-back") {
            readBack = false;
        } else if (a == "-q" || a == "--quiet") {
            quiet = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return Fail("unknown option " + a + "\n" + kUsageText);
        } else if (firmware.empty()) {
            firmware = a;
        } else {
            return Fail("only one firmware file can be given\n" + std::string(kUsageText));
        }
    }
    if (firmware.empty()) return Fail(std::string("no firmware file given\n") + kUsageText);
    if (const std::string problem = PortMapProblem(); !problem.empty()) return Fail(problem);

    CliDisplay display(stderr, quiet);
    Context ctx(display);
    display.Attach(&ctx);

    // Only a regular file is read or replaced: a device node must never become
    // a settings file, and a FIFO must not hang the tool.
    const bool explicitSettings = !settingsPath.empty();
    if (!explicitSettings) settingsPath = "flash.stp";
    int err = 0;
    switch (KindOf(settingsPath, err)) {
    case PathKind::Regular: {
        std::string why;
        if (!ReadStoredSetup(settingsPath, ctx.setup, &why))
            std::fprintf(stderr, "qtxflash-cli: ignoring %s, using the defaults\n", CliDisplay::Printable(why).c_str());
        break;
    }
    case PathKind::Missing:
        if (explicitSettings && !save) return Fail("settings file " + settingsPath + ": " + std::strerror(err));
        break;
    case PathKind::Other:
        if (explicitSettings || save) {
            return Fail("settings file " + settingsPath + (err ? std::string(": ") + std::strerror(err)
                                                               : std::string(" is not a regular file")));
        }
        std::fprintf(stderr, "qtxflash-cli: ignoring %s here: not a regular file; using the defaults\n",
                     CliDisplay::Printable(settingsPath).c_str());
        break;
    }

    const TargetRow* row = nullptr;
    if (!target.empty()) {
        row = FindTargetByText(target);
        if (!row) {
            std::string known;
            for (const TargetRow* r : Catalogue()) known += std::string(known.empty() ? "" : ", ") + r->itemText;
            return Fail("unknown target \"" + target + "\" (known: " + known + ")");
        }
    } else {
        row = FindTargetByCode(ctx.setup.DeviceCode());
        if (!row)
            return Fail("the settings select device code " + std::to_string(ctx.setup.DeviceCode()) +
                        ", which is no target; give -t or remove " + settingsPath);
    }
    ctx.setup.SetDeviceCode(row->deviceCode);
    PortRecord& record = ctx.setup.Ports[row->portRecord];
    std::vector<std::string> names;
    for (const std::string& port : ports) {
        // The settings keep six characters of a port name: COM999 is the last that fits.
        const int n = ComNumber(port);
        if (n < 1 || port.size() > sizeof record.PortName - 1)
            return Fail("port name \"" + port + "\" is not of the form COMn (COM1 to COM999)");
        const std::string name = "COM" + std::to_string(n);
        for (const std::string& seen : names)
            if (seen == name) return Fail(name + " is given twice: one board, one port");
        names.push_back(name);
    }
    if (!names.empty()) record.SetName(names.front());
    if (!baudText.empty()) {
        long baud = 0;
        if (!ParseBaud(baudText, baud) || baud <= 0 || baud > 100000000)
            return Fail("baud rate \"" + baudText + "\" is not a positive number");
        record.SetBaudRate(static_cast<int32_t>(baud));
    }

    uint32_t fastBaud = 0;
    if (fast) {
        long rate = 0;
        if (fastText.empty()) {
            rate = FastestRate(*row);
            if (rate == 0) return Fail(std::string(row->itemText) + " has no fast-data mode: its loader cannot change the rate");
        } else if (!ParseBaud(fastText, rate) || rate <= 0 || rate > 100000000) {
            return Fail("fast data rate \"" + fastText + "\" is not a positive number");
        }
        if (const std::string why = FastRateProblem(*row, static_cast<uint32_t>(rate)); !why.empty()) return Fail(why);
        fastBaud = static_cast<uint32_t>(rate);
    }

    // The whole image is read and judged before anything touches the port: a
    // board erased for a file that cannot be sent has lost its firmware.
    ctx.FlashFilePath = AbsolutePath(firmware);
    long long imageSize = 0;
    std::string imageText;
    {
        LoadedFirmware loaded;
        std::string why;
        if (!LoadFirmware(ctx.FlashFilePath, *row, loaded, why)) return Fail(why);
        imageSize = static_cast<long long>(loaded.image.size());
        imageText = FirmwareLine(loaded, *row);
    }
    const auto slash = ctx.FlashFilePath.rfind('/');
    const std::string dir = ctx.FlashFilePath.substr(0, slash + 1);
    const std::string name = ctx.FlashFilePath.substr(slash + 1);
    const bool storable = ctx.setup.SetFlashDir(dir) && ctx.setup.SetFlashName(name);
    if (save && !storable) return Fail("the firmware path is too long to be stored in the settings");
    if (std::string why; save && !CanWriteSettings(settingsPath, why)) return Fail(why);
    // A stored rate the line cannot run at is bad input, like -b 0.
    if (record.BaudRate() <= 0)
        return Fail("settings file " + settingsPath + " gives " + record.Name() + " the baud rate " +
                    std::to_string(record.BaudRate()) + ", which is not a positive number; give -b");

    // --no-read-back: said even with -q, since it qualifies the result.
    auto sayReadBack = [&] {
        if (!readBack && std::string(row->className) == "Flash_AC2")
            display.Say("qtxflash-cli: read-back skipped (--no-read-back): the flash is not checked");
        else if (!readBack && !quiet)
            display.Say("qtxflash-cli: --no-read-back applies only to T89C5xACx; ignored for " +
                        std::string(row->itemText));
    };

    if (names.size() > 1) {
        // The settings record holds one port; which of them it should keep is no one's guess.
        if (save) return Fail("--save takes one port, not " + std::to_string(names.size()));
        GangPlan plan;
        plan.row = row;
        plan.setup = ctx.setup;
        plan.ports = names;
        plan.file = ctx.FlashFilePath;
        plan.imageLine = imageText;
        plan.readBack = readBack;
        plan.fastBaud = fastBaud;
        plan.quiet = quiet;
        plan.json = json;
        plan.tracePath = tracePath;
        sayReadBack();
        return RunGang(plan);
    }
    if (!tracePath.empty()) {
        ctx.Trace = std::make_shared<WireTrace>(tracePath);
        if (!ctx.Trace->Ok()) return Fail(ctx.Trace->Problem());
    }

    if (SelectTarget(ctx, row->deviceCode) != 0) return Fail("cannot select the target");
    if (!quiet) {
        display.Say("qtxflash-cli: " + std::string(row->itemText) + " on " + record.Name() + " (" +
                    record.FramingText() + ", " + std::to_string(record.BaudRate()) + " baud), firmware " +
                    ctx.FlashFilePath + " (" + std::to_string(imageSize) + " bytes)");
        display.Say("qtxflash-cli: " + imageText);
    }

    ctx.ReadBack = readBack;
    ctx.FastBaud = fastBaud;
    sayReadBack();

    const int64_t start = NowMs();
    const int64_t startUnixMs = UnixMs();
    const RunOutcome outcome = FlashRun(ctx);
    const double seconds = static_cast<double>(NowMs() - start) / 1000.0;
    if (ctx.Trace) ctx.Trace->Flush();
    if (json) {
        const RunJson r = RunRecordOf(ctx, row->itemText, record.Name(), outcome, startUnixMs, NowMs() - start);
        std::printf("%s\n", ToJson(r).c_str());
        std::fflush(stdout);
    }

    bool saved = true;
    if (save) {
        std::string why;
        saved = WriteSetupFile(settingsPath, ctx.setup, &why);
        // Writable before the run, so this is rare; the board's result still decides the status.
        if (!saved) display.Say("qtxflash-cli: warning: cannot save settings: " + why);
    }

    const std::string tool = "qtxflash-cli: ";
    // A configuration error ends the program with its own status, whatever the run did.
    if (ctx.FatalExitStatus != 0) {
        display.Say(tool + "fatal: " + (ctx.lastPortError.empty() ? "the settings select no target" : ctx.lastPortError));
        return ctx.FatalExitStatus;
    }
    // A signal that asked for the abort decides the status of a run that did not finish.
    const std::string partial = ctx.FlashTouched ? "; the erase had begun: the board now holds a partial image" : "";
    const RunVerdict verdict = VerdictOf(ctx, outcome);
    // What to do next, after the line that said what went wrong.
    auto withHint = [&](int status) {
        if (!verdict.hint.empty()) display.Say(tool + "hint: " + verdict.hint);
        return status;
    };
    if (outcome != RunOutcome::Programmed && CliDisplay::Interrupted()) {
        display.Say(tool + "aborted (" + strsignal(CliDisplay::InterruptSignal()) + ")" + partial);
        return withHint(CliDisplay::InterruptStatus());
    }
    switch (outcome) {
    case RunOutcome::Programmed: {
        char done[256];
        std::snprintf(done, sizeof done, "programmed %lld bytes into %s on %s in %.1f s, %lld ms of it the protocol's pauses",
                      imageSize, row->itemText, record.Name().c_str(), seconds,
                      static_cast<long long>(ctx.PrescribedPauseMs));
        display.Say(tool + done);
        if (fastBaud != 0)
            display.Say(tool + "data at " + std::to_string(ctx.DataBaud) + " baud" +
                        (ctx.DataBaud == fastBaud ? " (fast)" : ": the switch to " + std::to_string(fastBaud) +
                                                                     " baud failed, see above"));
        return kOk;
    }
    case RunOutcome::BadInput:
        display.Say(tool + "refused the firmware file; nothing was sent to the board");
        return withHint(kUsage);
    case RunOutcome::PortError:
        return withHint(kPort);
    case RunOutcome::BootstrapFailed:
    case RunOutcome::NoBoot:
        display.Say(tool + "failed: the boot loader step (" + OutcomeName(outcome) + ")");
        return withHint(kBootstrap);
    case RunOutcome::EraseFailed:
        display.Say(tool + "failed: erase");
        return withHint(kErase);
    case RunOutcome::ProgramFailed:
        display.Say(tool + "failed: programming");
        return withHint(kProgram);
    case RunOutcome::Aborted:
        display.Say(tool + "aborted" + partial);
        return withHint(kAborted);
    }
    return kProgram;
}
