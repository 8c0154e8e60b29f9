// The command-line tool as a user runs it, against simulated boards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine/catalogue.h"
#include "run_checks.h"

using namespace qtx::test;

namespace {

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[4096];
        oldDir = getcwd(buf, sizeof buf);
    }
    void TearDown() override { EXPECT_EQ(chdir(oldDir.c_str()), 0); }
    // Runs the tool in the board's private directory (no stray flash.stp).
    ProcessResult Flash(SimBoard& board, const std::vector<uint8_t>& fw, std::vector<std::string> extra = {}) {
        EXPECT_EQ(chdir(board.PortsDir().c_str()), 0);
        WriteFileBytes("fw.bin", fw);
        extra.push_back("fw.bin");
        return RunProgram(QTXFLASH_CLI_PATH, extra, 60000);
    }
    std::string oldDir;
};

TEST_F(Cli, ProgramsABoardAndSaysSo) {
    SimBoard board;
    const auto fw = PatternBytes(5000, 9);
    const ProcessResult r = Flash(board, fw, {"-t", "c166/167", "-p", "COM1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("BSL: running"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Programming ok."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("programmed 5000 bytes into C166/167 on COM1"), std::string::npos) << r.err;
    ASSERT_EQ(board.Wait(), 0);
    const auto flash = board.Flash();
    ASSERT_GE(flash.size(), fw.size());
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
    EXPECT_FALSE(std::filesystem::exists("flash.stp"));  // never written without --save
}

TEST_F(Cli, ExitCodesTellWhichStepFailed) {
    struct Case {
        std::vector<std::string> faults;
        int status;
        const char* says;
        const char* hint;  // the line after the error: what to do next
    };
    for (const Case& c :
         {Case{{"silent"}, 3, "BSL: TIMEOUT", "hint: No answer from the boot loader: check the cable, the boot jumper"},
          Case{{"verify-error@64"}, 5, "FLASH: PROG ERR",
               "hint: The flash does not hold what was sent: try again, then check the power supply."},
          Case{{"bad-ack@812"}, 4, "ERASE: CHAR ERR", "hint: The board stopped answering during the erase"}}) {
        SimOptions o;
        o.faults = c.faults;
        SimBoard board(o);
        const ProcessResult r = Flash(board, PatternBytes(256 * 1024));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::string("\nqtxflash-cli: ") + c.hint), std::string::npos) << r.err;
        board.Stop();
    }
}

TEST_F(Cli, APortThatCannotBeOpenedIsExitTwoWithTheReason) {
    SimBoard board;
    const ProcessResult r = Flash(board, PatternBytes(10), {"-p", "COM9"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("Cannot initialize Comport!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("COM9"), std::string::npos) << r.err;
    board.Stop();
}

TEST_F(Cli, BadInputIsExitOneBeforeThePortIsTouched) {
    SimBoard board;
    ASSERT_EQ(chdir(board.PortsDir().c_str()), 0);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"missing.bin"}, {}, {"-t", "Z80", "x"}, {"-b", "0", "x"}, {"-p", "LPT1", "x"}, {"--bogus", "x"}, {"."}}) {
        const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, args, 20000);
        EXPECT_EQ(r.status, 1) << ::testing::PrintToString(args) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    board.Stop();
    // Nothing at all reached the board: its whole log is the line of 0 bytes
    // received, with no session or line change of an open port before it.
    EXPECT_EQ(LogLines(board.Log()), std::vector<std::string>{"stopped after 0 bytes received"});
    const auto flash = board.Flash();
    ASSERT_FALSE(flash.empty());
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(Cli, ListsShowTheTargetsAndThePortMap) {
    SimBoard board;
    ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"--list-targets"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("C166/167"), std::string::npos);
    EXPECT_NE(r.out.find("XE167      8     Flash_XE167   8N1      19200   786432    0x00   xe167      2074 bytes"),
              std::string::npos)
        << r.out;
    r = RunProgram(QTXFLASH_CLI_PATH, {"--list-ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("COM1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(board.DevicePath()), std::string::npos) << r.out;
    board.Stop();
}

TEST_F(Cli, SaveWritesTheSettingsWithThisRunsChoices) {
    SimBoard board;
    const ProcessResult r = Flash(board, PatternBytes(100), {"--save", "-b", "38400"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::filesystem::file_size("flash.stp"), 14570u);
    const auto stp = ReadFileBytes("flash.stp");
    EXPECT_EQ(stp[15 + 11] | stp[15 + 12] << 8, 38400);
    const std::string name(reinterpret_cast<const char*>(&stp[672]));
    EXPECT_EQ(name, "fw.bin");
}

}  // namespace
