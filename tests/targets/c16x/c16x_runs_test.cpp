// Whole runs of the engine into the simulated C163 and XC164/167 boards:
// the display sequence the user would see and the flash content afterwards.
#include <gtest/gtest.h>

#include "targets/flash_164.h"
#include "engine_run.h"
#include "loaders/loader_image.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr int32_t kC163 = 3, kXC164 = 5;

using Runs = EngineRun;

// ---- C163 ---------------------------------------------------------------------------

TEST_F(Runs, C163ControlBytesFrameEraseAndFinish) {
    Start("c163", kC163);
    const Bytes fw = PatternBytes(3001, 5);
    EXPECT_EQ(Run(fw), RunOutcome::Programmed) << rec.status;
    ExpectFlashHolds(fw);
    EXPECT_TRUE(InOrder({"BslPanel color clLime", "status Sending Bootstrap Loader", "BslPanel color clInactiveBorder",
                         "ErasePanel color clLime", "status Waiting while flash ROM being erased ",
                         "status Sending FLASH file", "FlashPanel color clLime", "status  Programming ok.",
                         "FlashPanel color clInactiveBorder", "Timer4 on"}, Match::Prefix))
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
    ExpectFlashHolds(fw);
    // The window shows the line of each phase; after the run the record's own 19200 again.
    EXPECT_TRUE(InOrder({"status Sending Bootstrap Loader", "port COM1 19200", "port COM1 57600",
                         "BslPanel color clInactiveBorder", "ErasePanel color clLime", "status  Programming ok.",
                         "port COM1 19200"}, Match::Prefix))
        << Events();
    EXPECT_EQ(rec.Matching("port COM1 57600").size(), 1u);
    // The board runs the image: ASC0 moves to the loader's divider after its first 0x00.
    const std::size_t pages = (size + size % 2 + 127) / 128;
    EXPECT_TRUE(LogInOrder({"zero byte at 19200 baud: answered 0xD5", "first stage received",
                            "ASC0 now at 56818 baud", "host line: 57600 baud",
                            std::to_string(pages) + " pages programmed, 1 sectors erased", "misuse: none"}));
    // Zero byte, image (1854), erase, size and data command, the file to a whole
    // word, the content check and the finish byte: nothing lost or garbled away.
    EXPECT_EQ(BytesReceived(board->Log()), 1 + 1854 + 1 + 5 + 1 + size + size % 2 + 2) << board->Log();
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

}  // namespace
