// The simulated application firmware byte by byte: what its command interface
// drops, refuses and accepts. A host that the real firmware would ignore must
// not pass here either.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "sim/app_board.h"
#include "sim/boards.h"

using namespace qtx::sim;

namespace {

using Bytes = std::vector<uint8_t>;

class FakeIo : public BoardIo {
public:
    void Send(const uint8_t* data, std::size_t n) override { sent.insert(sent.end(), data, data + n); }
    void Log(const std::string& line) override { log += line + "\n"; }
    Clock::time_point Now() const override { return {}; }
    Bytes Take() { return std::exchange(sent, {}); }

    Bytes sent;
    std::string log;
};

uint16_t Sum(const Bytes& b, std::size_t from, std::size_t n) {
    unsigned s = 0;
    for (std::size_t i = from; i < from + n; ++i) s += b[i];
    return uint16_t(s);
}

// A frame as the wire carries it: start byte, word, length, data sum, header
// sum, data. The tweaks spoil one field after the sums are right.
struct Tweak {
    int lengthDelta = 0;     // announced length minus the real one (header sum kept right)
    int dataSumDelta = 0;
    int headerSumDelta = 0;
};
Bytes Frame(uint16_t word, const Bytes& data, Tweak t = {}) {
    const auto length = uint16_t(int(data.size()) + t.lengthDelta);
    Bytes f = {0x01, uint8_t(word), uint8_t(word >> 8), uint8_t(length), uint8_t(length >> 8)};
    const uint16_t ds = uint16_t(Sum(data, 0, data.size()) + t.dataSumDelta);
    f.push_back(uint8_t(ds));
    f.push_back(uint8_t(ds >> 8));
    const uint16_t hs = uint16_t(Sum(f, 1, 6) + t.headerSumDelta);
    f.push_back(uint8_t(hs));
    f.push_back(uint8_t(hs >> 8));
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

Bytes BootData(uint16_t key = 0x3C95, uint32_t rate = 115200) {
    return {uint8_t(key), uint8_t(key >> 8), 0, 0, uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16),
            uint8_t(rate >> 24)};
}

class AppBoard : public ::testing::Test {
protected:
    AppBoard() {
        AppFirmwareOptions o;
        o.running = true;
        board = std::make_unique<AppFirmwareBoard>(FindBoard("sam3u")->make(config, io), o, io);
    }
    void Feed(const Bytes& bytes, uint32_t baud) {
        for (uint8_t b : bytes) board->Receive(b, baud);
    }
    void ToCommandMode() {
        Feed({'\n', 'D', 'F', 'C', '\n'}, 115200);
        ASSERT_EQ(board->CurrentMode(), AppFirmwareBoard::Mode::Command);
        ASSERT_EQ(board->ListenBaud(), 19200u);
    }
    BoardConfig config;
    FakeIo io;
    std::unique_ptr<AppFirmwareBoard> board;
};

TEST_F(AppBoard, OnlyTheWholeAutobaudTextOpensTheCommandInterface) {
    Feed({'\n', 'D', 'F', 'X', '\n', 'D', 'F', 'C'}, 115200);
    EXPECT_EQ(board->CurrentMode(), AppFirmwareBoard::Mode::Application);
    // A frame before the text is console noise, never a command.
    Feed(Frame(0x840D, BootData()), 115200);
    EXPECT_EQ(board->CurrentMode(), AppFirmwareBoard::Mode::Application);
    EXPECT_TRUE(io.Take().empty());
    Feed({'\n', 'D', 'F', 'C', '\n'}, 115200);
    EXPECT_EQ(board->CurrentMode(), AppFirmwareBoard::Mode::Command);
}

// Frames the firmware drops without a word; after each, a good command must
// still get through, so the receiver has found its way back to the start byte.
TEST_F(AppBoard, DamagedFramesAreDroppedSilentlyAndTheNextOneCounts) {
    ToCommandMode();
    struct Case {
        const char* what;
        Bytes frame;
        const char* logged;
    };
    const Case cases[] = {
        // Dropped headers leave their data to the hunt for a start byte, so
        // those carry none.
        {"header sum off by one", Frame(0x840D, Bytes(8, 0x22), {0, 0, 1}), "wrong checksum"},
        {"data sum off by one", Frame(0x840D, BootData(), {0, 1, 0}), "wrong data checksum"},
        {"201 data bytes announced", Frame(0x840D, Bytes(201, 0x11)), "201 data bytes dropped"},
        {"announces 0xFFFF bytes", Frame(0x840D, Bytes(8, 0x22), {0xFFFF - 8, 0, 0}), "65535 data bytes dropped"},
        {"other command word", Frame(0x8123, BootData()), "0x8123 ignored"},
        {"200 data bytes, other word", Frame(0x0001, Bytes(200, 0x22)), "0x0001 ignored"},
    };
    for (const Case& c : cases) {
        io.log.clear();
        Feed(c.frame, 19200);
        EXPECT_TRUE(io.Take().empty()) << c.what;
        EXPECT_NE(io.log.find(c.logged), std::string::npos) << c.what << ":\n" << io.log;
        EXPECT_EQ(board->CurrentMode(), AppFirmwareBoard::Mode::Command) << c.what;
    }
    Feed(Frame(0x840D, BootData()), 19200);
    EXPECT_EQ(io.Take(), Frame(0x440D, {})) << "accepted, with the acknowledgement frame";
    EXPECT_EQ(board->CurrentMode(), AppFirmwareBoard::Mode::Rom);
}

TEST_F(AppBoard, ABootModeCommandWithWrongDataIsRefusedAndTheFirmwareKeepsRunning) {
    ToCommandMode();
    const std::pair<const char*, Bytes> cases[] = {
        {"wrong key", BootData(0x3C96)},
        {"key bytes swapped", BootData(0x953C)},
        {"second word not zero", {0x95, 0x3C, 0x01, 0x00, 0x00, 0xC2, 0x01, 0x00}},
        {"seven data bytes", {0x95, 0x3C, 0x00, 0x00, 0x00, 0xC2, 0x01}},
        {"no data", {}},
    };
    for (const auto& [what, data] : cases) {
        Feed(Frame(0x840D, data), 19200);
        EXPECT_EQ(io.Take(), Frame(0x240D, {})) << what;
        EXPECT_EQ(board->CurrentMode(), AppFirmwareBoard::Mode::Command) << what;
    }
    // A close cuts a frame: its rest, after the reopen, is no frame.
    const Bytes good = Frame(0x840D, BootData());
    Feed(Bytes(good.begin(), good.begin() + 6), 19200);
    board->Reset();
    Feed(Bytes(good.begin() + 6, good.end()), 19200);
    EXPECT_TRUE(io.Take().empty());
    EXPECT_EQ(board->CurrentMode(), AppFirmwareBoard::Mode::Command);
}

}  // namespace
