// Flash_XE167 byte by byte against a scripted peer: the test plays the boot
// loader and checks what the host sends and waits for.
#include <gtest/gtest.h>

#include <termios.h>

#include "loaders/loader_image.h"
#include "scripted_flasher.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

using Scripted = ScriptedFlasher;

TEST_F(Scripted, Xe167SwitchesTheOpenLineTo57600AndKeepsTheStoredRecord) {
    Open(8, "COM3");
    auto run = Async([&] { return F().SendBootstrap(); });
    EXPECT_EQ(peer->Receive(1), Bytes{0x00});
    peer->Send({0xD5});
    EXPECT_EQ(peer->Receive(2074), Bytes(kLoaderXE167.data, kLoaderXE167.data + kLoaderXE167.size));
    peer->Send({0x00});
    EXPECT_EQ(run.get(), 0);
    EXPECT_TRUE(rec.Has("port COM3 57600"));
    EXPECT_EQ(ctx.ActivePort->CharTime, 1736u);
    termios t{};
    ASSERT_EQ(tcgetattr(peer->MasterFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
    EXPECT_EQ(ctx.setup.Ports[7].BaudRate(), 19200);
    EXPECT_EQ(ctx.setup.Ports[7].Name(), "COM3");
}

// On a one-wire line the identification byte's start bit overlaps the zero
// byte's stop bit, and D5h reads as F5h (erratum BSL_X.004).
TEST_F(Scripted, Xe167TakesTheIdentificationByteAsAOneWireLineTurnsIt) {
    Open(8);
    auto run = Async([&] { return F().SendBootstrap(); });
    EXPECT_EQ(peer->Receive(1), Bytes{0x00});
    peer->Send({0xF5});
    EXPECT_EQ(peer->Receive(2074), Bytes(kLoaderXE167.data, kLoaderXE167.data + kLoaderXE167.size));
    peer->Send({0x00});
    EXPECT_EQ(run.get(), 0) << rec.status;
}

// The erase answer may take many seconds: the gauge walks a tenth per second
// of waiting, past 100 as it always did, and rests at 100 once the answer came.
TEST_F(Scripted, ALongEraseWalksTheGaugeUpTo100) {
    Open(8);
    rec.recordProgress = true;
    // Answered in the eleventh wait, from the host's own thread, so that a
    // loaded machine cannot move the answer into another wait.
    bool answered = false;
    rec.onPump = [&] {
        if (answered || rec.progress != 110) return;
        answered = true;
        peer->Send({0x00});
    };
    auto run = Async([&] { return F().Erase(); });
    EXPECT_EQ(peer->Receive(1), Bytes{0x62});
    EXPECT_EQ(run.get(), 0);
    rec.onPump = nullptr;
    EXPECT_EQ(rec.progressValues, (std::vector<int>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 100}));
}

struct AckCase {
    std::size_t size;
    uint32_t announced;
    int blockAcks;
};

class Xe167Acks : public Scripted, public ::testing::WithParamInterface<AckCase> {};

TEST_P(Xe167Acks, WaitsForEveryBlockAcknowledgementButTheLast) {
    const AckCase& c = GetParam();
    Open(8);
    const Bytes fw = PatternBytes(c.size, 3);
    const std::string path = File(fw);
    auto run = Async([&] { return F().ProgramFile(path, 0); });
    const uint32_t n = c.announced;
    EXPECT_EQ(peer->Receive(5), (Bytes{0x22, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}));
    peer->Send({0x00});
    EXPECT_EQ(peer->Receive(1), Bytes{0x42});
    Bytes data;
    int acks = 0;
    while (data.size() < n) {
        const Bytes chunk = peer->Receive(std::min<std::size_t>(128, n - data.size()));
        ASSERT_FALSE(chunk.empty()) << "the host stopped after " << data.size() << " bytes";
        data.insert(data.end(), chunk.begin(), chunk.end());
        if (data.size() % 128 == 0 && data.size() < n) {
            ASSERT_EQ(peer->Drain(30), Bytes{}) << "the host must wait for the acknowledgement at " << data.size();
            peer->Send({0x00});
            ++acks;
        }
    }
    EXPECT_EQ(peer->Drain(30), Bytes{});
    peer->Send({0x00, 0x00});  // last block, then all in flash
    Bytes padded = fw;
    padded.resize(n, 0x00);
    EXPECT_EQ(peer->Receive(1), Bytes{0x43});
    peer->Send(test::ContentAnswer(padded));
    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(acks, c.blockAcks);
    EXPECT_EQ(data, padded);
    EXPECT_EQ(peer->Drain(100), Bytes{}) << "ProgramFile leaves the end byte to the caller";
}

INSTANTIATE_TEST_SUITE_P(Xe167, Xe167Acks,
                         ::testing::Values(AckCase{1000, 1000, 7}, AckCase{1024, 1024, 7}, AckCase{1001, 1002, 7},
                                           AckCase{130, 130, 1}),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param.size); });

TEST_F(Scripted, Xe167VerifyReportInPlaceOfABlockAcknowledgementIsProgErr) {
    Open(8);
    ctx.FlashFilePath = File(PatternBytes(1000));
    auto run = Async([&] { return F().EraseAndProgram(); });
    EXPECT_EQ(peer->Receive(1), Bytes{0x62});
    peer->Send({0x00});
    peer->Receive(5);
    peer->Send({0x00});
    peer->Receive(1 + 128);
    peer->Send({0x42, 0x00, 0x00, 0x00, 0x34, 0x12, 0x35, 0x12, 0x02});
    EXPECT_EQ(run.get(), -1);
    EXPECT_EQ(rec.Caption(Panel::Flash), "PROG ERR");
    EXPECT_EQ(rec.status, "\n\nFatal: Error 0002 at addr 00042h: re-read 1235h, expected 1234h\n");
    // A lone wrong byte where the acknowledgement was due stays a wrong byte.
    auto wrong = Async([&] { return F().ProgramFile(ctx.FlashFilePath, 0); });
    peer->Receive(5);
    peer->Send({0x00});
    peer->Receive(1 + 128);
    peer->Send({0x01});
    EXPECT_THROW(wrong.get(), X_Flash::CharErrorException);
    EXPECT_EQ(rec.status, "\nError waiting after flash block has been sent.\nReceived byte: 01h Expected: 00h\n");
}

}  // namespace
