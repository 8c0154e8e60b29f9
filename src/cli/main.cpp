// qtxflash-cli: flashes one firmware image from the command line with the same
// engine as the window.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli_display.h"
#include "engine/catalogue.h"
#include "engine/context.h"
#include "engine/run.h"
#include "engine/setup_store.h"
#include "engine/x_flash.h"
#include "serial/portmap.h"

using namespace qtx;

namespace {

enum Exit { kOk = 0, kUsage = 1, kPort = 2, kBootstrap = 3, kErase = 4, kProgram = 5, kAborted = 130 };

const char* kUsageText =
    "usage: qtxflash-cli [-t TARGET] [-p COMn] [-b BAUD] [--settings FILE] [--save] FIRMWARE\n"
    "       qtxflash-cli --list-ports | --list-targets | --help | --version\n";

void PrintHelp() {
    std::printf(
        "%s\n"
        "Flashes FIRMWARE (a raw memory image) into a board through its serial boot loader.\n\n"
        "  -t, --target TARGET   processor type as in the window's list, e.g. \"C166/167\"\n"
        "                        (case-insensitive; default: the one stored in the settings)\n"
        "  -p, --port COMn       serial port name (see --list-ports)\n"
        "  -b, --baud BAUD       baud rate for this run\n"
        "      --settings FILE   settings file to read (default: flash.stp here, if present)\n"
        "      --save            write the settings back, with the choices of this run\n"
        "  -q, --quiet           print only errors and the result\n"
        "      --list-ports      show which device each COMn name stands for\n"
        "      --list-targets    show the processor types\n"
        "      --help, --version\n\n"
        "Port names: a directory of COMn links (~/.config/qtxflash/ports, or $QTXFLASH_PORTS,\n"
        "which then is the whole map) comes first; serial devices present take the lowest\n"
        "free numbers after that.\n\n"
        "Exit status: 0 programmed, 1 usage or bad input, 2 port cannot be opened,\n"
        "3 boot loader step failed, 4 erase failed, 5 programming failed, 130 aborted.\n",
        kUsageText);
}

int ListPorts() {
    const auto map = PortMap();
    if (map.empty()) {
        std::printf("no serial ports found (port map: %s%s)\n", PortMapDir().c_str(),
                    PortMapIsPrivate() ? ", from QTXFLASH_PORTS" : "");
        return kOk;
    }
    for (const PortEntry& e : map) {
        std::printf("%-6s %-20s %s%s\n", e.name.c_str(), e.device.c_str(), e.description.c_str(),
                    e.fromDirectory ? (e.description.empty() ? "(link)" : " (link)") : "");
    }
    return kOk;
}

int ListTargets() {
    const Setup& d = DefaultImage();
    std::printf("%-10s %-5s %-10s %-8s %-7s %s\n", "TARGET", "CODE", "CLASS", "FRAMING", "BAUD", "LOADER");
    for (const TargetRow& row : Catalogue()) {
        const PortRecord& r = d.Ports[row.portRecord];
        std::string loader = "-";
        if (row.loader) {
            loader = std::to_string(row.loader->size) + " bytes";
            if (row.loader->standIn) loader += " (STAND-IN: a real board will not run it)";
        }
        std::printf("%-10s %-5d %-10s %-8s %-7d %s\n", row.itemText, row.deviceCode, row.className,
                    r.FramingText().c_str(), r.BaudRate(), loader.c_str());
    }
    return kOk;
}

bool ParseInt(const std::string& s, long& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtol(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char dir[4096];
    if (!getcwd(dir, sizeof dir)) return path;
    std::string d(dir);
    return d == "/" ? d + path : d + "/" + path;
}

int Fail(const std::string& msg) {
    std::fprintf(stderr, "qtxflash-cli: %s\n", msg.c_str());
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    std::string target, port, baudText, settingsPath, firmware;
    bool save = false, quiet = false;
    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& dest) {
            if (i + 1 >= args.size()) return false;
            dest = args[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            PrintHelp();
            return kOk;
        } else if (a == "--version") {
            std::printf("qtxflash-cli 1.13\n");
            return kOk;
        } else if (a == "--list-ports") {
            return ListPorts();
        } else if (a == "--list-targets") {
            return ListTargets();
        } else if (a == "-t" || a == "--target") {
            if (!value(target)) return Fail("option " + a + " needs a value\n" + kUsageText);
        } else if (a == "-p" || a == "--port") {
            if (!value(port)) return Fail("option " + a + " needs a value\n" + kUsageText);
        } else if (a == "-b" || a == "--baud") {
            if (!value(baudText)) return Fail("option " + a + " needs a value\n" + kUsageText);
        } else if (a == "--settings") {
            if (!value(settingsPath)) return Fail("option " + a + " needs a value\n" + kUsageText);
        } else if (a == "--save") {
            save = true;
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

    CliDisplay display(stderr, quiet);
    Context ctx(display);
    display.Attach(&ctx);

    const bool explicitSettings = !settingsPath.empty();
    if (!explicitSettings) settingsPath = "flash.stp";
    struct stat st;
    if (::stat(settingsPath.c_str(), &st) == 0) {
        std::string err;
        if (!ReadStoredSetup(settingsPath, ctx.setup, &err))
            std::fprintf(stderr, "qtxflash-cli: ignoring %s, using the defaults\n", err.c_str());
    } else if (explicitSettings && !save) {
        return Fail("settings file " + settingsPath + ": " + std::strerror(errno));
    }

    const TargetRow* row = nullptr;
    if (!target.empty()) {
        row = FindTargetByText(target);
        if (!row) {
            std::string known;
            for (const TargetRow& r : Catalogue()) known += std::string(known.empty() ? "" : ", ") + r.itemText;
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
    if (!port.empty()) {
        const int n = ComNumber(port);
        if (n < 1 || port.size() > 6) return Fail("port name \"" + port + "\" is not of the form COMn (COM1 to COM99999)");
        record.SetName("COM" + std::to_string(n));
    }
    if (!baudText.empty()) {
        long baud = 0;
        if (!ParseInt(baudText, baud) || baud <= 0 || baud > 100000000)
            return Fail("baud rate \"" + baudText + "\" is not a positive number");
        record.SetBaudRate(static_cast<int32_t>(baud));
    }

    // The firmware must be a readable file before anything touches the port.
    if (::stat(firmware.c_str(), &st) != 0) return Fail("firmware file " + firmware + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return Fail("firmware file " + firmware + " is a directory");
    if (::access(firmware.c_str(), R_OK) != 0)
        return Fail("firmware file " + firmware + ": " + std::strerror(errno));
    ctx.FlashFilePath = AbsolutePath(firmware);
    const auto slash = ctx.FlashFilePath.rfind('/');
    const std::string dir = ctx.FlashFilePath.substr(0, slash + 1);
    const std::string name = ctx.FlashFilePath.substr(slash + 1);
    const bool storable = ctx.setup.SetFlashDir(dir) && ctx.setup.SetFlashName(name);
    if (save && !storable) return Fail("the firmware path is too long to be stored in the settings");

    if (SelectTarget(ctx, row->deviceCode) != 0) return Fail("cannot select the target");
    if (!quiet) {
        std::fprintf(stderr, "qtxflash-cli: %s on %s (%s, %d baud), firmware %s (%lld bytes)\n", row->itemText,
                     record.Name().c_str(), record.FramingText().c_str(), record.BaudRate(),
                     ctx.FlashFilePath.c_str(), static_cast<long long>(st.st_size));
    }

    CliDisplay::InstallInterruptHandler();
    const int64_t start = NowMs();
    const RunOutcome outcome = FlashRun(ctx);
    const double seconds = static_cast<double>(NowMs() - start) / 1000.0;

    if (save) {
        std::string err;
        if (!WriteSetupFile(settingsPath, ctx.setup, &err)) std::fprintf(stderr, "qtxflash-cli: cannot save settings: %s\n", err.c_str());
    }

    const std::string tool = "qtxflash-cli: ";
    switch (outcome) {
    case RunOutcome::Programmed:
        char done[256];
        std::snprintf(done, sizeof done, "programmed %lld bytes into %s on %s in %.1f s",
                      static_cast<long long>(st.st_size), row->itemText, record.Name().c_str(), seconds);
        display.Say(tool + done);
        return kOk;
    case RunOutcome::PortError:
        return kPort;
    case RunOutcome::BootstrapFailed:
    case RunOutcome::NoBoot:
        display.Say(tool + "failed: the boot loader step (" + OutcomeName(outcome) + ")");
        return kBootstrap;
    case RunOutcome::EraseFailed:
        display.Say(tool + "failed: erase");
        return kErase;
    case RunOutcome::ProgramFailed:
        display.Say(tool + "failed: programming");
        return kProgram;
    case RunOutcome::Aborted:
        display.Say(tool + "aborted");
        return kAborted;
    case RunOutcome::BadInput:
        display.Say(tool + "failed: the firmware file was refused; nothing was sent");
        return kUsage;
    }
    return kProgram;
}
