// Whole runs into the simulated SAM3U, SAM3S and STM32F4 boards, through the
// engine and through the command-line tool, with the flash content checked.
// The boards run the preloader the host sends on an emulated core, so every
// answer here comes from the real loader: a wrong acknowledgement pattern, a
// slow loop or a bad flash sequence ends a run (or shows as misuse in the log).
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/x_flash.h"
#include "engine_run.h"

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
    bool pace = true;
    friend void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
};

class ArmFixture : public EngineRun {
protected:
    RunOutcome Run(const RunCase& c, const Bytes& fw, std::vector<std::string> faults = {}) {
        SimOptions o = c.pace ? Paced(std::move(faults)) : WithFaults(std::move(faults));
        o.board = c.board;
        StartBoard(c.code, o);
        return EngineRun::Run(fw);
    }
    bool SawStart(const std::string& prefix) const { return !rec.Matching(prefix).empty(); }
};

class ArmRun : public ArmFixture, public ::testing::WithParamInterface<RunCase> {};

// Bank 1 from offset 0 and, for a two-bank file, bank 2 where the board keeps
// it (SAM3U's second plane at model offset 0x80000, SAM3S4's upper half at
// 0x20000); SAM3 pads an odd size with 0x00 and erases the rest of the page,
// the STM32F4 programs only the file's bytes.
FlashLayout Layout(const RunCase& c) {
    if (c.code == 11) return {OddPad::None};
    return {OddPad::Zero, 0, 0x20000, 0x80000, c.code == 9 ? 0x80000u : 0x20000u};
}

TEST_P(ArmRun, FlashesTheBoard) {
    const RunCase& c = GetParam();
    Bytes fw = PatternBytes(c.size, 17);
    // A two-bank file holds nothing where the chip has no flash.
    if (c.code != 11 && c.size > 0x20000) std::fill(fw.begin() + 0x20000, fw.begin() + 0x80000, 0xFF);
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
    EXPECT_NE(board->Log().find("misuse: none"), std::string::npos) << board->Log();
    EXPECT_NE(board->Log().find(" 0 UART overruns"), std::string::npos) << board->Log();
    EXPECT_TRUE(FlashHolds(board->Flash(), fw, Layout(c)));
}

INSTANTIATE_TEST_SUITE_P(
    Arm, ArmRun,
    ::testing::Values(RunCase{"Sam3uOneByte", "sam3u", 9, 1, 813},
                      RunCase{"Sam3uOddIsPadded", "sam3u", 9, 1001, 813},
                      RunCase{"Sam3uNoBlockAckAfterTheLast", "sam3u", 9, 512, 813},
                      RunCase{"Sam3uTwoBanks", "sam3u", 9, 0x80000 + 0x301, 813},
                      RunCase{"Sam3sOdd", "sam3s", 10, 777, 633},
                      RunCase{"Sam3sTwoBanksUnpaced", "sam3s", 10, 0x90000, 633, false},
                      RunCase{"Stm32f4OneByte", "stm32f4", 11, 1, 28},
                      RunCase{"Stm32f4Odd", "stm32f4", 11, 1001, 28},
                      RunCase{"Stm32f4MultipleOf256", "stm32f4", 11, 4096, 28},
                      RunCase{"Stm32f4FiveSectors", "stm32f4", 11, 0x10000 + 3, 28},
                      RunCase{"Stm32f4LargeUnpaced", "stm32f4", 11, 300000, 28, false}),
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
        // Data byte 100 (the preloader upload and the commands before it take
        // 15465 bytes) arrives changed: programmed and verified as received,
        // only the content check can see it.
        FailCase{"Sam3uCorruptedDataByte", kSam3u, {"corrupt@15565"}, 3000,
                 "status \n\nFatal: content check", Panel::Flash, "PROG ERR"},
        FailCase{"Sam3uVerifyError", kSam3u, {"verify-error@0x80310"}, 4096,
                 "status \n\nFatal: Error 0002 at addr 80310h: re-read ", Panel::Flash, "PROG ERR"},
        FailCase{"Stm32f4VerifyError", kStm32, {"verify-error@0x08000100"}, 0x10000,
                 "status \n\nFatal: Error 0002 at addr 8000100h: re-read ", Panel::Flash, "PROG ERR"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Sam3Program, FilesThatFitNeitherLayoutAreRefusedBeforeAnythingIsSent) {
    Recorder rec;
    Context ctx{rec};
    ASSERT_EQ(SelectTarget(ctx, 9), 0);
    const std::string dir = MakeTempDir("sam3-sizes");
    ctx.FlashFilePath = dir + "/fw.bin";
    // No board on the port map: a run that got as far as the port would fail there instead.
    for (std::size_t size : {std::size_t{0x20001}, std::size_t{0x7FFFF}}) {
        WriteFileBytes(ctx.FlashFilePath, Bytes(size, 0x5A));
        EXPECT_EQ(FlashRun(ctx), RunOutcome::BadInput) << size;
        EXPECT_NE(rec.status.find(std::to_string(size) + " bytes: it must fit one bank"), std::string::npos)
            << rec.status;
        EXPECT_THROW(ctx.ActiveFlasher->Program(ctx.FlashFilePath), X_Flash::ProgramException) << size;
    }
    // A two-bank image with data where the chip has no flash would lose them.
    Bytes twoBanks(525289, 0xFF);
    twoBanks[0x30001] = 0x12;
    WriteFileBytes(ctx.FlashFilePath, twoBanks);
    EXPECT_EQ(FlashRun(ctx), RunOutcome::BadInput);
    EXPECT_NE(rec.status.find("holds 12h at offset 0x30001, between the banks"), std::string::npos) << rec.status;
    std::filesystem::remove_all(dir);
}

TEST(ArmCli, FlashesEveryArmTargetThroughTheTool) {
    for (const auto& [board, target] : {std::pair{"sam3u", "SAM3U"}, std::pair{"sam3s", "SAM3S"},
                                        std::pair{"stm32f4", "STM32F4"}}) {
        SCOPED_TRACE(board);
        SimOptions o;
        o.board = board;
        o.eraseMs = 50;
        SimBoard sim(o);
        const Bytes fw = PatternBytes(5000, 21);
        const ProcessResult r = FlashWithCli(sim, {"-t", target, "-p", "COM1"}, fw, 60000);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(std::string("programmed 5000 bytes into ") + target), std::string::npos) << r.err;
        ASSERT_EQ(sim.Wait(), 0) << sim.Log();
        const Bytes flash = sim.Flash();
        ASSERT_GE(flash.size(), fw.size());
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
    }
}

// The STM32F4 upload, Go, size, erase and 0x42 take 7359 bytes; byte 100 of
// the data arrives changed. The tool ends with exit status 5 (programming).
TEST(ArmCli, ACorruptedDataByteFailsTheContentCheck) {
    SimOptions o = Paced({"corrupt@7459"});
    o.board = "stm32f4";
    SimBoard sim(o);
    const ProcessResult r = FlashWithCli(sim, {"-t", "STM32F4", "-p", "COM1"}, PatternBytes(3000, 5), 60000);
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
    sim.Stop();
    EXPECT_NE(sim.Log().find("corrupt fault: byte 7459"), std::string::npos) << sim.Log();
}

}  // namespace
