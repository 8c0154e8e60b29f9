// The c163, xc164 and c509 boards: driven byte by byte on a fake clock, and
// on the wire through qtxsim. Block checksums are computed here on their own,
// never with the board's helper.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "loaders/loader_image.h"
#include "raw_client.h"
#include "sim/boards.h"
#include "sim/c509_board.h"
#include "sim/faults.h"
#include "sim_board.h"

namespace qtx::sim {
namespace {

using Bytes = std::vector<uint8_t>;

class RecordingIo : public BoardIo {
public:
    void Send(const uint8_t* data, std::size_t n) override {
        for (std::size_t i = 0; i < n; ++i) {
            sent.push_back(data[i]);
            sentBaud.push_back(board ? board->ListenBaud() : 0);
        }
    }
    void Log(const std::string& line) override { log += line + "\n"; }
    Clock::time_point Now() const override { return now; }
    Bytes Take() {
        sentBaud.clear();
        return std::exchange(sent, {});
    }

    const Board* board = nullptr;
    Bytes sent;
    std::vector<uint32_t> sentBaud;   // the board's rate when it sent each byte
    std::string log;
    Clock::time_point now{};
};

Bytes Image(const LoaderImage& image) { return Bytes(image.data, image.data + image.size); }

class BoardTest : public ::testing::Test {
protected:
    void Make(const std::string& name) {
        const BoardKind* kind = FindBoard(name);
        ASSERT_NE(kind, nullptr) << name;
        board_ = kind->make(config_, io_);
        io_.board = board_.get();
    }
    void Feed(const Bytes& bytes, uint32_t baud = 57600) {
        for (uint8_t b : bytes) board_->Receive(b, baud);
    }
    void RunTimers() {
        while (auto t = board_->NextTimer()) {
            io_.now = *t;
            board_->OnTimer();
        }
    }

    BoardConfig config_;
    RecordingIo io_;
    std::unique_ptr<Board> board_;
};

// ---- c163 and xc164 ---------------------------------------------------------------

class C16xBoards : public BoardTest {
protected:
    // Zero byte and image at the ROM's rate: identification byte, then the loaded program's 0x00.
    void Load(const LoaderImage& image, uint32_t romBaud) {
        Feed({0x00}, romBaud);
        Feed(Image(image), romBaud);
        ASSERT_EQ(io_.Take(), (Bytes{0xD5, 0x00})) << io_.log;
    }
    void EraseAndSize(uint32_t n, uint32_t baud) {
        Feed({0x62}, baud);
        RunTimers();
        Feed({0x22, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}, baud);
        ASSERT_EQ(io_.Take(), (Bytes{0x00, 0x00}));
        Feed({0x42}, baud);
    }
    // Numbers of data bytes after which each answer came.
    std::vector<std::size_t> AnswerPositions(const Bytes& data, uint32_t baud) {
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < data.size(); ++i) {
            Feed({data[i]}, baud);
            for (uint8_t a : io_.Take()) {
                EXPECT_EQ(a, 0x00);
                at.push_back(i + 1);
            }
        }
        return at;
    }
};

TEST_F(C16xBoards, Xc164RomListensAt19200OnlyAndItsProgramAnnouncesItselfThereThenMovesTo57600) {
    Make("xc164");
    EXPECT_EQ(board_->ListenBaud(), 19200u) << "a fixed rate, nothing to measure";
    Feed({0x00}, 57600);   // the rig garbles such a byte; the ROM ignores the rate it came at
    EXPECT_EQ(io_.Take(), Bytes{0xD5});
    EXPECT_EQ(board_->ListenBaud(), 19200u);
    Feed(Image(kLoaderXC164), 19200);
    EXPECT_EQ(io_.sent, Bytes{0x00});
    EXPECT_EQ(io_.sentBaud, std::vector<uint32_t>{19200u}) << "the host still listens at 19200 for this byte";
    io_.Take();
    EXPECT_EQ(board_->ListenBaud(), 57600u);
    Feed({0x62}, 57600);
    RunTimers();
    EXPECT_EQ(io_.sent, Bytes{0x00});
    EXPECT_EQ(io_.sentBaud, std::vector<uint32_t>{57600u});
    board_->Reset();
    EXPECT_EQ(board_->ListenBaud(), 19200u);
}

struct AckCase {
    const char* board;
    uint32_t size;
    std::vector<std::size_t> acks;   // data bytes received when each 0x00 came
    friend void PrintTo(const AckCase& c, std::ostream* os) { *os << c.board << " " << c.size; }
};

class BlockAcks : public C16xBoards, public ::testing::WithParamInterface<AckCase> {};

TEST_P(BlockAcks, AnswerAfterEveryBlockTheLastBlockAndTheWholeFile) {
    const AckCase& c = GetParam();
    Make(c.board);
    const bool xc164 = std::string(c.board) == "xc164";
    const uint32_t baud = xc164 ? 57600 : 19200;
    Load(xc164 ? kLoaderXC164 : kLoaderC163, 19200);
    if (!xc164) Feed({0x14}, baud);   // the C163 board's flash write enable
    EraseAndSize(c.size, baud);
    std::vector<std::size_t> acks(io_.Take().size(), 0);   // answers to an empty data command
    const Bytes data = test::PatternBytes(c.size, c.size);
    for (std::size_t at : AnswerPositions(data, baud)) acks.push_back(at);
    EXPECT_EQ(acks, c.acks);
    const auto& flash = board_->Flash().Bytes();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_EQ(flash[c.size], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BlockAcks,
    ::testing::Values(AckCase{"xc164", 0, {0, 0}}, AckCase{"xc164", 2, {2, 2}}, AckCase{"xc164", 128, {128, 128}},
                      AckCase{"xc164", 256, {128, 256, 256}}, AckCase{"xc164", 258, {128, 256, 258, 258}},
                      AckCase{"c163", 258, {258}}),
    [](const auto& info) { return std::string(info.param.board) + "_" + std::to_string(info.param.size); });

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

class C509Rom : public BoardTest {
protected:
    void SetUp() override { Make("c509"); }
    void Wake() {
        Feed({0x00}, 9600);
        ASSERT_EQ(io_.Take(), Bytes{0x55});
    }
    // Sends the blocks and returns the answer to each (0x100: none).
    std::vector<int> Blocks(const std::vector<Bytes>& blocks) {
        std::vector<int> answers;
        for (const Bytes& b : blocks) {
            Feed(b, 9600);
            const Bytes a = io_.Take();
            EXPECT_LE(a.size(), 1u);
            answers.push_back(a.empty() ? 0x100 : a[0]);
        }
        return answers;
    }
    void Boot() {
        Wake();
        const auto answers = Blocks(LoaderBlocks(Image(kLoaderC509)));
        ASSERT_EQ(answers, std::vector<int>(answers.size(), 0x55)) << io_.log;
        ASSERT_NE(io_.log.find("the loaded program runs"), std::string::npos) << io_.log;
    }
    // The loaded program answers an erase only if it runs.
    bool ProgramRuns() {
        Feed({0x02}, 9600);
        RunTimers();
        return io_.Take() == Bytes{0x02};
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
    EXPECT_EQ(io_.Take(), c.answers) << io_.log;
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
    EXPECT_NE(io_.log.find(GetParam().log), std::string::npos) << io_.log;
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
    EXPECT_TRUE(ProgramRuns()) << io_.log;
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
    EXPECT_EQ(io_.Take(), (Bytes{0x00, 0x00, 0x03, 0x04}));
}

TEST(C509Faults, EchoFaultsParseWithoutArgument) {
    FaultSet f;
    EXPECT_EQ(AddFaults("no-echo,bad-echo", f), "");
    EXPECT_TRUE(f.noEcho && f.badEcho && !f.Empty());
    EXPECT_NE(AddFaults("no-echo@3", f), "");
}

TEST_F(C509Program, EchoFaults) {
    config_.badEcho = true;
    Make("c509");
    Boot();
    Feed(ProgramCommand(0x1234), 9600);
    RunTimers();
    EXPECT_EQ(io_.Take(), (Bytes{0x35, 0x12, 0x03}));

    config_ = {};
    config_.noEcho = true;
    Make("c509");
    Boot();
    const auto start = io_.now;
    Feed(ProgramCommand(2), 9600);
    EXPECT_TRUE(io_.Take().empty());
    RunTimers();
    EXPECT_EQ(io_.Take(), Bytes{0x03}) << "held back, not echoed";
    EXPECT_GE(io_.now - start, std::chrono::milliseconds(2500));
    Feed({0xAA, 0xBB}, 9600);
    RunTimers();
    EXPECT_EQ(io_.Take(), Bytes{0x04});
    EXPECT_EQ(board_->Flash().Read(1), 0xBB);
}

}  // namespace
}  // namespace qtx::sim

// ---- on the wire ----------------------------------------------------------------------

namespace qtx::test {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Com1(const SimBoard& b) { return b.PortsDir() + "/COM1"; }

bool WaitForLog(const SimBoard& b, const std::string& text, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (b.Log().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

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
