// The sam3u, sam3s and stm32f4 boards driven byte by byte on a fake clock, as
// an independent client of their ROM boot loaders would drive them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "loaders/loader_image.h"
#include "sim/boards.h"
#include "sim/sam3_board.h"
#include "sim/stm32f4_board.h"
#include "sim_board.h"

namespace qtx::sim {
namespace {

using Bytes = std::vector<uint8_t>;

class Io : public BoardIo {
public:
    void Send(const uint8_t* data, std::size_t n) override { sent.insert(sent.end(), data, data + n); }
    void Log(const std::string& line) override { log += line + "\n"; }
    Clock::time_point Now() const override { return now; }
    Bytes Take() { return std::exchange(sent, {}); }
    std::string Text() {
        const Bytes b = Take();
        return std::string(b.begin(), b.end());
    }

    Bytes sent;
    std::string log;
    Clock::time_point now{};
};

Bytes Of(const std::string& s) { return Bytes(s.begin(), s.end()); }

class ArmBoard : public ::testing::Test {
protected:
    void Make(const std::string& name) { board = FindBoard(name)->make(config, io); }
    void Feed(const Bytes& bytes, uint32_t baud = 115200) {
        for (uint8_t b : bytes) board->Receive(b, baud);
    }
    void Feed(const std::string& text) { Feed(Of(text)); }
    void RunTimers() {
        while (auto t = board->NextTimer()) {
            io.now = *t;
            board->OnTimer();
        }
    }
    // The monitor's commands for an image, as the flasher sends them.
    static std::string WriteCommands(const LoaderImage& image, std::size_t skipWord = SIZE_MAX) {
        std::string s;
        for (std::size_t off = 0; off < image.size; off += 4) {
            uint32_t w = 0;
            for (int i = 0; i < 4; ++i) w |= uint32_t(image.data[off + i]) << (8 * i);
            if (off / 4 == skipWord) w ^= 1;
            char cmd[32];
            std::snprintf(cmd, sizeof cmd, "W%08X,%08X#", unsigned(image.loadAddress + off), unsigned(w));
            s += cmd;
        }
        return s;
    }

    BoardConfig config;
    Io io;
    std::unique_ptr<Board> board;
};

// ---- SAM3 monitor and preloader -------------------------------------------------

TEST_F(ArmBoard, Sam3MonitorAnswersInTerminalModeUntilAskedForPlainMode) {
    Make("sam3u");
    EXPECT_EQ(board->ListenBaud(), 115200u);
    const struct {
        const char* command;
        const char* answer;
    } steps[] = {
        {"V#", "\n\rv1.1 Sep 25 2009 11:33:00\n\r>"},
        {"W20000010,CAFEF00D#", "\n\r>"},
        {"w20000010,#", "\n\r0xCAFEF00D>"},
        {"h20000012,#", "\n\r0xCAFE>"},
        {"W10000000,1#", "\n\r>"},      // outside SRAM: ignored
        {"w00080000,#", "\n\r0xFFFFFFFF>"},  // erased flash reads back
        {"N#", "\n\r"},
        {"V#", "v1.1 Sep 25 2009 11:33:00\n\r"},
        {"T#", "\n\r>"},
    };
    for (const auto& s : steps) {
        Feed(s.command);
        EXPECT_EQ(io.Text(), s.answer) << s.command;
    }
    Feed("N#o20000010,#");
    EXPECT_EQ(io.Take(), (Bytes{'\n', '\r', 0x0D}));   // plain mode reads raw bytes
}

TEST_F(ArmBoard, Sam3GoStartsOnlyTheExactPreloader) {
    const struct {
        const char* name;
        std::size_t skipWord;
        const char* go;
        bool runs;
    } cases[] = {
        {"exact image", SIZE_MAX, "G20001000#", true},
        {"one word changed", 300, "G20001000#", false},
        {"other address", SIZE_MAX, "G20001004#", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Make("sam3u");
        Feed(WriteCommands(kLoaderSam3u, c.skipWord));
        io.Take();
        Feed(c.go);
        auto* sam = static_cast<Sam3Board*>(board.get());
        EXPECT_EQ(sam->CurrentMode(), c.runs ? Sam3Board::Mode::Preloader : Sam3Board::Mode::Halted);
        EXPECT_EQ(io.Take(), c.runs ? (Bytes{'\n', '\r', 0x00}) : (Bytes{'\n', '\r'}));
        Feed("V#");
        EXPECT_TRUE(io.Take().empty()) << "the monitor is gone";
        board->Reset();
        Feed("V#");
        EXPECT_EQ(io.Take().front(), '\n') << "a reset brings the monitor back";
    }
}

// ---- STM32F4 ROM boot loader and preloader ---------------------------------------

class Stm32Board : public ArmBoard {
protected:
    void SetUp() override {
        Make("stm32f4");
        Feed(Bytes{0x55, 0x7F}, 57600);   // noise, then the synchronisation
        ASSERT_EQ(io.Take(), Bytes{0x79});
        EXPECT_EQ(board->ListenBaud(), 57600u);
    }
    static Bytes Address(uint32_t a) {
        Bytes b{uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
        b.push_back(b[0] ^ b[1] ^ b[2] ^ b[3]);
        return b;
    }
    static Bytes Block(const Bytes& data) {
        Bytes b{uint8_t(data.size() - 1)};
        b.insert(b.end(), data.begin(), data.end());
        uint8_t x = 0;
        for (uint8_t v : b) x ^= v;
        b.push_back(x);
        return b;
    }
    // Write Memory; returns the answers.
    Bytes Write(uint32_t address, const Bytes& data) {
        Feed(Bytes{0x31, 0xCE});
        Feed(Address(address));
        Feed(Block(data));
        return io.Take();
    }
    Bytes Read(uint32_t address, uint8_t n) {
        Feed(Bytes{0x11, 0xEE});
        Feed(Address(address));
        Feed(Bytes{uint8_t(n - 1), uint8_t(~(n - 1))});
        return io.Take();
    }
    void LoadPreloader() {
        const LoaderImage& img = kLoaderStm32f4;
        for (std::size_t off = 0; off < img.size; off += 256) {
            const std::size_t n = std::min<std::size_t>(256, img.size - off);
            ASSERT_EQ(Write(img.loadAddress + uint32_t(off), Bytes(img.data + off, img.data + off + n)),
                      (Bytes{0x79, 0x79, 0x79}));
        }
    }
};

TEST_F(Stm32Board, InformationCommandsAndComplementChecks) {
    const struct {
        Bytes command;
        Bytes answer;
    } cases[] = {
        {{0x00, 0xFF}, {0x79, 7, 0x31, 0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x44, 0x79}},
        {{0x01, 0xFE}, {0x79, 0x31, 0x00, 0x00, 0x79}},
        {{0x02, 0xFD}, {0x79, 0x01, 0x04, 0x13, 0x79}},
        {{0x02, 0xFC}, {0x1F}},                                  // wrong complement
        {{0x7F, 0x7F}, {0x1F}},                                  // a second synchronisation
        {{0x43, 0xBC}, {0x1F}},                                  // plain Erase: not on this part
        {{0x31, 0xCE, 0x20, 0x00, 0x00, 0x00, 0x21}, {0x79, 0x1F}},   // address checksum wrong
        {{0x31, 0xCE, 0x40, 0x00, 0x00, 0x00, 0x40}, {0x79, 0x1F}},   // neither SRAM nor flash
        {{0x31, 0xCE, 0x20, 0x00, 0x00, 0x00, 0x20, 0x01, 0xAA, 0xBB, 0x00}, {0x79, 0x79, 0x1F}},  // data checksum
    };
    for (const auto& c : cases) {
        Feed(c.command);
        EXPECT_EQ(io.Take(), c.answer) << ::testing::PrintToString(c.command);
    }
}

TEST_F(Stm32Board, FlashIsErasedWrittenAndReadBackThroughTheRom) {
    const Bytes data = qtx::test::PatternBytes(256, 4);
    Bytes inverse = data;
    for (auto& b : inverse) b ^= 0xFF;
    EXPECT_EQ(Write(0x08004000, data), (Bytes{0x79, 0x79, 0x79}));
    EXPECT_EQ(Write(0x08004000, inverse), (Bytes{0x79, 0x79, 0x1F})) << "written cells are not erased";
    Feed(Bytes{0x44, 0xBB, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00});   // sectors 0 and 1
    EXPECT_EQ(io.Take(), Bytes{0x79});
    Feed(Bytes{0x02, 0xFD});   // taken after the erase
    EXPECT_TRUE(io.Take().empty()) << "no ACK before the erase has finished";
    RunTimers();
    EXPECT_EQ(io.Take(), (Bytes{0x79, 0x79, 0x01, 0x04, 0x13, 0x79}));
    EXPECT_EQ(Write(0x08004000, inverse), (Bytes{0x79, 0x79, 0x79}));
    Bytes want{0x79, 0x79, 0x79};   // command, address, length; then the data
    want.insert(want.end(), inverse.begin(), inverse.begin() + 16);
    EXPECT_EQ(Read(0x08004000, 16), want);
    Feed(Bytes{0x44, 0xBB, 0xFF, 0xFF, 0x00});   // mass erase
    RunTimers();
    EXPECT_EQ(io.Take(), (Bytes{0x79, 0x79}));
    EXPECT_EQ(board->Flash().Read(0x4000), 0xFF);
}

TEST_F(Stm32Board, GoToAnythingElseLeavesTheBoardSilent) {
    const struct {
        const char* name;
        uint32_t address;
        bool tamper;
    } cases[] = {{"flash application", 0x08000000, false},
                 {"other SRAM address", 0x20000000, false},
                 {"changed preloader", 0x2001D000, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        LoadPreloader();
        if (c.tamper) {
            ASSERT_EQ(Write(0x2001D100, Bytes{uint8_t(~kLoaderStm32f4.data[0x100])}), (Bytes{0x79, 0x79, 0x79}));
        }
        Feed(Bytes{0x21, 0xDE});
        Feed(Address(c.address));
        EXPECT_EQ(io.Take(), (Bytes{0x79, 0x79}));
        EXPECT_EQ(static_cast<Stm32f4Board*>(board.get())->CurrentMode(), Stm32f4Board::Mode::Halted);
        Feed(Bytes{0x22, 0, 0, 0, 0, 0x7F});
        EXPECT_TRUE(io.Take().empty());
    }
}

}  // namespace
}  // namespace qtx::sim
