#include "target_runs.h"

namespace qtx::test {

using Bytes = std::vector<uint8_t>;

// A family may have no case of a kind.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FullRuns);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FailedRuns);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Cli);

TEST_P(FullRuns, ProgramTheBoardsFlash) {
    const FullRun& c = GetParam();
    Start(c.target);
    const Bytes fw = PatternBytes(c.size, 11);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status;
    EXPECT_EQ(rec.status, " Programming ok.");
    EXPECT_EQ(rec.progress, 100);
    ExpectFlashHolds(fw);
    for (const auto& line : c.logged) EXPECT_TRUE(Logged(line)) << line << "\n" << board->Log();
    EXPECT_EQ(BytesReceived(board->Log()), c.hostBytes) << board->Log();
}

TEST_P(FailedRuns, ShowTheWordInThePanelOfTheStep) {
    const FailedRun& c = GetParam();
    SimOptions o;
    o.faults = c.faults;
    o.eraseMs = c.eraseMs;
    Start(c.target, o);
    Bytes fw = PatternBytes(3000, 4);
    fw[0x142] = 0x34;
    fw[0x143] = 0x12;
    EXPECT_EQ(Run(fw), c.outcome);
    EXPECT_EQ(rec.Caption(c.panel), c.word);
    EXPECT_EQ(rec.ColorOf(c.panel), Color::Red);
    if (*c.status) {
        EXPECT_EQ(rec.status, c.status);
    }
    EXPECT_TRUE(rec.flashEnabled);
    EXPECT_FALSE(ctx.PortIsOpen);
    // The board counts the session when it sees the close, which can come
    // after the run has returned.
    EXPECT_TRUE(WaitForLog(*board, "host closed")) << board->Log();
    board->Stop();
    const std::size_t received = BytesReceived(board->Log());
    EXPECT_GE(received, c.hostBytes - c.early) << board->Log();
    EXPECT_LE(received, c.hostBytes) << "nothing after the failure\n" << board->Log();
}

TEST_P(Cli, FlashesThroughTheCommandLineTool) {
    const auto& [t, item] = GetParam();
    SimOptions o;
    o.board = t.board;
    o.eraseMs = 50;
    SimBoard board(o);
    const Bytes data = PatternBytes(3001, 2);
    const ProcessResult r = FlashWithCli(board, {"-t", item, "-p", "COM1"}, data, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Programming ok."), std::string::npos) << r.err;
    ASSERT_EQ(board.Wait(), 0) << board.Log();
    const Bytes flash = board.Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
}

}  // namespace qtx::test
