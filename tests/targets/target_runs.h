// Whole runs into the boards of targets that share a run's shape, through the
// engine and through the command-line tool; each family's file instantiates
// them with its targets and cases.
#pragma once

#include <gtest/gtest.h>

#include "engine_run.h"

namespace qtx::test {

struct RunTarget {
    int32_t code;
    const char* board;
    bool padsOddSizes;  // the word-wide loaders complete an odd file with 0x00
    uint8_t erased = 0xFF;  // what the board's untouched flash reads
    friend void PrintTo(const RunTarget& t, std::ostream* os) { *os << t.board; }
};

class Runs : public EngineRun {
protected:
    void Start(const RunTarget& t, SimOptions o = {}) {
        target = t;
        EngineRun::Start(t.board, t.code, o);
    }
    void ExpectFlashHolds(const std::vector<uint8_t>& fw) {
        EngineRun::ExpectFlashHolds(
            fw, {.pad = target.padsOddSizes ? OddPad::Zero : OddPad::None, .erased = target.erased});
    }
    bool Logged(const std::string& text) const { return board->Log().find(text) != std::string::npos; }

    RunTarget target{};
};

struct FullRun {
    const char* name;
    RunTarget target;
    std::size_t size;
    std::size_t hostBytes;            // the whole session, and not a byte more
    std::vector<std::string> logged;  // lines the board must have logged
    friend void PrintTo(const FullRun& c, std::ostream* os) { *os << c.name; }
};

class FullRuns : public Runs, public ::testing::WithParamInterface<FullRun> {};

struct FailedRun {
    const char* name;
    RunTarget target;
    std::vector<std::string> faults;
    int eraseMs;
    RunOutcome outcome;
    Panel panel;
    const char* word;
    const char* status;  // "" to skip
    std::size_t hostBytes;  // up to the failure, and nothing after it
    // How many fewer may come: a report the board sends as soon as a word
    // fails can stop the host before the end of the block it is sending.
    std::size_t early;
    friend void PrintTo(const FailedRun& c, std::ostream* os) { *os << c.name; }
};

class FailedRuns : public Runs, public ::testing::WithParamInterface<FailedRun> {};

class Cli : public ::testing::TestWithParam<std::pair<RunTarget, const char*>> {};

}  // namespace qtx::test
