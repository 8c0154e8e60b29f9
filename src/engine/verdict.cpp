#include "engine/verdict.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "engine/target_table.h"
#include "engine/x_flash.h"

namespace qtx {

namespace {

const char* StageName(Panel p) {
    switch (p) {
    case Panel::Bsl: return "boot loader";
    case Panel::Erase: return "erase";
    case Panel::Flash: return "programming";
    }
    return "?";
}

// The local time of a run's start in the given strftime format; "?" when it cannot be told.
std::string LocalTime(int64_t unixMs, const char* format) {
    char text[40] = "?";
    const time_t t = static_cast<time_t>(unixMs / 1000);
    tm local{};
    if (localtime_r(&t, &local)) std::strftime(text, sizeof text, format, &local);
    return text;
}

std::string OneField(std::string s) {
    for (char& c : s)
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) return "-";
    const auto last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

}  // namespace

std::string FailureHint(RunOutcome outcome, const StageFailure& f, bool partial) {
    if (f.kind == Failure::Timeout && f.step == X_Flash::kPortGoneStep)
        return std::string("The adapter was unplugged: plug it in again, choose the port under Comport and flash again.") +
               (partial ? " The board holds a partial image until then." : "");
    switch (outcome) {
    case RunOutcome::Programmed:
        return {};
    case RunOutcome::BadInput:
        return "Nothing was sent: choose a file that fits the selected processor type, or another processor type.";
    case RunOutcome::PortError:
        return "The port could not be opened: check that the adapter is plugged in and that no other program uses "
               "the port, then choose it under Comport.";
    case RunOutcome::NoBoot:
        return "The running firmware did not switch to its boot loader: set the boot jumper and reset the board.";
    case RunOutcome::Aborted:
        return partial ? "Flash the board again before it is used."
                       : "Aborted before anything was erased: the board is unchanged.";
    case RunOutcome::BootstrapFailed:
        if (f.kind == Failure::CharError)
            return "The boot loader answered wrongly: check the processor type and the baud rate, then reset the board.";
        if (f.kind == Failure::Port)
            return "The port stopped taking bytes: check the adapter and its cable, then flash again.";
        if (f.kind == Failure::Program)
            return "The loader did not start: reset the board and flash again; check the processor type.";
        return "No answer from the boot loader: check the cable, the boot jumper, and reset the board.";
    case RunOutcome::EraseFailed:
        if (f.kind == Failure::Timeout || f.kind == Failure::CharError)
            return "The board stopped answering during the erase: reset it and flash again.";
        return "The flash could not be erased: reset the board and try again; check that the flash is not protected.";
    case RunOutcome::ProgramFailed:
        if (f.kind == Failure::Program)
            return "The flash does not hold what was sent: try again, then check the power supply.";
        return std::string("The board stopped answering while it was programmed: reset it and flash again.") +
               (partial ? " The board holds a partial image until then." : "");
    }
    return {};
}

RunVerdict VerdictOf(const Context& ctx, RunOutcome outcome) {
    RunVerdict v;
    v.outcome = outcome;
    v.partial = outcome != RunOutcome::Programmed && ctx.FlashTouched;
    if (outcome == RunOutcome::Programmed) {
        v.word = "OK";
        return v;
    }
    if (ctx.lastError.shown)
        v.word = ctx.lastError.word;
    else
        v.word = outcome == RunOutcome::PortError ? "PORT ERR" : "FAILED";
    switch (outcome) {
    case RunOutcome::BadInput: v.step = "file check"; break;
    case RunOutcome::PortError: v.step = "port open"; break;
    case RunOutcome::NoBoot: v.step = "switch into boot mode"; break;
    default:
        v.step = ctx.lastFailure.step.empty() ? StageName(ctx.lastFailure.panel) : ctx.lastFailure.step;
        break;
    }
    v.hint = FailureHint(outcome, ctx.lastFailure, v.partial);
    return v;
}

std::string VerdictLine(const RunVerdict& v, const RunRecord& r) {
    const std::string when = LocalTime(r.startedUnixMs, "%H:%M:%S");
    char line[512];
    if (v.outcome == RunOutcome::Programmed) {
        std::snprintf(line, sizeof line, "%s  OK: %llu bytes into %s on %s, %.1f s", when.c_str(),
                      static_cast<unsigned long long>(r.size), r.target.c_str(), r.port.c_str(),
                      static_cast<double>(r.durationMs) / 1000.0);
        return line;
    }
    std::snprintf(line, sizeof line, "%s  %s (%s) on %s%s", when.c_str(), v.word.c_str(), v.step.c_str(), r.port.c_str(),
                  v.partial ? ": a partial image is left on the board" : "");
    return line;
}

RunRecord MakeRunRecord(const Context& ctx, const RunVerdict& v, int64_t startedUnixMs, int64_t durationMs) {
    RunRecord r;
    r.startedUnixMs = startedUnixMs;
    const TargetRow* row = FindTargetByCode(ctx.setup.DeviceCode());
    r.target = row ? row->itemText : "?";
    const int index = PortRecordIndex(ctx.setup.DeviceCode());
    r.port = index < 0 ? "?" : ctx.setup.Ports[index].Name();
    r.file = ctx.FlashFilePath;
    // The image as read for this run; a file refused before it was read whole has no size or CRC.
    r.size = ctx.RunImageSize;
    r.crc32 = ctx.RunImageCrc;
    r.result = v.word;
    r.step = v.step.empty() ? "-" : v.step;
    r.durationMs = durationMs;
    r.partial = v.partial;
    r.hint = v.hint;
    return r;
}

std::string FormatRunRecord(const RunRecord& r) {
    const std::string when = LocalTime(r.startedUnixMs, "%Y-%m-%dT%H:%M:%S%z");
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%llu\t%08X", static_cast<unsigned long long>(r.size), r.crc32);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(r.durationMs) / 1000.0);
    std::string result = r.result + (r.partial ? " (partial image)" : "");
    return when + '\t' + OneField(r.target) + '\t' + OneField(r.port) + '\t' + OneField(r.file) + '\t' +
           numbers + '\t' + OneField(result) + '\t' + OneField(r.step) + '\t' + seconds + '\t' + OneField(r.hint);
}

std::string RunLogPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    // The XDG rule: a relative path there is to be ignored.
    if (state && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') return {};
        base = std::string(home) + "/.local/state";
    }
    return base + "/qtxflash/runs.log";
}

bool AppendRunLog(const std::string& path, const RunRecord& r, std::string* why) {
    auto fail = [&](const std::string& what) {
        if (why) *why = what + " " + path + ": " + std::strerror(errno);
        return false;
    };
    if (path.empty()) {
        errno = ENOENT;
        return fail("no state directory for");
    }
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    if (ec) {
        errno = ec.value();
        return fail("cannot create the directory of");
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fail("cannot open");
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && st.st_size == 0) text = std::string(kRunLogHeader) + '\n';
    text += FormatRunRecord(r) + '\n';
    // One write per record: O_APPEND keeps records of two instances whole.
    const ssize_t n = ::write(fd, text.data(), text.size());
    const bool ok = n == static_cast<ssize_t>(text.size());
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok ? true : fail("cannot write");
}

}  // namespace qtx
