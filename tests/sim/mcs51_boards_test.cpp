// The t89c5xacx and c509 boards: driven byte by byte on a fake clock, and the
// c509 on the wire through qtxsim. Block checksums are computed here on their
// own, never with the board's helper.
#include <gtest/gtest.h>

#include <chrono>

#include "byte_fed_board.h"
#include "raw_client.h"
#include "sim/ac2_board.h"
#include "sim/c509_board.h"
#include "sim/faults.h"
#include "run_checks.h"

namespace qtx::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using ByteFedBoards = ByteFedBoard;

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


// ---- c509 ROM loader --------------------------------------------------------------

// Blocks as the host builds them, with the XOR worked out here.
Bytes Closed(Bytes block) {
    uint8_t x = 0;
    for (uint8_t b : block) x = uint8_t(x ^ b);
    block.push_back(x);
    return block;
}
Bytes ModeBlock(uint8_t mode, uint16_t address) {
    return Closed({0x00, mode, uint8_t(address >> 8), uint8_t(address), 0x00, 0x00, 0x0F});
}
Bytes DataBlock(const uint8_t* data) {
    Bytes b{0x01};
    b.insert(b.end(), data, data + 13);
    return Closed(b);
}
Bytes LastBlock(const uint8_t* data, uint8_t r) {
    Bytes b{0x02, r};
    b.insert(b.end(), data, data + r);
    b.resize(14, 0x00);
    return Closed(b);
}
// The whole load of image at 0xF400 as block list, each answered by one byte.
std::vector<Bytes> LoaderBlocks(const Bytes& image, uint16_t start = 0xF420) {
    std::vector<Bytes> blocks{ModeBlock(0, 0xF400)};
    std::size_t i = 0;
    for (; i + 13 <= image.size(); i += 13) blocks.push_back(DataBlock(&image[i]));
    blocks.push_back(LastBlock(&image[i], uint8_t(image.size() - i)));
    blocks.push_back(ModeBlock(1, start));
    return blocks;
}

class C509Rom : public ByteFedBoard {
protected:
    void SetUp() override { Make("c509"); }
    void Wake() {
        Feed({0x00}, 9600);
        ASSERT_EQ(io.Take(), Bytes{0x55});
    }
    // Sends the blocks and returns the answer to each (0x100: none).
    std::vector<int> Blocks(const std::vector<Bytes>& blocks) {
        std::vector<int> answers;
        for (const Bytes& b : blocks) {
            Feed(b, 9600);
            const Bytes a = io.Take();
            EXPECT_LE(a.size(), 1u);
            answers.push_back(a.empty() ? 0x100 : a[0]);
        }
        return answers;
    }
    void Boot() {
        Wake();
        const auto answers = Blocks(LoaderBlocks(Image(kLoaderC509)));
        ASSERT_EQ(answers, std::vector<int>(answers.size(), 0x55)) << io.log;
        ASSERT_NE(io.log.find("the loaded program runs"), std::string::npos) << io.log;
    }
    // The loaded program answers an erase only if it runs.
    bool ProgramRuns() {
        Feed({0x02}, 9600);
        RunTimers();
        return io.Take() == Bytes{0x02};
    }
};

struct BlockCase {
    const char* name;
    std::vector<Bytes> before;   // accepted blocks first
    Bytes block;
    std::vector<uint8_t> answers;
    friend void PrintTo(const BlockCase& c, std::ostream* os) { *os << c.name; }
};

class C509Blocks : public C509Rom, public ::testing::WithParamInterface<BlockCase> {};

TEST_P(C509Blocks, AnswerEachBlockAndTakeTheNextOneAfterAnError) {
    const BlockCase& c = GetParam();
    Wake();
    EXPECT_EQ(Blocks(c.before), std::vector<int>(c.before.size(), 0x55));
    Feed(c.block, 9600);
    EXPECT_EQ(io.Take(), c.answers) << io.log;
    EXPECT_EQ(Blocks({ModeBlock(0, 0xF400)}), std::vector<int>{0x55}) << "in step again";
}

const uint8_t kThirteen[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};

Bytes Spoiled(Bytes b, std::size_t at, uint8_t x = 0x01) {
    b[at] ^= x;
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Rom, C509Blocks,
    ::testing::Values(
        BlockCase{"LastBlockWithNoBytes", {ModeBlock(0, 0xF400)}, LastBlock(kThirteen, 0), {0x55}},
        BlockCase{"LastBlockWithTwelve", {ModeBlock(0, 0xF400)}, LastBlock(kThirteen, 12), {0x55}},
        BlockCase{"ModeChecksum", {}, Spoiled(ModeBlock(0, 0xF400), 7), {0xFE}},
        BlockCase{"DataChecksum", {ModeBlock(0, 0xF400)}, Spoiled(DataBlock(kThirteen), 5), {0xFE}},
        BlockCase{"LastChecksum", {ModeBlock(0, 0xF400)}, Spoiled(LastBlock(kThirteen, 11), 14, 0x80), {0xFE}},
        BlockCase{"UnknownType", {}, {0x07}, {0xFF}},
        BlockCase{"UnknownMode", {}, Closed({0x00, 0x02, 0xF4, 0x00, 0x00, 0x00, 0x0F}), {0xFF}},
        BlockCase{"DataWithoutAddress", {}, DataBlock(kThirteen), {0xFF}},
        BlockCase{"CountBeyondTwelve", {ModeBlock(0, 0xF400)}, Closed({0x02, 13, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}),
                  {0xFF}},
        BlockCase{"FillNotZero", {ModeBlock(0, 0xF400)}, Closed({0x02, 11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x5A}),
                  {0xFF}},
        BlockCase{"DataAfterTheLastBlock", {ModeBlock(0, 0xF400), LastBlock(kThirteen, 3)}, DataBlock(kThirteen),
                  {0xFF}},
        BlockCase{"DataBeyond0xFFFF", {ModeBlock(0, 0xFFF8)}, DataBlock(kThirteen), {0xFF}}),
    [](const auto& info) { return info.param.name; });

// Mode 1 jumps into the XRAM whatever it holds: the core runs it as a chip would.
struct StartCase {
    const char* name;
    std::vector<Bytes> blocks;
    const char* log;   // why the core stopped
    friend void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }
};

class C509NoStart : public C509Rom, public ::testing::WithParamInterface<StartCase> {};

TEST_P(C509NoStart, AcknowledgesTheJumpButNothingRunsThere) {
    Wake();
    const auto answers = Blocks(GetParam().blocks);
    EXPECT_EQ(answers, std::vector<int>(answers.size(), 0x55));
    EXPECT_NE(io.log.find(GetParam().log), std::string::npos) << io.log;
    EXPECT_FALSE(ProgramRuns());
}

// The loader with the reserved opcode A5h where its code begins.
Bytes Garbled(Bytes image) {
    image[0x20] = 0xA5;
    return image;
}

INSTANTIATE_TEST_SUITE_P(
    Rom, C509NoStart,
    ::testing::Values(
        // Zeros run as NOPs to the end of the XRAM and on into the boot ROM.
        StartCase{"NothingLoaded", {ModeBlock(1, 0xF420)}, "code fetch at 0x0000, outside the XRAM"},
        StartCase{"StartBelowTheXram", {ModeBlock(1, 0x1000)}, "code fetch at 0x1000, outside the XRAM"},
        StartCase{"OtherCode", LoaderBlocks(Garbled(Image(kLoaderC509))), "reserved opcode A5h at 0xF420"}),
    [](const auto& info) { return info.param.name; });

TEST_F(C509Rom, AJumpToTheHeaderStillReachesTheLoaderThroughHarmlessInstructions) {
    Wake();
    const auto answers = Blocks(LoaderBlocks(Image(kLoaderC509), 0xF400));
    EXPECT_EQ(answers, std::vector<int>(answers.size(), 0x55));
    EXPECT_TRUE(ProgramRuns()) << io.log;
}

// ---- c509 loaded program ------------------------------------------------------------

class C509Program : public C509Rom {
protected:
    Bytes ProgramCommand(uint16_t size) { return {0x04, uint8_t(size), uint8_t(size >> 8)}; }
};

TEST_F(C509Program, EmptyFileIsStartedAndDoneAtOnce) {
    Boot();
    Feed(ProgramCommand(0), 9600);
    RunTimers();
    EXPECT_EQ(io.Take(), (Bytes{0x00, 0x00, 0x03, 0x04}));
}

TEST(C509Faults, EchoFaultsParseWithoutArgument) {
    FaultSet f;
    EXPECT_EQ(AddFaults("no-echo,bad-echo", f), "");
    EXPECT_TRUE(f.noEcho && f.badEcho && !f.Empty());
    EXPECT_NE(AddFaults("no-echo@3", f), "");
}

TEST_F(C509Program, EchoFaults) {
    config.badEcho = true;
    Make("c509");
    Boot();
    Feed(ProgramCommand(0x1234), 9600);
    RunTimers();
    EXPECT_EQ(io.Take(), (Bytes{0x35, 0x12, 0x03}));

    config = {};
    config.noEcho = true;
    Make("c509");
    Boot();
    const auto start = io.now;
    Feed(ProgramCommand(2), 9600);
    EXPECT_TRUE(io.Take().empty());
    RunTimers();
    EXPECT_EQ(io.Take(), Bytes{0x03}) << "held back, not echoed";
    EXPECT_GE(io.now - start, std::chrono::milliseconds(2500));
    Feed({0xAA, 0xBB}, 9600);
    RunTimers();
    EXPECT_EQ(io.Take(), Bytes{0x04});
    EXPECT_EQ(board->Flash().Read(1), 0xBB);
}

}  // namespace
}  // namespace qtx::sim

// ---- on the wire ----------------------------------------------------------------------

namespace qtx::test {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Com1(const SimBoard& b) { return b.PortsDir() + "/COM1"; }

TEST(WireC509, BlockErrorsAreAnsweredOnTheLine) {
    SimOptions o;
    o.board = "c509";
    SimBoard board(o);
    RawClient c(Com1(board), 9600);
    c.Write(0x00);
    ASSERT_EQ(c.Read(1), Bytes{0x55});
    const Bytes bad = {0x00, 0x00, 0xF4, 0x00, 0x00, 0x00, 0x0F, 0x00};   // XOR would be 0xFB
    c.Write(bad);
    EXPECT_EQ(c.Read(1), Bytes{0xFE});
    c.Write(0x33);
    EXPECT_EQ(c.Read(1), Bytes{0xFF});
    c.Write({0x00, 0x00, 0xF4, 0x00, 0x00, 0x00, 0x0F, 0xFB});
    EXPECT_EQ(c.Read(1), Bytes{0x55});
    EXPECT_TRUE(WaitForLog(board, "block 1 (mode): checksum 0x00, computed 0xFB: answered 0xFE")) << board.Log();
    EXPECT_TRUE(WaitForLog(board, "unknown type 0x33: answered 0xFF")) << board.Log();
    board.Stop();
}

}  // namespace
}  // namespace qtx::test
