// qtxflash-cli into the simulated C163, XC164/167 and C509 boards, the target
// chosen by its item text as in the window's list.
#include <gtest/gtest.h>

#include <algorithm>

#include "run_checks.h"

using namespace qtx::test;

namespace {

class CliC16x : public ::testing::Test {
protected:
    ProcessResult Flash(SimBoard& board, const std::vector<uint8_t>& fw, const std::string& target) {
        return FlashWithCli(board, {"-t", target}, fw, 90000);
    }
};

struct CliCase {
    const char* target;
    const char* board;
    std::size_t size;
    uint8_t afterFile;   // flash cell behind an odd file: 0x00 where the loader writes words
    friend void PrintTo(const CliCase& c, std::ostream* os) { *os << c.target; }
};

class CliRun : public CliC16x, public ::testing::WithParamInterface<CliCase> {};

TEST_P(CliRun, ProgramsTheBoardChosenByItsItemText) {
    const CliCase& c = GetParam();
    SimOptions o;
    o.board = c.board;
    o.eraseMs = 50;
    SimBoard board(o);
    const auto fw = PatternBytes(c.size, 21);
    const ProcessResult r = Flash(board, fw, c.target);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Programming ok."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("programmed " + std::to_string(c.size) + " bytes into " + c.target + " on COM1"),
              std::string::npos)
        << r.err;
    ASSERT_EQ(board.Wait(), 0) << board.Log();
    const auto flash = board.Flash();
    ASSERT_GT(flash.size(), fw.size());
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
    EXPECT_EQ(flash[fw.size()], c.afterFile);
}

INSTANTIATE_TEST_SUITE_P(Targets, CliRun,
                         ::testing::Values(CliCase{"C163", "c163", 3001, 0x00}, CliCase{"XC164/167", "xc164", 2001, 0x00},
                                           CliCase{"C509", "c509", 2001, 0xFF}),
                         [](const auto& info) { return std::string(info.param.board); });

TEST_F(CliC16x, C509FileTooLargeForTheSixteenBitSizeIsRefusedUnsent) {
    SimOptions o;
    o.board = "c509";
    SimBoard board(o);
    const ProcessResult r = Flash(board, PatternBytes(70000), "c509");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("has 70000 bytes; this target holds at most 65535 bytes"), std::string::npos) << r.err;
    board.Stop();
    EXPECT_NE(board.Log().find("stopped after 0 bytes received"), std::string::npos) << board.Log();
}

}  // namespace
