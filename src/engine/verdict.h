// What a finished run means to the operator, shared by both faces: a result
// word, the step that failed, whether the board was left half programmed, one
// hint with a next step, and the record that goes into the run log.
#pragma once

#include <cstdint>
#include <string>

#include "engine/run.h"

namespace qtx {

struct RunVerdict {
    RunOutcome outcome = RunOutcome::Programmed;
    std::string word;     // "OK", or the panel word the failure showed ("TIMEOUT", "ABORT", ...)
    std::string step;     // the failed step; empty for a success
    bool partial = false; // the flash was touched and the run did not finish
    std::string hint;     // one line with a next step; empty for a success
};

RunVerdict VerdictOf(const Context& ctx, RunOutcome outcome);

// The hint for one failure class: what to check or do next.
std::string FailureHint(RunOutcome outcome, const StageFailure& failure, bool partial);

// One run as the log keeps it.
struct RunRecord {
    int64_t startedUnixMs = 0;
    std::string target;
    std::string port;
    std::string file;
    uint64_t size = 0;
    uint32_t crc32 = 0;
    std::string result;   // the verdict's word
    std::string step;     // failed step, "-" for a success
    int64_t durationMs = 0;
    bool partial = false;
    std::string hint;     // what to do next; empty for a success
};

// One line that stays in the window until the next run: when, the result, and
// where it failed or what was programmed.
std::string VerdictLine(const RunVerdict& v, const RunRecord& r);

RunRecord MakeRunRecord(const Context& ctx, const RunVerdict& v, int64_t startedUnixMs, int64_t durationMs);
// One tab-separated line, no line feed: time (local, ISO 8601), target, port,
// file, size, CRC-32, result, failed step, duration in seconds, next step.
// Tabs and line feeds inside a field become blanks, so a line is always one record.
std::string FormatRunRecord(const RunRecord& r);
inline constexpr char kRunLogHeader[] =
    "# time\ttarget\tport\tfile\tsize\tcrc32\tresult\tfailed step\tseconds\tnext step";

// $XDG_STATE_HOME/qtxflash/runs.log, or ~/.local/state/qtxflash/runs.log;
// empty when neither gives an absolute directory.
std::string RunLogPath();
// Appends one record (and the header to a new file); false with why on failure.
bool AppendRunLog(const std::string& path, const RunRecord& r, std::string* why = nullptr);

}  // namespace qtx
