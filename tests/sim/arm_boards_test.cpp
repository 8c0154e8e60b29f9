// The sam3u, sam3s and stm32f4 boards driven byte by byte on a fake clock, as
// an independent client of their ROM boot loaders would drive them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

#include "loaders/loader_image.h"
#include "sim/boards.h"
#include "sim/sam3_board.h"
#include "sim/stm32_board.h"
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

// A few instructions of our own, not the preloader: the board runs whatever
// the host wrote. It sends 'K', then echoes each byte plus one (UART at
// 0x400E0600: SR 0x14 with RXRDY bit 0 and TXRDY bit 1, RHR 0x18, THR 0x1C).
const uint32_t kEchoProgram[] = {0x20002000, 0x20001009, 0x214B4805, 0x07926942, 0x61C1D5FC,
                                 0x07D26942, 0x6981D0FC, 0xE7F53101, 0x400E0600};

std::string WriteWords(const uint32_t* words, std::size_t n, uint32_t at) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        char cmd[32];
        std::snprintf(cmd, sizeof cmd, "W%08X,%08X#", unsigned(at + 4 * i), unsigned(words[i]));
        s += cmd;
    }
    return s;
}

TEST_F(ArmBoard, Sam3GoRunsWhateverTheHostWrote) {
    Make("sam3s");
    Feed("N#" + WriteWords(kEchoProgram, std::size(kEchoProgram), 0x20001000));
    io.Take();
    Feed("G20001000#");
    RunTimers();
    auto* sam = static_cast<Sam3Board*>(board.get());
    ASSERT_EQ(sam->CurrentMode(), Sam3Board::Mode::Program) << io.log;
    EXPECT_EQ(io.Take(), Bytes{'K'});
    Feed(Of("AB"));
    RunTimers();
    EXPECT_EQ(io.Take(), Of("BC")) << "the program answers from emulated code";
    board->Reset();
    EXPECT_NE(io.log.find("loaded program ended by the reset: "), std::string::npos) << io.log;
    EXPECT_NE(io.log.find("misuse: none"), std::string::npos) << io.log;
    Feed("V#");
    EXPECT_EQ(io.Take().front(), '\n') << "a reset brings the monitor back";
}

TEST_F(ArmBoard, Sam3GoWithoutAUsableVectorTableHalts) {
    const struct {
        const char* name;
        uint32_t sp, entry;
    } cases[] = {{"entry without the Thumb bit", 0x20002000, 0x20001008},
                 {"entry outside SRAM", 0x20002000, 0x00080001},
                 {"stack outside SRAM", 0x30000000, 0x20001009}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Make("sam3u");
        const uint32_t table[] = {c.sp, c.entry};
        Feed(WriteWords(table, 2, 0x20001000) + "G20001000#");
        io.Take();
        EXPECT_EQ(static_cast<Sam3Board*>(board.get())->CurrentMode(), Sam3Board::Mode::Halted);
        Feed("V#");
        EXPECT_TRUE(io.Take().empty()) << "the monitor is gone";
    }
}

TEST_F(ArmBoard, Sam3ProgramThatTouchesAnUnmodelledAddressHalts) {
    Make("sam3s");
    // ldr r0, [r1] with r1 = 0x400E0400 (the PMC, which the loaders never need), then b .
    const uint32_t prog[] = {0x20002000, 0x20001009, 0x68084901, 0xBF00E7FE, 0x400E0400};
    Feed(WriteWords(prog, std::size(prog), 0x20001000) + "G20001000#");
    RunTimers();
    EXPECT_EQ(static_cast<Sam3Board*>(board.get())->CurrentMode(), Sam3Board::Mode::Halted);
    EXPECT_NE(io.log.find("read of unmodelled peripheral address 0x400E0400"), std::string::npos) << io.log;
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

TEST_F(Stm32Board, GoIntoFlashOrWithoutAVectorTableLeavesTheBoardSilent) {
    const struct {
        const char* name;
        uint32_t address;
    } cases[] = {{"flash application", 0x08000000}, {"SRAM holding no vector table", 0x20000000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_EQ(Write(0x20000000, Bytes(8, 0x00)), (Bytes{0x79, 0x79, 0x79}));
        Feed(Bytes{0x21, 0xDE});
        Feed(Address(c.address));
        EXPECT_EQ(io.Take(), (Bytes{0x79, 0x79}));
        EXPECT_EQ(static_cast<Stm32RomBoard*>(board.get())->CurrentMode(), Stm32RomBoard::Mode::Halted);
        Feed(Bytes{0x22, 0, 0, 0, 0, 0x7F});
        EXPECT_TRUE(io.Take().empty());
    }
}

// The real preloader on the emulated chip, byte by byte: size, erase, data,
// the two closing answers and the content check, with the flash and the
// emulated time checked against the datasheet figures.
TEST_F(Stm32Board, PreloaderProgramsAndAnswersTheContentCheck) {
    LoadPreloader();
    Feed(Bytes{0x21, 0xDE});
    Feed(Address(0x2001D000));
    EXPECT_EQ(io.Take(), (Bytes{0x79, 0x79}));
    const Bytes data = qtx::test::PatternBytes(0x4001, 9);   // into sector 1, odd
    Feed(Bytes{0x22, 0x01, 0x40, 0x00, 0x00});
    RunTimers();
    EXPECT_EQ(io.Take(), Bytes{0x00});
    Feed(Bytes{0x62});
    RunTimers();
    EXPECT_EQ(io.Take(), Bytes{0x00});
    auto* stm = static_cast<Stm32RomBoard*>(board.get());
    // Two 16 KiB sectors at x32: 250 ms each (DS8626), nothing else as long.
    const EmuNs afterErase = stm->Program()->Cpu().Now();
    EXPECT_GT(afterErase, 500000000u);
    EXPECT_LT(afterErase, 600000000u);
    Bytes stream{0x42};
    stream.insert(stream.end(), data.begin(), data.end());
    stream.push_back(0x00);   // the pad byte
    Feed(stream);
    RunTimers();
    EXPECT_EQ(io.Take(), (Bytes{0x00, 0x00}));
    Feed(Bytes{0x43});
    RunTimers();
    uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i <= data.size(); ++i) {
        crc ^= i < data.size() ? data[i] : 0;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    EXPECT_EQ(io.Take(), (Bytes{0x43, uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)}));
    const auto& flash = board->Flash().Bytes();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_EQ(flash[data.size()], 0xFF) << "the pad byte is not programmed";
    EXPECT_EQ(std::count(flash.begin() + 0x8000, flash.end(), 0xFF), std::ptrdiff_t(flash.size() - 0x8000))
        << "nothing beyond the two sectors is touched";
    EXPECT_EQ(stm->Program()->Cpu().Summary().find("misuse: none") != std::string::npos, true)
        << stm->Program()->Cpu().Summary();
}

// The loaders refuse what they cannot place with 0x01, which the host shows.
TEST_F(Stm32Board, PreloaderRefusesSizesItCannotPlace) {
    const struct {
        const char* name;
        uint32_t flashSize;
        uint32_t size;
        uint8_t answer;
    } cases[] = {{"1 MiB part, 1 MiB", 0x100000, 0x100000, 0x00},
                 {"1 MiB part, one byte more", 0x100000, 0x100001, 0x01},
                 {"2 MiB dual-bank part, any size", 0x200000, 16, 0x01}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Stm32Traits traits = kStm32f4Traits;
        traits.flashSize = c.flashSize;
        board = std::make_unique<Stm32RomBoard>(traits, config, io);
        Feed(Bytes{0x7F});
        ASSERT_EQ(io.Take(), Bytes{0x79});
        LoadPreloader();
        Feed(Bytes{0x21, 0xDE});
        Feed(Address(0x2001D000));
        io.Take();
        Feed(Bytes{0x22, uint8_t(c.size), uint8_t(c.size >> 8), uint8_t(c.size >> 16), uint8_t(c.size >> 24)});
        RunTimers();
        EXPECT_EQ(io.Take(), Bytes{c.answer});
    }
}

TEST_F(ArmBoard, Sam3PreloadersRefuseSizesBeyondTheirBanks) {
    for (const char* name : {"sam3u", "sam3s"}) {
        SCOPED_TRACE(name);
        Make(name);
        const LoaderImage& image = std::string(name) == "sam3u" ? kLoaderSam3u : kLoaderSam3s;
        Feed("N#" + WriteCommands(image) + "G20001000#");
        RunTimers();
        EXPECT_EQ(io.Take(), (Bytes{'\n', '\r', 0x00})) << io.log;   // the preloader says it runs
        for (const auto& [size, answer] : {std::pair{0x40001u, 0x01}, std::pair{0x40000u, 0x00}}) {
            Feed(Bytes{0x22, uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), uint8_t(size >> 24)});
            RunTimers();
            EXPECT_EQ(io.Take(), Bytes{uint8_t(answer)}) << size;
        }
    }
}

}  // namespace
}  // namespace qtx::sim
