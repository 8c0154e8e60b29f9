// Whole runs into the simulated SAM3U, SAM3S and STM32F4 boards, through the
// engine and through the command-line tool, with the flash content checked.
// The boards acknowledge exactly as the protocols require and check the
// preloader byte for byte, so a wrong acknowledgement pattern or a wrong
// write command ends a run here.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "engine/catalogue.h"
#include "engine/run.h"
#include "engine/x_flash.h"
#include "recorder.h"
#include "sim_board.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

struct RunCase {
    const char* name;
    const char* board;
    int32_t code;
    std::size_t size;
    int writes;  // preloader write commands the board must have seen
    friend void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
};

class ArmFixture : public ::testing::Test {
protected:
    RunOutcome Run(const RunCase& c, const Bytes& fw, std::vector<std::string> faults = {}) {
        SimOptions o;
        o.board = c.board;
        o.faults = std::move(faults);
        o.eraseMs = 50;
        board = std::make_unique<SimBoard>(o);
        EXPECT_EQ(SelectTarget(ctx, c.code), 0);
        ctx.FlashFilePath = board->PortsDir() + "/firmware.bin";
        WriteFileBytes(ctx.FlashFilePath, fw);
        return FlashRun(ctx);
    }
    bool SawStart(const std::string& prefix) const { return !rec.Matching(prefix).empty(); }

    Recorder rec;
    Context ctx{rec};
    std::unique_ptr<SimBoard> board;
};

class ArmRun : public ArmFixture, public ::testing::WithParamInterface<RunCase> {};

// What the flash must hold after fw: bank 1 from offset 0 and, for a two-bank
// file, bank 2 at offset 0x80000 as in the file; SAM3 pads an odd size with
// 0x00 and erases the rest of the page, the STM32F4 programs only the file's bytes.
void ExpectFlashHolds(const RunCase& c, const Bytes& fw, const Bytes& flash) {
    Bytes want(flash.size(), 0xFF);
    ASSERT_GE(want.size(), std::min<std::size_t>(fw.size(), 0x20000));
    const bool sam = c.code != 11;
    const bool twoBanks = sam && fw.size() > 0x20000;
    std::copy(fw.begin(), twoBanks ? fw.begin() + 0x20000 : fw.end(), want.begin());
    if (twoBanks) std::copy(fw.begin() + 0x80000, fw.end(), want.begin() + 0x80000);
    if (sam && (fw.size() & 1)) want[fw.size()] = 0x00;
    const auto diff = std::mismatch(flash.begin(), flash.end(), want.begin());
    EXPECT_TRUE(diff.first == flash.end()) << "flash differs at offset " << (diff.first - flash.begin());
}

TEST_P(ArmRun, FlashesTheBoard) {
    const RunCase& c = GetParam();
    const Bytes fw = PatternBytes(c.size, 17);
    EXPECT_EQ(Run(c, fw), RunOutcome::Programmed) << rec.status << "\n" << board->Log();
    EXPECT_EQ(rec.progress, 100);
    EXPECT_TRUE(rec.Has("status  Preloader running..."));
    EXPECT_EQ(rec.Has("ErasePanel color clLime"), c.code == 11) << "SAM3 targets have no erase stage";
    const bool twoBanks = c.code != 11 && c.size > 0x20000;
    const std::string sending = "status Sending FLASH file \"" + ctx.FlashFilePath + "\" to FLASH ";
    EXPECT_EQ(rec.Has(sending + "1"), twoBanks);
    EXPECT_EQ(rec.Has(sending + "2"), twoBanks);
    ASSERT_EQ(board->Wait(), 0) << board->Log();
    EXPECT_NE(board->Log().find("after " + std::to_string(c.writes) + " write commands"), std::string::npos)
        << board->Log();
    ExpectFlashHolds(c, fw, board->Flash());
}

INSTANTIATE_TEST_SUITE_P(
    Arm, ArmRun,
    ::testing::Values(RunCase{"Sam3uOddIsPadded", "sam3u", 9, 1001, 813},
                      RunCase{"Sam3uNoBlockAckAfterTheLast", "sam3u", 9, 512, 813},
                      RunCase{"Sam3uTwoBanks", "sam3u", 9, 0x90000, 813},
                      RunCase{"Sam3sExactlyOneBank", "sam3s", 10, 0x20000, 633},
                      RunCase{"Stm32f4Odd", "stm32f4", 11, 1001, 28},
                      RunCase{"Stm32f4Large", "stm32f4", 11, 300000, 28}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
    const char* name;
    RunCase target;
    std::vector<std::string> faults;
    std::size_t size;
    const char* event;  // an event that must have been shown starts so
    Panel panel;
    const char* word;
    friend void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }
};

class ArmFailure : public ArmFixture, public ::testing::WithParamInterface<FailCase> {};

TEST_P(ArmFailure, ShowsTheStepThatFailed) {
    const FailCase& c = GetParam();
    Run(c.target, PatternBytes(c.size, 4), c.faults);
    EXPECT_TRUE(SawStart(c.event)) << ::testing::PrintToString(rec.events) << "\n" << board->Log();
    EXPECT_TRUE(rec.Has(std::string(PanelName(c.panel)) + " caption " + c.word)) << ::testing::PrintToString(rec.events);
    EXPECT_TRUE(rec.flashEnabled);
    board->Stop();
}

const RunCase kSam3u{"", "sam3u", 9, 0, 0}, kSam3s{"", "sam3s", 10, 0, 0}, kStm32{"", "stm32f4", 11, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Arm, ArmFailure,
    ::testing::Values(
        FailCase{"Sam3uVersionWithoutLineFeed", kSam3u, {"bad-id"}, 16,
                 "status \nError waiting for controller ID\nReceived byte: 8Ah Expected: 0Ah\n", Panel::Bsl,
                 "CHAR ERR"},
        FailCase{"Stm32f4SyncAnsweredWrongly", kStm32, {"bad-id"}, 16,
                 "status \nError waiting for controller ID\nReceived byte: F9h Expected: 79h\n", Panel::Bsl,
                 "CHAR ERR"},
        // A data byte of the first Write Memory block arrives corrupted: its checksum fails.
        FailCase{"Stm32f4BlockChecksumNacked", kStm32, {"corrupt@20"}, 16,
                 "status \nError waiting for ACK\nReceived byte: 1Fh Expected: 79h\n", Panel::Bsl, "CHAR ERR"},
        // A changed W command: the SRAM no longer holds the image and the board stays silent.
        FailCase{"Sam3uCorruptPreloader", kSam3u, {"corrupt@30"}, 16,
                 "status Timeout waiting after BSL has been sent", Panel::Bsl, "TIMEOUT"},
        FailCase{"Sam3sTwoBankFileDoesNotFit", kSam3s, {}, 0x90000,
                 "status \nError waiting after size has been sent.\nReceived byte: 01h Expected: 00h\n", Panel::Flash,
                 "CHAR ERR"},
        FailCase{"Sam3uVerifyError", kSam3u, {"verify-error@0x80310"}, 4096,
                 "status \n\nFatal: Error 0002 at addr 80310h: re-read ", Panel::Flash, "PROG ERR"},
        FailCase{"Stm32f4VerifyError", kStm32, {"verify-error@0x08000100"}, 256 * 1024,
                 "status \n\nFatal: Error 0002 at addr 8000100h: re-read ", Panel::Flash, "PROG ERR"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sam3Program, FilesBetweenOneBankAndTheSecondBankAreRefusedBeforeAnythingIsSent) {
    Recorder rec;
    Context ctx{rec};
    ASSERT_EQ(SelectTarget(ctx, 9), 0);
    const std::string dir = MakeTempDir("sam3-sizes");
    // No port is open: touching it would crash, so a refusal sends nothing.
    for (std::size_t size : {std::size_t{0x20001}, std::size_t{0x7FFFF}}) {
        WriteFileBytes(dir + "/fw.bin", Bytes(size, 0x5A));
        EXPECT_THROW(ctx.ActiveFlasher->Program(dir + "/fw.bin"), X_Flash::ProgramException) << size;
        EXPECT_NE(rec.status.find(std::to_string(size) + " bytes: it must fit one bank"), std::string::npos)
            << rec.status;
    }
    std::filesystem::remove_all(dir);
}

TEST(ArmCli, FlashesEveryArmTargetThroughTheTool) {
    char buf[4096];
    const std::string oldDir = getcwd(buf, sizeof buf);
    for (const auto& [board, target] : {std::pair{"sam3u", "SAM3U"}, std::pair{"sam3s", "SAM3S"},
                                        std::pair{"stm32f4", "STM32F4"}}) {
        SCOPED_TRACE(board);
        SimOptions o;
        o.board = board;
        o.eraseMs = 50;
        SimBoard sim(o);
        ASSERT_EQ(chdir(sim.PortsDir().c_str()), 0);
        const Bytes fw = PatternBytes(5000, 21);
        WriteFileBytes("fw.bin", fw);
        const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"-t", target, "-p", "COM1", "fw.bin"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(std::string("programmed 5000 bytes into ") + target), std::string::npos) << r.err;
        ASSERT_EQ(sim.Wait(), 0) << sim.Log();
        const Bytes flash = sim.Flash();
        ASSERT_GE(flash.size(), fw.size());
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
        ASSERT_EQ(chdir(oldDir.c_str()), 0);
    }
}

}  // namespace
