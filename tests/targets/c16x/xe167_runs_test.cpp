// Whole XE167 runs into the simulated board, through the engine and the
// command-line tool.
#include <gtest/gtest.h>

#include "engine/x_flash.h"
#include "target_runs.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

// Erased XE167 flash reads 0000h, so untouched cells read 0x00.
const RunTarget kXe167{8, "xe167", true, 0x00};
// Zero byte, the image, the erase command, the size and the data command.
constexpr std::size_t kBeforeData = 1 + 2074 + 1 + 5 + 1;

INSTANTIATE_TEST_SUITE_P(
    Xe167, FullRuns,
    // The file to a whole word, then the content check and the finish byte.
    ::testing::Values(FullRun{"Xe167Odd", kXe167, 1001, kBeforeData + 1002 + 2,
                              {"zero byte at 19200 baud", "U0C0 now at 56818 baud", "host line: 57600 baud, 8N1",
                               "8 pages programmed, 1 sectors erased", "misuse: none"}}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Xe167, FailedRuns,
    ::testing::Values(
        FailedRun{"Xe167WrongId", kXe167, {"bad-id"}, -1, RunOutcome::BootstrapFailed, Panel::Bsl, "CHAR ERR",
                  "\nError waiting for controller ID\nReceived byte: 55h Expected: D5h\n", 1, 0},
        // Erased cells read 0000h: the weak cell's lowest bit to set (bit 2 of 34h) stays 0.
        FailedRun{"Xe167VerifyError", kXe167, {"verify-error@0x142"}, -1, RunOutcome::ProgramFailed, Panel::Flash,
                  "PROG ERR",
                  "\n\nFatal: Error 0002 at addr 00142h: re-read 1230h, expected 1234h\n",
                  // The page holding 142h is programmed and read back while the fourth
                  // block flows: the report comes at the latest in place of its
                  // acknowledgement, at the earliest right after the word.
                  kBeforeData + 4 * 128, 4 * 128 - (0x142 + 2)},
        // The erase command lost on the line: the loader never answers it.
        FailedRun{"Xe167EraseTimeout", kXe167, {"drop@2075"}, -1, RunOutcome::EraseFailed, Panel::Erase, "TIMEOUT",
                  "Timeout waiting after Flash being erased", 1 + 2074 + 1, 0}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Xe167, Cli, ::testing::Values(std::make_pair(kXe167, "XE167")),
                         [](const auto& info) { return std::string(info.param.first.board); });

// A suite name of its own: the C163/XC164 engine runs in this binary have a Runs of their own.
using Xe167Runs = Runs;

TEST_F(Xe167Runs, AbortDuringProgrammingShowsAbortInTheFlashPanel) {
    Start(kXe167);
    rec.onPump = [&] {
        if (rec.ColorOf(Panel::Flash) == Color::Lime && ctx.ActiveFlasher) ctx.ActiveFlasher->Abort = 1;
    };
    EXPECT_EQ(Run(PatternBytes(20000)), RunOutcome::Aborted);
    EXPECT_EQ(rec.Caption(Panel::Flash), "ABORT");
    EXPECT_EQ(ctx.ResetCountdown, 5);
    board->Stop();
}

}  // namespace
