// One finished run as a JSON object on one line, for scripts on a production
// bench (qtxflash-cli --json).
#pragma once

#include <cstdint>
#include <string>

#include "engine/run.h"

namespace qtx {

struct Context;

struct RunJson {
    std::string target, port, device, file;
    uint64_t size = 0;
    uint32_t crc32 = 0;
    RunOutcome outcome = RunOutcome::Programmed;
    bool interrupted = false;   // ended by a signal before it finished
    std::string step;           // the failed step's text; empty for a success
    int64_t startUnixMs = 0;
    int64_t durationMs = 0;
    uint64_t bytesSent = 0;
    uint32_t dataBaud = 0;      // the rate the data went at; 0 when the loader never ran
};

// Wall-clock time now, in ms since the epoch: when a run started, for its record.
int64_t UnixMs();
// The record of a run that has ended in ctx: the file, image, device and byte
// count come from the context, the step from the run's verdict.
RunJson RunRecordOf(const Context& ctx, const std::string& target, const std::string& port, RunOutcome outcome,
                    int64_t startUnixMs, int64_t durationMs);

// "ok", "bad-input", "port", "boot", "erase", "program" or "aborted".
const char* ResultName(RunOutcome outcome, bool interrupted);
std::string ToJson(const RunJson& r);
// A string as a JSON string literal, quotes included; bytes that are no UTF-8 become U+FFFD.
std::string JsonString(const std::string& s);

}  // namespace qtx
