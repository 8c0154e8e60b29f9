// The fixture of the tests that run the engine into a simulated board and
// watch what the user would have seen.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "engine/catalogue.h"
#include "engine/run.h"
#include "recorder.h"
#include "run_checks.h"
#include "sim_board.h"

namespace qtx::test {

class EngineRun : public ::testing::Test {
protected:
    // A board of o.board and the target of code selected.
    void StartBoard(int32_t code, const SimOptions& o) {
        board = std::make_unique<SimBoard>(o);
        ASSERT_EQ(SelectTarget(ctx, code), 0);
    }
    // A board of that name, its loaded program erasing in 50 ms unless o says otherwise.
    void Start(const std::string& boardName, int32_t code, SimOptions o = {}) {
        o.board = boardName;
        if (o.eraseMs < 0) o.eraseMs = 50;
        StartBoard(code, o);
    }
    RunOutcome Run(const std::vector<uint8_t>& firmware) {
        ctx.FlashFilePath = board->PortsDir() + "/firmware.bin";
        WriteFileBytes(ctx.FlashFilePath, firmware);
        return FlashRun(ctx);
    }
    ::testing::AssertionResult InOrder(const std::vector<std::string>& wanted, Match match = Match::Whole) const {
        return test::InOrder(rec.events, wanted, match);
    }
    void ExpectFlashHolds(const std::vector<uint8_t>& fw, const FlashLayout& layout = {}) {
        test::ExpectFlashHolds(*board, fw, layout);
    }
    // parts appear in the board's log in this order.
    ::testing::AssertionResult LogInOrder(const std::vector<std::string>& parts) const {
        const std::string log = board->Log();
        std::size_t at = 0;
        for (const auto& p : parts) {
            at = log.find(p, at);
            if (at == std::string::npos) return ::testing::AssertionFailure() << "'" << p << "' missing or out of order in\n" << log;
            at += p.size();
        }
        return ::testing::AssertionSuccess();
    }
    std::string Events() const { return ::testing::PrintToString(rec.events); }

    Recorder rec;
    Context ctx{rec};
    std::unique_ptr<SimBoard> board;
};

}  // namespace qtx::test
