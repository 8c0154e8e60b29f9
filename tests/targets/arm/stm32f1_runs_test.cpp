// STM32F1 end to end: the STM32F4 protocol with the F1 preloader, into the
// simulated STM32F103 boards (512 KiB in 2 KiB pages; 128 KiB in 1 KiB pages)
// whose emulated Cortex-M3 runs the preloader against the F1 flash interface.
#include <gtest/gtest.h>

#include "engine/target_table.h"
#include "engine/x_flash.h"
#include "engine_run.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int32_t kCode = 6;

struct RunCase {
    const char* name;
    const char* board;
    std::size_t size;
    bool pace;
    friend void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }
};

class Stm32f1Run : public EngineRun, public ::testing::WithParamInterface<RunCase> {};

TEST_P(Stm32f1Run, FlashesTheBoard) {
    const RunCase& c = GetParam();
    SimOptions o = c.pace ? Paced() : SimOptions{};
    o.board = c.board;
    StartBoard(kCode, o);
    // The fastest rate the dialog offers: the largest image takes 50 s on the line.
    ctx.setup.Ports[FindTargetByCode(kCode)->portRecord].SetBaudRate(115200);
    const Bytes fw = PatternBytes(c.size, 23);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status << "\n" << board->Log();
    EXPECT_TRUE(rec.Has("ErasePanel color clLime"));
    ASSERT_EQ(board->Wait(), 0) << board->Log();
    // 1052 bytes of preloader: four blocks of 256 and one of 28.
    EXPECT_NE(board->Log().find("after 5 write commands"), std::string::npos) << board->Log();
    EXPECT_NE(board->Log().find("on a Cortex-M3 at 8 MHz"), std::string::npos) << board->Log();
    EXPECT_NE(board->Log().find("misuse: none"), std::string::npos) << board->Log();
    EXPECT_NE(board->Log().find(" 0 UART overruns"), std::string::npos) << board->Log();
    // The pad byte after an odd image is never programmed.
    EXPECT_TRUE(FlashHolds(board->Flash(), fw, {OddPad::None}));
}

INSTANTIATE_TEST_SUITE_P(
    Stm32f1, Stm32f1Run,
    ::testing::Values(RunCase{"OneByte", "stm32f1", 1, true}, RunCase{"Odd", "stm32f1", 1001, true},
                      RunCase{"OnePageExactly", "stm32f1", 2048, true},
                      RunCase{"OverAPageBoundary", "stm32f1", 2048 + 3, true},
                      RunCase{"MediumDensityOverAPageBoundary", "stm32f1-md", 1024 + 5, true},
                      RunCase{"MediumDensityWholeFlash", "stm32f1-md", 128 * 1024, false},
                      RunCase{"Largest", "stm32f1", 512 * 1024, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct FailCase {
    const char* name;
    const char* board;
    std::vector<std::string> faults;
    std::size_t size;
    const char* status;  // the status text starts so
    Panel panel;
    const char* word;
    friend void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }
};

class Stm32f1Failure : public EngineRun, public ::testing::WithParamInterface<FailCase> {};

TEST_P(Stm32f1Failure, ShowsTheStepThatFailed) {
    const FailCase& c = GetParam();
    SimOptions o = WithFaults(c.faults);
    o.board = c.board;
    StartBoard(kCode, o);
    EXPECT_NE(Run(PatternBytes(c.size, 4)), RunOutcome::Programmed);
    EXPECT_FALSE(rec.Matching(std::string("status ") + c.status).empty()) << Events() << "\n" << board->Log();
    EXPECT_TRUE(rec.Has(std::string(PanelName(c.panel)) + " caption " + c.word)) << Events();
    board->Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Stm32f1, Stm32f1Failure,
    ::testing::Values(
        FailCase{"VerifyError", "stm32f1", {"verify-error@0x08000100"}, 0x10000,
                 "\n\nFatal: Error 0002 at addr 8000100h: re-read ", Panel::Flash, "PROG ERR"},
        // Every page answers as a write-protected one: the preloader answers the erase with 0x01.
        FailCase{"EraseFails", "stm32f1", {"erase-fail"}, 4096,
                 "\nError waiting after Flash being erased\nReceived byte: 01h Expected: 00h", Panel::Erase,
                 "CHAR ERR"},
        // More than the medium-density part holds: refused at the size command,
        // nothing erased (the run then tries the switch from a running application).
        FailCase{"LargerThanThePart", "stm32f1-md", {}, 128 * 1024 + 2,
                 "\nError waiting after size has been sent.\nReceived byte: 01h Expected: 00h", Panel::Bsl,
                 "CHAR ERR"}),
    [](const auto& info) { return std::string(info.param.name); });

// A data byte changed on the line is programmed and verified as received;
// only the content check sees it, and the tool says so with exit status 5.
TEST(Stm32f1Cli, ACorruptedDataByteFailsTheContentCheck) {
    std::size_t total = 0;
    const Bytes fw = PatternBytes(3000, 5);
    {
        SimOptions o;
        o.board = "stm32f1";
        SimBoard clean(o);
        const ProcessResult r = FlashWithCli(clean, {"-t", "STM32F1", "-p", "COM1"}, fw, 60000);
        ASSERT_EQ(r.status, 0) << r.err;
        clean.Wait();
        total = BytesReceived(clean.Log());
    }
    SimOptions o = Paced({"corrupt@" + std::to_string(total - 300)});
    o.board = "stm32f1";
    SimBoard sim(o);
    const ProcessResult r = FlashWithCli(sim, {"-t", "STM32F1", "-p", "COM1"}, fw, 60000);
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
}

// Device code 6's record was unused: a settings file from before this target
// keeps 8N1 there, and selecting the target gives it the boot loader's 8E1.
TEST_F(EngineRun, Stm32f1TakesTheUnusedRecordWithItsFraming) {
    const TargetRow* row = FindTargetByCode(kCode);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(std::string(row->itemText), "STM32F1");
    EXPECT_EQ(ListIndexOfCode(kCode), ListIndexOfCode(11) + 1) << "listed right after STM32F4";
    ctx.setup.Ports[row->portRecord] = PortRecord::Make("COM3", "8N1", 57600);
    ASSERT_EQ(SelectTarget(ctx, kCode), 0);
    const PortRecord& r = ctx.setup.Ports[row->portRecord];
    EXPECT_EQ(r.FramingText(), "8E1");
    EXPECT_EQ(r.BaudRate(), 57600);
    EXPECT_EQ(r.Name(), "COM3");
    EXPECT_STREQ(ctx.ActiveFlasher->ClassName(), "Flash_stm32f1");
}

// A board that runs its application is switched over the command protocol
// and flashed, as the STM32F4 is.
TEST_F(EngineRun, Stm32f1RunningApplicationIsSwitchedAndFlashed) {
    SimOptions o;
    o.board = "stm32f1";
    o.once = false;
    o.eraseMs = 50;
    o.extraArgs = {"--app-running"};
    StartBoard(kCode, o);
    const Bytes fw = PatternBytes(3001, 12);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status << "\n" << board->Log();
    EXPECT_TRUE(InOrder({"BslPanel caption AUTOBAUD", "status Init BSL Mode....", "status  Programming ok."}))
        << Events();
    board->Stop();
    EXPECT_TRUE(FlashHolds(board->Flash(), fw, {OddPad::None}));
}

}  // namespace
