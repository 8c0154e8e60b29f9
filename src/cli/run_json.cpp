#include "cli/run_json.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "cli/cli_display.h"
#include "engine/context.h"
#include "engine/verdict.h"
#include "serial/portmap.h"

namespace qtx {

const char* ResultName(RunOutcome outcome, bool interrupted) {
    if (interrupted && outcome != RunOutcome::Programmed) return "aborted";
    switch (outcome) {
    case RunOutcome::Programmed: return "ok";
    case RunOutcome::BadInput: return "bad-input";
    case RunOutcome::PortError: return "port";
    case RunOutcome::BootstrapFailed:
    case RunOutcome::NoBoot: return "boot";
    case RunOutcome::EraseFailed: return "erase";
    case RunOutcome::ProgramFailed: return "program";
    case RunOutcome::Aborted: return "aborted";
    }
    return "program";
}

int64_t UnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

RunJson RunRecordOf(const Context& ctx, const std::string& target, const std::string& port, RunOutcome outcome,
                    int64_t startUnixMs, int64_t durationMs) {
    RunJson r;
    r.target = target;
    r.port = port;
    r.device = ctx.PortDevice.empty() ? ResolvePort(port) : ctx.PortDevice;
    r.file = ctx.FlashFilePath;
    r.size = ctx.RunImageSize;
    r.crc32 = ctx.RunImageCrc;
    r.outcome = outcome;
    r.interrupted = CliDisplay::Interrupted();
    r.step = VerdictOf(ctx, outcome).step;
    r.startUnixMs = startUnixMs;
    r.durationMs = durationMs;
    r.bytesSent = ctx.BytesSent.load();
    r.dataBaud = ctx.DataBaud;
    return r;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04X", c);
            out += esc;
            ++i;
        } else if (c < 0x80) {
            out += char(c);
            ++i;
        } else if (const std::size_t n = Utf8Length(s, i)) {
            out.append(s, i, n);
            i += n;
        } else {
            out += "\\uFFFD";
            ++i;
        }
    }
    return out + "\"";
}

std::string ToJson(const RunJson& r) {
    char start[40] = "";
    const time_t t = static_cast<time_t>(r.startUnixMs / 1000);
    tm utc{};
    if (gmtime_r(&t, &utc)) {
        char base[32];
        std::strftime(base, sizeof base, "%Y-%m-%dT%H:%M:%S", &utc);
        std::snprintf(start, sizeof start, "%s.%03dZ", base, static_cast<int>(r.startUnixMs % 1000));
    }
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08X", r.crc32);
    const std::string result = ResultName(r.outcome, r.interrupted);
    return "{\"target\":" + JsonString(r.target) + ",\"port\":" + JsonString(r.port) +
           ",\"device\":" + JsonString(r.device) + ",\"file\":" + JsonString(r.file) +
           ",\"size\":" + std::to_string(r.size) + ",\"crc32\":\"" + crc + "\",\"result\":\"" + result +
           "\",\"step\":" + (r.step.empty() ? std::string("null") : JsonString(r.step)) + ",\"start\":\"" + start +
           "\",\"duration_ms\":" + std::to_string(r.durationMs) + ",\"bytes_sent\":" + std::to_string(r.bytesSent) +
           ",\"data_baud\":" + std::to_string(r.dataBaud) + "}";
}

}  // namespace qtx
