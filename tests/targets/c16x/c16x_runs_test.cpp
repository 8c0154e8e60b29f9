// Whole runs of the engine into the simulated C163, XC164/167 and C509 boards:
// the display sequence the user would see and the flash content afterwards.
#include <gtest/gtest.h>

#include "engine/catalogue.h"
#include "targets/flash_164.h"
#include "engine/run.h"
#include "loaders/loader_image.h"
#include "recorder.h"
#include "sim_board.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int32_t kC509 = 2, kC163 = 3, kXC164 = 5;

SimOptions WithFaults(std::vector<std::string> faults) {
    SimOptions o;
    o.faults = std::move(faults);
    return o;
}

class Runs : public ::testing::Test {
protected:
    void Start(const std::string& boardName, int32_t code, SimOptions o = {}) {
        o.board = boardName;
        if (o.eraseMs < 0) o.eraseMs = 50;
        board = std::make_unique<SimBoard>(o);
        ASSERT_EQ(SelectTarget(ctx, code), 0);
    }
    RunOutcome Run(const Bytes& firmware) {
        const std::string path = board->PortsDir() + "/firmware.bin";
        WriteFileBytes(path, firmware);
        ctx.FlashFilePath = path;
        return FlashRun(ctx);
    }
    // The board's flash after it ended: the file from address 0, then erased cells
    // (a word-wide loader completes an odd file with 0x00).
    void ExpectFlashHolds(const Bytes& fw, bool padsOddSize) {
        ASSERT_EQ(board->Wait(), 0) << board->Log();
        const Bytes flash = board->Flash();
        ASSERT_GE(flash.size(), fw.size() + (padsOddSize ? 1 : 0));
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin())) << "flash differs from the file";
        std::size_t end = fw.size();
        if (padsOddSize && end % 2) {
            EXPECT_EQ(flash[end], 0x00);
            ++end;
        }
        for (std::size_t i = end; i < flash.size(); ++i) ASSERT_EQ(flash[i], 0xFF) << "at " << i;
    }
    // wanted appear in the events in this order (each matched as a prefix).
    bool InOrder(const std::vector<std::string>& wanted) const {
        std::size_t w = 0;
        for (const auto& e : rec.events)
            if (w < wanted.size() && e.rfind(wanted[w], 0) == 0) ++w;
        return w == wanted.size();
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

// ---- C163 ---------------------------------------------------------------------------

TEST_F(Runs, C163ControlBytesFrameEraseAndFinish) {
    Start("c163", kC163);
    const Bytes fw = PatternBytes(3001, 5);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status;
    ExpectFlashHolds(fw, true);
    EXPECT_TRUE(InOrder({"BslPanel color clLime", "status Sending Bootstrap Loader", "BslPanel color clInactiveBorder",
                         "ErasePanel color clLime", "status Waiting while flash ROM being erased ",
                         "status Sending FLASH file", "FlashPanel color clLime", "status  Programming ok.",
                         "FlashPanel color clInactiveBorder", "Timer4 on"}))
        << Events();
    // 0x14 before the erase switches the board's flash write enable on, 0x04 at the end off again.
    EXPECT_TRUE(LogInOrder({"zero byte at 19200 baud: answered 0xD5", "first stage received",
                            "flash write enable on (P2.8 high)", "flash write enable off (P2.8 low)", "host closed"}));
    EXPECT_NE(board->Log().find("1501 words programmed, 1 erases"), std::string::npos) << board->Log();
    EXPECT_NE(board->Log().find("misuse: none"), std::string::npos) << board->Log();
}

TEST_F(Runs, C163BoardRefusesTheC166IdentificationByte) {
    Start("c163", kC163, WithFaults({"bad-id"}));
    EXPECT_EQ(Run(PatternBytes(10)), RunOutcome::BootstrapFailed);
    EXPECT_EQ(rec.Caption(Panel::Bsl), "CHAR ERR");
    EXPECT_EQ(rec.status, "\nError waiting for controller ID\nReceived byte: 55h Expected: D5h\n");
    board->Stop();
}

// ---- XC164/167 ------------------------------------------------------------------------

class Xc164Run : public Runs, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(Xc164Run, LoaderAt19200ThenEverythingAt57600) {
    const std::size_t size = GetParam();
    Start("xc164", kXC164);
    const Bytes fw = PatternBytes(size, 11);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status;
    ExpectFlashHolds(fw, true);
    // The window shows the line of each phase; after the run the record's own 19200 again.
    EXPECT_TRUE(InOrder({"status Sending Bootstrap Loader", "port COM1 19200", "port COM1 57600",
                         "BslPanel color clInactiveBorder", "ErasePanel color clLime", "status  Programming ok.",
                         "port COM1 19200"}))
        << Events();
    EXPECT_EQ(rec.Matching("port COM1 57600").size(), 1u);
    // The board runs the image: ASC0 moves to the loader's divider after its first 0x00.
    const std::size_t pages = (size + size % 2 + 127) / 128;
    EXPECT_TRUE(LogInOrder({"zero byte at 19200 baud: answered 0xD5", "first stage received",
                            "ASC0 now at 56818 baud", "host line: 57600 baud",
                            std::to_string(pages) + " pages programmed, 1 sectors erased", "misuse: none"}));
    EXPECT_EQ(board->Log().find("garbled"), std::string::npos) << board->Log();
}

INSTANTIATE_TEST_SUITE_P(Files, Xc164Run, ::testing::Values(256u, 258u, 1001u));

// A host that sends the image at 19200 but never moves to 57600.
class Flash164WithoutSwitch : public Flash_164 {
public:
    using Flash_164::Flash_164;
    int SendLoader() override {
        WriteLoaderImage(kLoaderXC164);
        Expect(0x00, "waiting after BSL has been sent", false);
        return 0;
    }
};

TEST_F(Runs, Xc164HostThatForgetsTheSwitchTimesOutInTheErase) {
    Start("xc164", kXC164);
    auto forgetful = std::make_unique<Flash164WithoutSwitch>(ctx);
    forgetful->EraseCommand = 0x62;
    forgetful->EraseAck = 0x00;
    forgetful->IdByte = 0xD5;
    ctx.ActiveFlasher = std::move(forgetful);
    EXPECT_EQ(Run(PatternBytes(256)), RunOutcome::EraseFailed);   // 20 one-second waits
    EXPECT_EQ(rec.Caption(Panel::Erase), "TIMEOUT");
    EXPECT_EQ(rec.status, "Timeout waiting after Flash being erased");
    EXPECT_FALSE(rec.Has("port COM1 57600"));
    board->Stop();
    EXPECT_TRUE(LogInOrder({"first stage received", "host sends at 19200 baud, the other side uses 57600",
                            "0 pages programmed, 0 sectors erased"}));
}

TEST_F(Runs, Xc164ReportForTheLastWordNeverPassesForSuccess) {
    // 0x10002 bytes, the last word failing at 0x10000: the report starts 00h 00h,
    // the very bytes of the two final answers.
    Start("xc164", kXC164, WithFaults({"verify-error@0x10000"}));
    const Bytes fw = PatternBytes(0x10002, 4);
    EXPECT_EQ(Run(fw), RunOutcome::ProgramFailed);
    EXPECT_EQ(rec.Caption(Panel::Flash), "PROG ERR");
    char text[96];
    std::snprintf(text, sizeof text, "\n\nFatal: Error 0002 at addr 10000h: re-read %04Xh, expected %04Xh\n",
                  (fw[0x10000] | fw[0x10001] << 8) ^ 1, fw[0x10000] | fw[0x10001] << 8);
    EXPECT_EQ(rec.status, text);
    board->Stop();
}

// ---- C509 ---------------------------------------------------------------------------

TEST_F(Runs, C509BlocksThenSixteenBitProgramStep) {
    Start("c509", kC509);
    const Bytes fw = PatternBytes(1001, 9);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status;
    ExpectFlashHolds(fw, false);   // an odd size is not padded
    EXPECT_TRUE(InOrder({"status Sending Bootstrap Loader", "status  ...done", "BslPanel color clInactiveBorder",
                         "status Waiting while flash ROM being erased ", "status Sending FLASH file",
                         "status  Programming ok."}))
        << Events();
    // The board sees the 8N2 line (a pty carries the stop bits), the blocks and the commands.
    EXPECT_TRUE(LogInOrder({"host line: 9600 baud, 8N2", "zero byte at 9600 baud: answered 0x55",
                            "block 1 (mode): mode 0, loading from 0xF400",
                            "block 37 (last): 11 bytes, 466 bytes loaded from 0xF400",
                            "block 38 (mode): mode 1, starting at 0xF420", "the loaded program runs", "erase command",
                            "program command: size 1001 bytes, echoed 0xE9 0x03, answered 0x03",
                            "programmed 1001 bytes from address 0: answered 0x04", "host closed"}));
    EXPECT_EQ(board->Log().find("unknown command"), std::string::npos) << "no finish byte: " << board->Log();
}

TEST_F(Runs, C509TakesTheLargestFileTheSizeCanCarry) {
    Start("c509", kC509);
    const Bytes fw = PatternBytes(65535, 2);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status;
    ExpectFlashHolds(fw, false);
}

TEST_F(Runs, C509RefusesALargerFileBeforeTheBoardIsTouched) {
    Start("c509", kC509);
    EXPECT_EQ(Run(PatternBytes(65536, 2)), RunOutcome::BadInput);
    EXPECT_EQ(rec.Caption(Panel::Bsl), "PROG ERR");
    EXPECT_EQ(rec.status, "FLASH file \"" + ctx.FlashFilePath +
                              "\" has 65536 bytes; this target holds at most 65535 bytes: nothing was sent");
    EXPECT_TRUE(rec.flashEnabled);
    board->Stop();
    EXPECT_EQ(board->Log().find("zero byte"), std::string::npos) << "nothing was sent: " << board->Log();
    const Bytes flash = board->Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(Runs, C509MissingEchoIsAcceptedAfterTheTwoWaits) {
    Start("c509", kC509, WithFaults({"no-echo"}));
    int64_t programStart = 0;
    rec.onPump = [&] {
        if (!programStart && rec.ColorOf(Panel::Flash) == Color::Lime) programStart = NowMs();
    };
    const Bytes fw = PatternBytes(300, 6);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status;
    EXPECT_GE(NowMs() - programStart, 2000) << "two 1000 ms waits for the echo";
    ExpectFlashHolds(fw, false);
    EXPECT_TRUE(LogInOrder({"size 300 bytes, no echo (no-echo fault)", "answered 0x03 without echo",
                            "programmed 300 bytes"}));
}

struct FailureCase {
    const char* name;
    std::vector<std::string> faults;
    RunOutcome outcome;
    Panel panel;
    const char* word;
    const char* status;   // prefix of the status text
    bool pace = false;    // the board takes the bytes at line rate, long after the host wrote them
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class C509Failure : public Runs, public ::testing::WithParamInterface<FailureCase> {};

// Host byte positions: 0 the zero byte, 1-8 the mode block, then 35 data blocks
// of 15 bytes from 9, the last block at 534-548, the start block at 549-556 and
// the erase command at 557.
TEST_P(C509Failure, ShowsTheWordInThePanelOfTheFailedStep) {
    const FailureCase& c = GetParam();
    SimOptions o = WithFaults(c.faults);
    o.pace = c.pace;
    Start("c509", kC509, o);
    EXPECT_EQ(Run(PatternBytes(1001, 9)), c.outcome);
    EXPECT_EQ(rec.Caption(c.panel), c.word);
    EXPECT_EQ(rec.ColorOf(c.panel), Color::Red);
    EXPECT_EQ(rec.status.rfind(c.status, 0), 0u) << ::testing::PrintToString(rec.status);
    EXPECT_TRUE(rec.flashEnabled);
    EXPECT_FALSE(ctx.PortIsOpen);
    board->Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, C509Failure,
    ::testing::Values(
        FailureCase{"ModeBlockChecksum", {"corrupt@3"}, RunOutcome::BootstrapFailed, Panel::Bsl, "CHAR ERR",
                    "\nError setting mode 0.\nReceived byte: FEh Expected: 55h\n"},
        FailureCase{"LoaderByteChecksum", {"corrupt@12"}, RunOutcome::BootstrapFailed, Panel::Bsl, "CHAR ERR",
                    "\nError bsl data block\nReceived byte: FEh Expected: 55h\n"},
        FailureCase{"LastBlockChecksum", {"corrupt@540"}, RunOutcome::BootstrapFailed, Panel::Bsl, "CHAR ERR",
                    "\nError after BSL has been sent.\nReceived byte: FEh Expected: 55h\n"},
        FailureCase{"StartBlockChecksum", {"corrupt@552"}, RunOutcome::BootstrapFailed, Panel::Bsl, "CHAR ERR",
                    "\nError setting mode 1.\nReceived byte: FEh Expected: 55h\n"},
        FailureCase{"LostLoaderByte", {"drop@12"}, RunOutcome::BootstrapFailed, Panel::Bsl, "TIMEOUT",
                    "Timeout bsl data block"},
        FailureCase{"WrongEraseAnswer", {"bad-ack@558"}, RunOutcome::EraseFailed, Panel::Erase, "CHAR ERR",
                    "\nError waiting after Flash being erased\nReceived byte: 03h Expected: 02h\n"},
        FailureCase{"WrongEcho", {"bad-echo"}, RunOutcome::ProgramFailed, Panel::Flash, "CHAR ERR",
                    "\nError after size has been sent.\nReceived byte: E8h Expected: E9h\n"},
        // The host is done sending long before the paced board meets the bad byte:
        // the report comes where the final answer was due and is read as one ...
        FailureCase{"VerifyError", {"verify-error@0x3E0"}, RunOutcome::ProgramFailed, Panel::Flash, "PROG ERR",
                    "\n\nFatal: Error 0002 at addr 003E0h: re-read ", true},
        // ... and where that byte is the done byte, the rest of the report still fails the run.
        FailureCase{"VerifyErrorThatLooksDone", {"verify-error@0x304"}, RunOutcome::ProgramFailed, Panel::Flash,
                    "PROG ERR", "\n\nFatal: Error 0002 at addr 00304h: re-read ", true}),
    [](const auto& info) { return info.param.name; });

}  // namespace
