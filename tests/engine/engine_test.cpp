// The engine's byte tools and base steps against a scripted peer on a pty.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>

#include "engine/catalogue.h"
#include "engine/x_flash.h"
#include "pty_peer.h"
#include "recorder.h"

using namespace qtx;
using qtx::test::PtyPeer;
using qtx::test::Recorder;
using Bytes = std::vector<uint8_t>;

namespace {

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SelectTarget(ctx, 1), 0);
        ASSERT_EQ(OpenTargetPort(ctx), 0) << ctx.lastPortError;
        dir = peer.Dir();
    }
    void TearDown() override { DestroyActivePort(ctx); }
    X_Flash& F() { return *ctx.ActiveFlasher; }
    std::string File(const Bytes& data) {
        const std::string path = dir + "/fw.bin";
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
        return path;
    }
    // Runs an engine call on another thread while the test plays the board.
    template <class Fn>
    std::future<void> Async(Fn fn) {
        return std::async(std::launch::async, fn);
    }

    PtyPeer peer;
    Recorder rec;
    Context ctx{rec};
    std::string dir;
};

TEST_F(Engine, IdentifyDrainsStaleBytesSendsZeroAndChecksTheIdByte) {
    peer.Send({0x12, 0x34});  // noise from before the run, queued at the host
    for (int i = 0, queued = 0; i < 1000 && queued < 2; ++i) {
        usleep(10000);
        ioctl(ctx.ActivePort->Handle, TIOCINQ, &queued);
    }
    auto run = Async([&] { EXPECT_EQ(F().Identify(), 0); });
    EXPECT_EQ(peer.Receive(1), Bytes{0x00});
    peer.Send({0x55});
    run.get();
}

TEST_F(Engine, AWrongIdByteNamesTheStepAndBothBytes) {
    F().IdByte = 0xD5;
    auto run = Async([&] { EXPECT_EQ(F().SendBootstrap(), -1); });
    EXPECT_EQ(peer.Receive(1), Bytes{0x00});
    peer.Send({0x55});
    run.get();
    EXPECT_EQ(rec.status, "\nError waiting for controller ID\nReceived byte: 55h Expected: D5h\n");
    EXPECT_EQ(rec.Caption(Panel::Bsl), "CHAR ERR");
    EXPECT_EQ(rec.ColorOf(Panel::Bsl), Color::Red);
    EXPECT_TRUE(rec.flashEnabled);
    EXPECT_FALSE(rec.cancelEnabled);
}

TEST_F(Engine, ExpectTreatsAReceived0xFFAsSilenceAndToleratesTimeoutsWhenAsked) {
    peer.Send({0xFF});
    EXPECT_THROW(F().Expect(0x00, "step", false), X_Flash::TimeoutException);
    EXPECT_EQ(rec.status, "Timeout step");
    peer.Send({0xFF});
    EXPECT_EQ(F().Expect(0x00, "step", true), -1);
    peer.Send({0x42});
    EXPECT_EQ(F().Expect(0xFF, "any", false), 0x42);  // 0xFF accepts any byte
    ctx.ByteTimeoutMs = 100;
    const int64_t t0 = NowMs();
    EXPECT_EQ(F().Expect(0x00, "quiet", true), -1);
    EXPECT_GE(NowMs() - t0, 100);
}

TEST_F(Engine, ReceiveByteSleepsInsteadOfSpinning) {
    ctx.ByteTimeoutMs = 300;
    EXPECT_EQ(F().ReceiveByte(), 0xFF);
    // A busy loop would pump hundreds of thousands of times in 300 ms.
    EXPECT_LT(rec.pumps, 1000);
    EXPECT_GT(rec.pumps, 10);
}

struct ReportCase {
    const char* name;
    Bytes report;
    const char* status;
    const char* word;
    friend void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }
};

class VerifyReport : public Engine, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(VerifyReport, IsShownWithItsFields) {
    const ReportCase& c = GetParam();
    ctx.FlashFilePath = File(Bytes(256 * 1024, 0x11));
    auto run = Async([&] { EXPECT_EQ(F().EraseAndProgram(), -1); });
    peer.Receive(1);  // erase command
    peer.Send({0x00});
    peer.Receive(5);  // 0x22 and size
    peer.Send({0x00});
    peer.Receive(1 + 8);  // 0x42 and a few data bytes
    peer.Send(c.report);
    // Keep taking data, as a line would, until the host has seen the report.
    while (run.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) peer.Drain(20);
    run.get();
    EXPECT_EQ(rec.status, c.status);
    EXPECT_EQ(rec.Caption(Panel::Flash), c.word);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, VerifyReport,
    ::testing::Values(
        ReportCase{"plain", {0x34, 0x12, 0x01, 0x00, 0xCD, 0xAB, 0xCC, 0xAB, 0x02},
                   "\n\nFatal: Error 0002 at addr 11234h: re-read ABCCh, expected ABCDh\n", "PROG ERR"},
        // 0xFF bytes are data inside a report, not silence.
        ReportCase{"with0xFF", {0x00, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF},
                   "\n\nFatal: Error 00FF at addr 00100h: re-read FFFEh, expected FFFFh\n", "PROG ERR"},
        ReportCase{"truncated", {0x00, 0x01}, "Timeout reading verify result.", "TIMEOUT"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Engine, ProgramSendsSizeDataPaddingAndFinish) {
    const Bytes data = {1, 2, 3, 4, 5};  // odd: announced as 6, last word padded with 0x00
    const std::string path = File(data);
    auto run = Async([&] { EXPECT_EQ(F().Program(path), 0); });
    EXPECT_EQ(peer.Receive(5), (Bytes{0x22, 6, 0, 0, 0}));
    peer.Send({0x00});
    EXPECT_EQ(peer.Receive(7), (Bytes{0x42, 1, 2, 3, 4, 5, 0}));
    peer.Send({0x00});
    // The content check covers the bytes sent, pad byte included.
    EXPECT_EQ(peer.Receive(1), Bytes{0x43});
    peer.Send(test::ContentAnswer({1, 2, 3, 4, 5, 0}));
    EXPECT_EQ(peer.Receive(1), Bytes{0x01});
    run.get();
    EXPECT_EQ(std::filesystem::file_size(path), 5u);
}

TEST_F(Engine, AContentCheckThatDiffersOrStaysSilentFailsWithBothValues) {
    const std::string path = File({1, 2, 3, 4});
    for (const bool silent : {false, true}) {
        rec.status.clear();
        auto run = Async([&] { EXPECT_THROW(F().Program(path), X_Flash::ProgramException); });
        peer.Receive(5);
        peer.Send({0x00});
        EXPECT_EQ(peer.Receive(5), (Bytes{0x42, 1, 2, 3, 4}));
        peer.Send({0x00});
        EXPECT_EQ(peer.Receive(1), Bytes{0x43});
        // What the loader received had one bit flipped on the line.
        if (!silent) peer.Send(test::ContentAnswer({1, 2, 3, 5}));
        run.get();
        EXPECT_EQ(peer.Drain(), Bytes{});  // no Finish for a failed run
        const Bytes good = test::ContentAnswer({1, 2, 3, 4});
        char crc[16];
        std::snprintf(crc, sizeof crc, "%02X%02X%02X%02Xh", good[4], good[3], good[2], good[1]);
        EXPECT_NE(rec.status.find(crc), std::string::npos) << rec.status;
        EXPECT_NE(rec.status.find(silent ? "no answer" : "failed"), std::string::npos) << rec.status;
    }
}

TEST_F(Engine, AReportAfterTheLastChunkIsNotTakenForSuccess) {
    const std::string path = File({1, 2, 3, 4});
    auto run = Async([&] { EXPECT_THROW(F().Program(path), X_Flash::ProgramException); });
    peer.Receive(5);
    peer.Send({0x00});
    EXPECT_EQ(peer.Receive(5), (Bytes{0x42, 1, 2, 3, 4}));
    // Its first byte, 0x00, looks like the final answer.
    peer.Send({0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x02, 0x02});
    run.get();
    EXPECT_EQ(rec.status, "\n\nFatal: Error 0002 at addr 00000h: re-read 0200h, expected 0201h\n");
    EXPECT_EQ(peer.Drain(), Bytes{});  // no Finish for a failed run
}

TEST_F(Engine, AReportWhoseRestComesAfterTheCheckWasAskedForIsStillShown) {
    // The host does not wait for quiet after the last answer: a report's other
    // bytes, held up on the way, come where the check's answer is due.
    const std::string path = File({1, 2, 3, 4});
    auto run = Async([&] { EXPECT_THROW(F().Program(path), X_Flash::ProgramException); });
    peer.Receive(5);
    peer.Send({0x00});
    EXPECT_EQ(peer.Receive(5), (Bytes{0x42, 1, 2, 3, 4}));
    peer.Send({0x00});
    EXPECT_EQ(peer.Receive(1), Bytes{0x43});
    peer.Send({0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x02, 0x02});
    run.get();
    EXPECT_EQ(rec.status, "\n\nFatal: Error 0002 at addr 00000h: re-read 0200h, expected 0201h\n");
}

TEST_F(Engine, AnEmptyFileIsRefusedBeforeAnythingIsSent) {
    // Erasing a board for nothing would cost it its firmware.
    const std::string path = File({});
    EXPECT_THROW(F().Program(path), X_Flash::ProgramException);
    EXPECT_EQ(peer.Drain(), Bytes{});
    EXPECT_NE(rec.status.find("is empty"), std::string::npos) << rec.status;
}

TEST_F(Engine, AMissingFirmwareFileSendsNothingAndNamesTheFile) {
    ctx.FlashFilePath = dir + "/gone.bin";
    auto run = Async([&] { EXPECT_EQ(F().EraseAndProgram(), -1); });
    peer.Receive(1);
    peer.Send({0x00});  // erase done
    run.get();
    EXPECT_EQ(peer.Drain(), Bytes{});
    EXPECT_EQ(rec.Caption(Panel::Flash), "PROG ERR");
    EXPECT_NE(rec.status.find("gone.bin"), std::string::npos);
    EXPECT_NE(rec.status.find("No such file"), std::string::npos);
}

TEST_F(Engine, AWrongAnswerWhileProgrammingIsCharErrInTheFlashPanel) {
    ctx.FlashFilePath = File(Bytes(8, 0));
    auto run = Async([&] { EXPECT_EQ(F().EraseAndProgram(), -1); });
    peer.Receive(1);
    peer.Send({0x00});
    peer.Receive(5);
    peer.Send({0x01});
    run.get();
    EXPECT_EQ(rec.Caption(Panel::Flash), "CHAR ERR");
    EXPECT_EQ(rec.status, "\nError waiting after size has been sent.\nReceived byte: 01h Expected: 00h\n");
    EXPECT_TRUE(rec.flashEnabled);
}

TEST_F(Engine, EraseShowsTheGaugeOncePerSecondAndAcceptsALateAcknowledge) {
    rec.recordProgress = true;
    // Answered in the third wait, from the host's own thread, so that a loaded
    // machine cannot move the answer into another wait.
    bool answered = false;
    rec.onPump = [&] {
        if (answered || rec.progress != 30) return;
        answered = true;
        peer.Send({0x00});
    };
    auto run = Async([&] { EXPECT_EQ(F().Erase(), 0); });
    EXPECT_EQ(peer.Receive(1), Bytes{0x62});
    run.get();
    rec.onPump = nullptr;
    EXPECT_EQ(rec.progressValues, (std::vector<int>{10, 20, 30, 100}));
}

TEST_F(Engine, AbortDuringEraseIsShownWithTheShortCountdown) {
    auto run = Async([&] { EXPECT_EQ(F().EraseAndProgram(), -1); });
    peer.Receive(1);
    F().Abort = 1;
    run.get();
    EXPECT_EQ(rec.Caption(Panel::Erase), "ABORT");
    EXPECT_EQ(ctx.ResetCountdown, 5);
    EXPECT_TRUE(rec.timerRunning);
}

// A driver that refuses a line setting the run switches to (the 57600-baud
// switch of the C16x loaders) ends that step with its reason, not the program.
TEST_F(Engine, ARefusedLineSettingIsCharErrWithTheDriversReason) {
    struct Probe : X_Flash {
        using X_Flash::X_Flash;
        using X_Flash::RunStep;
        const char* ClassName() const override { return "Probe"; }
    } probe(ctx);
    const std::string why = "the driver of /dev/pts/9 (COM1) refused 8N1 at 57600 baud: Invalid argument";
    EXPECT_FALSE(probe.RunStep(Panel::Bsl, [&] { throw Comport::InitException{why}; }));
    EXPECT_EQ(rec.Caption(Panel::Bsl), "CHAR ERR");
    EXPECT_EQ(rec.status, why);
    EXPECT_EQ(ctx.lastFailure.kind, Failure::Port);
}

TEST_F(Engine, ControlAndNameSteps) {
    X_Flash& f = F();
    f.SetControl(0x10);  // no-op on this target
    EXPECT_EQ(peer.Drain(50), Bytes{});
    std::strcpy(ctx.setup.EpldName, "AB.X");
    auto run = Async([&] { EXPECT_EQ(f.SendEpldName(), 0); });
    EXPECT_EQ(peer.Receive(9), (Bytes{0x06, 'A', 'B', 0, 0, 0, 0, 0, 0}));
    peer.Send({0x00});
    run.get();
    EXPECT_EQ(f.Checksum, 0x06);  // the name characters are plain writes
}

TEST_F(Engine, TheResetCountdownEndsOnTheNextTickAfterZero) {
    ShowPanelError(ctx, Panel::Flash, "ABORT", 5);
    for (int tick = 0; tick < 5; ++tick) {
        Timer4Timer(ctx);
        EXPECT_EQ(rec.Caption(Panel::Flash), "ABORT") << tick;
    }
    Timer4Timer(ctx);  // sixth tick: 1.2 s
    EXPECT_EQ(rec.Caption(Panel::Flash), "FLASH");
    EXPECT_EQ(rec.ColorOf(Panel::Flash), Color::InactiveBorder);
    EXPECT_FALSE(rec.timerRunning);
    EXPECT_EQ(rec.status, "               ");
}

TEST_F(Engine, AVanishedPortFailsTheWaitAtOnce) {
    ctx.ByteTimeoutMs = 20000;
    peer.Close();
    const int64_t t0 = NowMs();
    EXPECT_THROW(F().Expect(0x00, "x", false), X_Flash::TimeoutException);
    EXPECT_LT(NowMs() - t0, 5000);
    EXPECT_NE(rec.status.find("gone"), std::string::npos);
}

}  // namespace
