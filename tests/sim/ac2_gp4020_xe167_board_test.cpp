// The t89c5xacx, gp4020 and xe167 boards driven byte by byte on a fake clock, and the
// xe167 line switch on the wire.
#include <gtest/gtest.h>

#include <utility>

#include "loaders/loader_image.h"
#include "raw_client.h"
#include "sim/ac2_board.h"
#include "sim/boards.h"
#include "sim_board.h"

namespace qtx::sim {
namespace {

using Bytes = std::vector<uint8_t>;

class FakeIo : public BoardIo {
public:
    void Send(const uint8_t* data, std::size_t n) override { sent.insert(sent.end(), data, data + n); }
    void Log(const std::string& line) override { log += line + "\n"; }
    Clock::time_point Now() const override { return now; }
    Bytes Take() { return std::exchange(sent, {}); }
    std::string TakeText() {
        const Bytes b = Take();
        return std::string(b.begin(), b.end());
    }
    Bytes sent;
    std::string log;
    Clock::time_point now{};
};

class ByteFedBoards : public ::testing::Test {
protected:
    void Make(const char* name) { board = FindBoard(name)->make(config, io); }
    void Feed(const Bytes& bytes, uint32_t baud = 57600) {
        for (uint8_t b : bytes) board->Receive(b, baud);
    }
    void FeedText(const std::string& text) { Feed(Bytes(text.begin(), text.end())); }
    void RunTimers() {
        while (auto t = board->NextTimer()) {
            io.now = *t;
            board->OnTimer();
        }
    }

    BoardConfig config;
    FakeIo io;
    std::unique_ptr<Board> board;
};

// ---- t89c5xacx ------------------------------------------------------------------

struct RecordCase {
    const char* name;
    std::string record;
    std::string answer;  // after the echo
    std::size_t address;
    Bytes flash;         // expected there afterwards
};

class Ac2Records : public ByteFedBoards, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(Ac2Records, EchoEveryCharacterAndAnswerTheStatus) {
    const RecordCase& c = GetParam();
    config.verifyErrorAt = {0x0203};
    Make("t89c5xacx");
    FeedText("U");
    io.Take();
    FeedText(c.record);
    EXPECT_EQ(io.TakeText(), c.record + c.answer);
    for (std::size_t i = 0; i < c.flash.size(); ++i) EXPECT_EQ(board->Flash().Read(c.address + i), c.flash[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Ac2Records,
    ::testing::Values(RecordCase{"Data", ":0300100001A2FF4B", ".\r\n", 0x10, {0x01, 0xA2, 0xFF}},
                      RecordCase{"ChecksumError", ":0300100001A2FF4C", "X\r\n", 0x10, {0xFF, 0xFF, 0xFF}},
                      RecordCase{"LowerCaseDigit", ":0300100001a2FF4B", "X\r\n", 0x10, {0xFF, 0xFF, 0xFF}},
                      RecordCase{"CountNotHex", ":G0", "X\r\n", 0, {}},
                      RecordCase{"RefusedWrite", ":020202001122C7", "P\r\n", 0x202, {0xFF, 0xFF}},
                      RecordCase{"PastTheFlash", ":02FFFF00ABCD88", "P\r\n", 0xFFFF, {0xFF}},
                      RecordCase{"UnknownType", ":0100000500FA", "X\r\n", 0, {}}),
    [](const auto& info) { return info.param.name; });

TEST_F(ByteFedBoards, Ac2AutobaudFusesResetAndANewSession) {
    Make("t89c5xacx");
    EXPECT_EQ(board->ListenBaud(), 0u);
    Feed({0x00, ':'}, 9600);  // ignored until the autobaud character
    Feed({'U'}, 38400);
    EXPECT_EQ(board->ListenBaud(), 38400u);
    FeedText(":0100000011EE:030000030A0800E8:030000030A0401EB");
    EXPECT_EQ(io.TakeText(), "U:0100000011EE.\r\n:030000030A0800E8.\r\n:030000030A0401EB.\r\n");
    auto& ac2 = dynamic_cast<const Ac2Board&>(*board);
    EXPECT_EQ(ac2.X2Fuse(), 0x00);
    EXPECT_EQ(ac2.BljbFuse(), 0x01);
    FeedText(":020000030300F8:0100000011EE");
    EXPECT_EQ(io.TakeText(), ":020000030300F8") << "the reset has no status, the application does not echo";
    EXPECT_TRUE(ac2.ApplicationStarted());
    board->Reset();
    EXPECT_EQ(board->ListenBaud(), 0u);
    FeedText("U");
    EXPECT_EQ(io.TakeText(), "U");
    EXPECT_EQ(board->Flash().Read(0), 0x11) << "flash survives the reset";
}

// ---- gp4020 ----------------------------------------------------------------------

// The ROM's download: a three-byte length, most significant first, then the bytes.
Bytes Gp4020Download(const Bytes& image) {
    const std::size_t n = image.size();
    Bytes b{uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    b.insert(b.end(), image.begin(), image.end());
    return b;
}

Bytes Gp4020Image() { return Bytes(kLoaderGP4020.data, kLoaderGP4020.data + kLoaderGP4020.size); }

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

TEST_F(ByteFedBoards, Gp4020RomRunsWhateverItsLengthAnnounces) {
    Bytes padded = Gp4020Image();
    padded.back() ^= 0x55;  // the ROM checks nothing: a changed pad byte still runs
    const std::pair<Bytes, bool> downloads[] = {{Gp4020Download(Gp4020Image()), true},
                                                {Gp4020Download(padded), true},
                                                {Bytes{0x00, 0x00, 0x00, 0x62}, false},
                                                {Bytes{0x01, 0x00, 0x00, 0x62}, false}};  // 64 KiB: more than the RAM
    for (const auto& [download, runs] : downloads) {
        Make("gp4020");
        Feed(download);
        RunTimers();
        EXPECT_EQ(io.Take(), runs ? Bytes{0x00} : Bytes{}) << io.log;
        EXPECT_EQ(board->ListenBaud(), 57600u) << "the ROM never measures the rate";
    }
}

// Unicorn's ARM926 rotates an unaligned load differently from the ARM7TDMI: the
// board must say when a program does one.
TEST_F(ByteFedBoards, Gp4020FlagsAnUnalignedLoad) {
    Make("gp4020");
    // mov r1, #1; ldr r0, [r1]; b .
    Feed(Gp4020Download({0x01, 0x10, 0xA0, 0xE3, 0x00, 0x00, 0x91, 0xE5, 0xFE, 0xFF, 0xFF, 0xEA}));
    for (int i = 0; i < 3; ++i) {
        auto t = board->NextTimer();
        ASSERT_TRUE(t);
        io.now = *t;
        board->OnTimer();
    }
    board.reset();
    EXPECT_NE(io.log.find("unaligned access x1 (first: read of 4 at 0x00000001)"), std::string::npos) << io.log;
}

// The real loader on the fake clock: every answer of the protocol, and the flash.
TEST_F(ByteFedBoards, Gp4020LoaderAnswersTheProtocolAndProgramsTheFlash) {
    Make("gp4020");
    Feed(Gp4020Download(Gp4020Image()));
    RunTimers();
    ASSERT_EQ(io.Take(), Bytes{0x00}) << io.log;
    Bytes tooBig{0x22};
    for (uint8_t b : Le32(512 * 1024 + 2)) tooBig.push_back(b);
    Feed(tooBig);
    RunTimers();
    EXPECT_EQ(io.Take(), Bytes{0x01}) << "a size past the flash is refused";
    Feed({0x62});
    RunTimers();
    EXPECT_EQ(io.Take(), Bytes{0x00});
    const Bytes data{0x12, 0x34, 0xFF, 0xFF, 0x00, 0x80};
    Bytes cmd{0x22};
    for (uint8_t b : Le32(uint32_t(data.size()))) cmd.push_back(b);
    Feed(cmd);
    RunTimers();
    EXPECT_EQ(io.Take(), Bytes{0x00});
    Feed({0x42});
    Feed(data);
    RunTimers();
    EXPECT_EQ(io.Take(), Bytes{0x00});
    Feed({0x43});
    RunTimers();
    EXPECT_EQ(io.Take(), (Bytes{0x43, 0x49, 0xAD, 0x58, 0x26})) << "CRC-32 of the six bytes, LSB first";
    for (std::size_t i = 0; i < data.size(); ++i) EXPECT_EQ(board->Flash().Read(i), data[i]) << i;
    EXPECT_EQ(board->Flash().Read(data.size()), 0xFF);
}

// ---- xe167 -----------------------------------------------------------------------

struct Xe167AckCase {
    const char* board;
    uint32_t size;
    std::vector<std::size_t> acks;  // data bytes received when each 0x00 came
    friend void PrintTo(const Xe167AckCase& c, std::ostream* os) { *os << c.board << " " << c.size; }
};

class Xe167BlockAcks : public ByteFedBoards, public ::testing::WithParamInterface<Xe167AckCase> {};

TEST_P(Xe167BlockAcks, EveryBlockButTheLastThenTheLastBlockAndTheWholeFile) {
    const Xe167AckCase& c = GetParam();
    const LoaderImage& image = std::string(c.board) == "xe167" ? kLoaderXE167 : kLoaderXC164;
    Make(c.board);
    Feed({0x00}, 19200);
    EXPECT_EQ(io.Take(), Bytes{0xD5});
    Feed(Bytes(image.data, image.data + image.size), 19200);
    EXPECT_EQ(io.Take(), Bytes{0x00}) << io.log;
    EXPECT_EQ(board->ListenBaud(), 57600u);
    // The size command arrives while the flash is still being erased.
    Feed({0x62, 0x22, uint8_t(c.size), uint8_t(c.size >> 8), uint8_t(c.size >> 16), uint8_t(c.size >> 24)});
    EXPECT_EQ(io.Take(), Bytes{});
    RunTimers();
    EXPECT_EQ(io.Take(), (Bytes{0x00, 0x00})) << io.log;
    Feed({0x42});
    std::vector<std::size_t> acks(io.Take().size(), 0);
    const Bytes data = test::PatternBytes(c.size, c.size);
    for (std::size_t i = 0; i < data.size(); ++i) {
        Feed({data[i]});
        for (uint8_t b : io.Take()) {
            EXPECT_EQ(b, 0x00) << "after " << i + 1;
            acks.push_back(i + 1);
        }
    }
    EXPECT_EQ(acks, c.acks) << io.log;
    const auto& flash = board->Flash().Bytes();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_EQ(flash[c.size], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Xe167BlockAcks,
    ::testing::Values(Xe167AckCase{"xe167", 0, {0, 0}}, Xe167AckCase{"xe167", 2, {2, 2}},
                      Xe167AckCase{"xe167", 256, {128, 256, 256}}, Xe167AckCase{"xe167", 258, {128, 256, 258, 258}}),
    [](const auto& info) { return std::string(info.param.board) + "_" + std::to_string(info.param.size); });

TEST(Xe167Wire, TheLoadedProgramHearsOnlyThe57600Line) {
    qtx::test::SimOptions o;
    o.board = "xe167";
    o.eraseMs = 20;
    qtx::test::SimBoard board(o);
    qtx::test::RawClient c(board.PortsDir() + "/COM1", 19200);
    c.Write(0x00);
    ASSERT_EQ(c.Read(1), Bytes{0xD5});
    c.Write(Bytes(kLoaderXE167.data, kLoaderXE167.data + kLoaderXE167.size));
    ASSERT_EQ(c.Read(1), Bytes{0x00}) << "the first answer still comes at the bootstrap rate";
    c.Write(0x62);  // still at 19200: the program hears garbage and stays quiet
    EXPECT_EQ(c.Read(1, 300), Bytes{});
    EXPECT_NE(board.Log().find("host sends at 19200 baud, the other side uses 57600"), std::string::npos)
        << board.Log();
    c.SetBaud(57600);
    c.Write(0x62);
    EXPECT_EQ(c.Read(1), Bytes{0x00}) << board.Log();
}

}  // namespace
}  // namespace qtx::sim
