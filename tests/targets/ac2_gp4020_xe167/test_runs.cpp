// Whole runs of the T89C5xACx, GP4020 and XE167 flashers into their simulated
// boards over real pseudo-terminals, through the engine and through the CLI.
#include <gtest/gtest.h>

#include <unistd.h>

#include "engine/catalogue.h"
#include "engine/run.h"
#include "engine/x_flash.h"
#include "recorder.h"
#include "sim_board.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

struct Target {
    int32_t code;
    const char* board;
    bool padsOddSizes;  // the word-wide loaders complete an odd file with 0x00
    friend void PrintTo(const Target& t, std::ostream* os) { *os << t.board; }
};
const Target kAc2{7, "t89c5xacx", false}, kGp4020{4, "gp4020", true}, kXe167{8, "xe167", true};

class Runs : public ::testing::Test {
protected:
    void Start(const Target& t, SimOptions o = {}) {
        target = t;
        o.board = t.board;
        if (o.eraseMs < 0) o.eraseMs = 50;
        board = std::make_unique<SimBoard>(o);
        ASSERT_EQ(SelectTarget(ctx, t.code), 0);
    }
    RunOutcome Run(const Bytes& firmware) {
        ctx.FlashFilePath = board->PortsDir() + "/firmware.bin";
        WriteFileBytes(ctx.FlashFilePath, firmware);
        return FlashRun(ctx);
    }
    void ExpectFlashHolds(const Bytes& fw) {
        ASSERT_EQ(board->Wait(), 0) << board->Log();
        const Bytes flash = board->Flash();
        ASSERT_GE(flash.size(), fw.size());
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin())) << "flash differs from the image";
        std::size_t end = fw.size();
        if (target.padsOddSizes && (end & 1)) {
            EXPECT_EQ(flash[end++], 0x00);
        }
        for (std::size_t i = end; i < flash.size(); ++i) ASSERT_EQ(flash[i], 0xFF) << "at " << i;
    }
    bool Logged(const std::string& text) const { return board->Log().find(text) != std::string::npos; }

    Target target{};
    Recorder rec;
    Context ctx{rec};
    std::unique_ptr<SimBoard> board;
};

struct FullRun {
    const char* name;
    Target target;
    std::size_t size;
    std::vector<std::string> logged;  // lines the board must have logged
    friend void PrintTo(const FullRun& c, std::ostream* os) { *os << c.name; }
};

class FullRuns : public Runs, public ::testing::WithParamInterface<FullRun> {};

TEST_P(FullRuns, ProgramTheBoardsFlash) {
    const FullRun& c = GetParam();
    Start(c.target);
    const Bytes fw = PatternBytes(c.size, 11);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status;
    EXPECT_EQ(rec.status, " Programming ok.");
    EXPECT_EQ(rec.progress, 100);
    ExpectFlashHolds(fw);
    for (const auto& line : c.logged) EXPECT_TRUE(Logged(line)) << line << "\n" << board->Log();
    EXPECT_FALSE(Logged("control byte")) << "these targets send no control byte";
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FullRuns,
    ::testing::Values(
        FullRun{"Ac2OneByte", kAc2, 1, {"X2 fuse := 0x00", "BLJB fuse := 0x01", "reset record after 1 data records"}},
        FullRun{"Ac2Largest", kAc2, 65536, {"reset record after 512 data records"}},
        FullRun{"Gp4020Odd", kGp4020, 1001, {"the program matches the gp4020 image", "misuse: none"}},
        FullRun{"Xe167Odd", kXe167, 1001,
                {"zero byte at 19200 baud", "host line: 57600 baud, 8N1", "size 1002 bytes",
                 "in 8 acknowledged blocks", "finish command"}}),
    [](const auto& info) { return info.param.name; });

struct FailedRun {
    const char* name;
    Target target;
    std::vector<std::string> faults;
    int eraseMs;
    RunOutcome outcome;
    Panel panel;
    const char* word;
    const char* status;  // "" to skip
    friend void PrintTo(const FailedRun& c, std::ostream* os) { *os << c.name; }
};

class FailedRuns : public Runs, public ::testing::WithParamInterface<FailedRun> {};

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
    board->Stop();
    EXPECT_FALSE(Logged("the application starts")) << "no reset record after a failure";
    EXPECT_FALSE(Logged("finish command")) << "no end byte after a failure";
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FailedRuns,
    ::testing::Values(
        // Byte 30 is a data digit of the first data record ("U", 13 erase characters, then it).
        FailedRun{"Ac2RecordAnsweredX", kAc2, {"corrupt@30"}, -1, RunOutcome::ProgramFailed, Panel::Flash,
                  "PROG ERR", "Flash Program: data record at address 0000h answered \"X\" (checksum error)"},
        FailedRun{"Ac2WriteRefusedP", kAc2, {"verify-error@0x142"}, -1, RunOutcome::ProgramFailed, Panel::Flash,
                  "PROG ERR", "Flash Program: data record at address 0100h answered \"P\" (security error)"},
        FailedRun{"Xe167WrongId", kXe167, {"bad-id"}, -1, RunOutcome::BootstrapFailed, Panel::Bsl, "CHAR ERR",
                  "\nError waiting for controller ID\nReceived byte: 55h Expected: D5h\n"},
        FailedRun{"Xe167VerifyError", kXe167, {"verify-error@0x142"}, -1, RunOutcome::ProgramFailed, Panel::Flash,
                  "PROG ERR", "\n\nFatal: Error 0002 at addr 00142h: re-read 1235h, expected 1234h\n"},
        FailedRun{"Xe167EraseTimeout", kXe167, {}, 30000, RunOutcome::EraseFailed, Panel::Erase, "TIMEOUT",
                  "Timeout waiting after Flash being erased"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Runs, Xe167AbortDuringProgrammingShowsAbortInTheFlashPanel) {
    Start(kXe167);
    rec.onPump = [&] {
        if (rec.ColorOf(Panel::Flash) == Color::Lime && ctx.ActiveFlasher) ctx.ActiveFlasher->Abort = 1;
    };
    EXPECT_EQ(Run(PatternBytes(20000)), RunOutcome::Aborted);
    EXPECT_EQ(rec.Caption(Panel::Flash), "ABORT");
    EXPECT_EQ(ctx.ResetCountdown, 5);
    board->Stop();
}

class Cli : public ::testing::TestWithParam<std::pair<Target, const char*>> {};

TEST_P(Cli, FlashesThroughTheCommandLineTool) {
    const auto& [t, item] = GetParam();
    SimOptions o;
    o.board = t.board;
    o.eraseMs = 50;
    SimBoard board(o);
    const std::string fw = board.PortsDir() + "/fw.bin";
    const Bytes data = PatternBytes(3001, 2);
    WriteFileBytes(fw, data);
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(board.PortsDir().c_str()), 0);  // no stray flash.stp
    const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"-t", item, "-p", "COM1", fw});
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Programming ok."), std::string::npos) << r.err;
    ASSERT_EQ(board.Wait(), 0) << board.Log();
    const Bytes flash = board.Flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
}

INSTANTIATE_TEST_SUITE_P(Targets, Cli,
                         ::testing::Values(std::make_pair(kAc2, "t89c5xacx"), std::make_pair(kGp4020, "GP4020"),
                                           std::make_pair(kXe167, "XE167")),
                         [](const auto& info) { return std::string(info.param.first.board); });

}  // namespace
