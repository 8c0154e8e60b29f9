// Whole runs of the engine into simulated boards over real pseudo-terminals.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/x_flash.h"
#include "engine_run.h"
#include "loaders/loader_image.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

class FlashRunTest : public EngineRun {
protected:
    void Start(SimOptions options = {}) { StartBoard(1, options); }
};

TEST_F(FlashRunTest, ASuccessfulRunFillsTheFlashAndShowsEveryStep) {
    Start();
    const Bytes fw = PatternBytes(3000);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed);
    ExpectFlashHolds(fw);
    EXPECT_TRUE(InOrder({
        "BslPanel color clInactiveBorder", "BslPanel caption BSL", "status " + std::string(15, ' '), "progress text on",
        "Cancel enabled", "Cancel default", "FlashButton disabled", "BslPanel color clLime",
        "status Sending Bootstrap Loader", "BslPanel color clInactiveBorder", "Cancel default",
        "ErasePanel color clLime", "status Waiting while flash ROM being erased ",
        "status Sending FLASH file \"" + ctx.FlashFilePath + "\"", "ErasePanel color clInactiveBorder",
        "FlashPanel color clLime", "status  Programming ok.", "FlashPanel color clInactiveBorder", "Timer4 on",
        "Cancel not default", "port COM1 57600", "FlashButton default", "FlashButton enabled"}))
        << ::testing::PrintToString(rec.events);
    EXPECT_EQ(ctx.ResetCountdown, 18);
    EXPECT_EQ(rec.progress, 100);
    EXPECT_FALSE(ctx.PortIsOpen);
    EXPECT_FALSE(ctx.lastError.shown);
}

TEST_F(FlashRunTest, AnEmptyFileIsRefusedAndTheBoardKeepsItsFirmware) {
    SimOptions o;
    o.once = false;
    Start(o);
    const Bytes odd = PatternBytes(1001, 7);
    EXPECT_EQ(Run(odd), RunOutcome::Programmed) << rec.status;
    EXPECT_EQ(Run({}), RunOutcome::BadInput) << rec.status;
    EXPECT_EQ(rec.Caption(Panel::Bsl), "PROG ERR");
    EXPECT_NE(rec.status.find("is empty"), std::string::npos) << rec.status;
    board->Stop();
    const Bytes flash = board->Flash();
    ASSERT_GE(flash.size(), odd.size());
    EXPECT_TRUE(std::equal(odd.begin(), odd.end(), flash.begin()));
}

TEST_F(FlashRunTest, OddFileIsPaddedWithZero) {
    Start();
    const Bytes odd = PatternBytes(1001, 7);
    EXPECT_EQ(Run(odd), RunOutcome::Programmed) << rec.status;
    ExpectFlashHolds(odd);
}

struct FailureCase {
    const char* name;
    std::vector<std::string> faults;
    RunOutcome outcome;
    Panel panel;
    const char* word;
    const char* status;  // exact, or empty to skip
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class FailingRun : public FlashRunTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailingRun, ShowsTheWordInThePanelOfTheFailedStep) {
    const FailureCase& c = GetParam();
    SimOptions o;
    o.faults = c.faults;
    Start(o);
    EXPECT_EQ(Run(PatternBytes(256 * 1024, 3)), c.outcome);
    EXPECT_EQ(rec.Caption(c.panel), c.word);
    EXPECT_EQ(rec.ColorOf(c.panel), Color::Red);
    if (*c.status) {
        EXPECT_EQ(rec.status, c.status);
    }
    EXPECT_TRUE(rec.flashEnabled);
    EXPECT_FALSE(ctx.PortIsOpen);
    EXPECT_EQ(ctx.ActiveFlasher->Abort, 0);
    board->Stop();
}

INSTANTIATE_TEST_SUITE_P(
    FlashRun, FailingRun,
    ::testing::Values(
        FailureCase{"WrongIdByte", {"bad-id"}, RunOutcome::BootstrapFailed, Panel::Bsl, "CHAR ERR",
                    "\nError waiting for controller ID\nReceived byte: D5h Expected: 55h\n"},
        FailureCase{"SilentBoard", {"silent"}, RunOutcome::BootstrapFailed, Panel::Bsl, "TIMEOUT",
                    "Timeout waiting for controller ID"},
        FailureCase{"VerifyError", {"verify-error@0x100"}, RunOutcome::ProgramFailed, Panel::Flash, "PROG ERR", ""},
        FailureCase{"LostLoaderByte", {"drop@500"}, RunOutcome::BootstrapFailed, Panel::Bsl, "TIMEOUT",
                    "Timeout waiting after BSL has been sent"},
        FailureCase{"BadEraseAck", {"bad-ack@812"}, RunOutcome::EraseFailed, Panel::Erase, "CHAR ERR",
                    "\nError waiting after Flash being erased\nReceived byte: 01h Expected: 00h\n"},
        FailureCase{"Unplugged", {"unplug@2000"}, RunOutcome::ProgramFailed, Panel::Flash, "TIMEOUT", ""}),
    [](const auto& info) { return info.param.name; });

TEST_F(FlashRunTest, VerifyErrorTextNamesAddressAndWords) {
    SimOptions o;
    o.faults = {"verify-error@0x100"};   // a weak cell: its lowest bit to clear stays 1
    Start(o);
    // Larger than the pty can buffer, so the report comes while data still flow.
    Bytes fw(256 * 1024, 0x00);
    fw[0x100] = 0x34;
    fw[0x101] = 0x12;
    EXPECT_EQ(Run(fw), RunOutcome::ProgramFailed);
    EXPECT_EQ(rec.status, "\n\nFatal: Error 0002 at addr 00100h: re-read 1235h, expected 1234h\n");
}

TEST_F(FlashRunTest, AbortDuringProgrammingShowsAbortWithTheShortCountdown) {
    Start();
    rec.onPump = [&] {
        if (rec.ColorOf(Panel::Flash) == Color::Lime && rec.progress >= 20 && ctx.ActiveFlasher)
            ctx.ActiveFlasher->Abort = 1;
    };
    EXPECT_EQ(Run(PatternBytes(20000)), RunOutcome::Aborted);
    EXPECT_EQ(rec.Caption(Panel::Flash), "ABORT");
    EXPECT_EQ(rec.status, "Aborted after the flash was erased: the board now holds a partial image");
    EXPECT_EQ(ctx.ResetCountdown, 5);
    EXPECT_TRUE(rec.timerRunning);
    EXPECT_EQ(ctx.ActiveFlasher->Abort, 0);  // the fresh flasher knows nothing of it
    board->Stop();
}

TEST_F(FlashRunTest, APortInUseIsRefusedWithTheMessageBox) {
    Start();
    Comport holder(ctx.setup.Ports[1]);
    EXPECT_EQ(Run(PatternBytes(16)), RunOutcome::PortError);
    EXPECT_TRUE(rec.Has("message Error!: Cannot initialize Comport!\rIt is probably used by another program!\rCheck "
                        "Port Parameter!"));
    EXPECT_NE(ctx.lastPortError.find("in use"), std::string::npos) << ctx.lastPortError;
    EXPECT_TRUE(rec.flashEnabled);
    board->Stop();
}

// The boot-mode retry of the ARM targets, with the switch itself played by a hook.
TEST_F(FlashRunTest, TheBootModeRetryIsBoundedAndHonoursAbort) {
    SimOptions o;
    o.board = "stm32f4";
    o.faults = {"silent"};
    o.once = false;
    board = std::make_unique<SimBoard>(o);
    ASSERT_EQ(SelectTarget(ctx, 11), 0);
    int switches = 0;
    ctx.forceBootMode = [&](Context&, const std::string& port) {
        EXPECT_EQ(port, "COM1");
        ++switches;
        return 0;  // "accepted", yet the boot loader stays silent
    };
    const std::string path = board->PortsDir() + "/fw.bin";
    WriteFileBytes(path, PatternBytes(64));
    ctx.FlashFilePath = path;
    EXPECT_EQ(FlashRun(ctx), RunOutcome::NoBoot);
    EXPECT_EQ(switches, 3);
    EXPECT_EQ(rec.Matching("BslPanel caption AUTOBAUD").size(), 4u);  // shown before every retry and before NO BOOT
    EXPECT_EQ(rec.Caption(Panel::Bsl), "NO BOOT");

    // An Abort pressed while the device is being switched ends the run there.
    switches = 0;
    ctx.forceBootMode = [&](Context& c, const std::string&) {
        ++switches;
        c.ActiveFlasher->Abort = 1;
        return 0;
    };
    EXPECT_EQ(FlashRun(ctx), RunOutcome::Aborted);
    EXPECT_EQ(switches, 1);
    EXPECT_EQ(rec.Caption(Panel::Bsl), "ABORT");
    EXPECT_EQ(ctx.ResetCountdown, 5);

    // The switch cut short by the Abort fails; that is still an abort, not NO BOOT.
    ctx.forceBootMode = [&](Context& c, const std::string&) {
        c.ActiveFlasher->Abort = 1;
        return -5;
    };
    EXPECT_EQ(FlashRun(ctx), RunOutcome::Aborted);
    EXPECT_EQ(rec.Caption(Panel::Bsl), "ABORT");
    board->Stop();
}

}  // namespace
