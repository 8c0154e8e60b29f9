// The gp4020 board driven byte by byte on a fake clock: its ROM download and
// the real loader on the emulated core.
#include <algorithm>

#include <gtest/gtest.h>

#include "byte_fed_board.h"
#include "sim_board.h"

namespace qtx::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using ByteFedBoards = ByteFedBoard;

// ---- gp4020 ----------------------------------------------------------------------

// The ROM's download: a three-byte length, most significant first, then the bytes.
Bytes Gp4020Download(const Bytes& image) {
    const std::size_t n = image.size();
    Bytes b(3 + n);
    b[0] = uint8_t(n >> 16);
    b[1] = uint8_t(n >> 8);
    b[2] = uint8_t(n);
    std::copy(image.begin(), image.end(), b.begin() + 3);
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

// A whole run as the host plays it: true only when every answer is the one a
// working loader gives, at the host's rate, and the content check matches.
class Gp4020Runs : public ByteFedBoard {
protected:
    bool Answered(const Bytes& want) {
        for (uint32_t baud : io.sentBaud)
            if (baud != 57600) return false;
        return io.Take() == want;
    }
    bool RunSucceeds(const Bytes& image) {
        Make("gp4020");
        Feed(Gp4020Download(image));
        RunTimers();
        if (!Answered({0x00})) return false;
        Feed({0x62});
        RunTimers();
        if (!Answered({0x00})) return false;
        const Bytes data{0x12, 0x34, 0xFF, 0xFF, 0x00, 0x80};
        Bytes cmd{0x22};
        for (uint8_t b : Le32(uint32_t(data.size()))) cmd.push_back(b);
        Feed(cmd);
        RunTimers();
        if (!Answered({0x00})) return false;
        Feed({0x42});
        Feed(data);
        RunTimers();
        if (!Answered({0x00})) return false;
        Feed({0x43});
        RunTimers();
        return Answered({0x43, 0x49, 0xAD, 0x58, 0x26});   // CRC-32 of the six bytes
    }
};

// The image with one instruction word replaced; the word must be there once.
Bytes Patched(uint32_t from, uint32_t to) {
    Bytes image = Gp4020Image();
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i + 4 <= image.size(); i += 4)
        if (Bytes(image.begin() + long(i), image.begin() + long(i) + 4) == Le32(from)) at.push_back(i);
    EXPECT_EQ(at.size(), 1u) << "the loader no longer holds the instruction this test damages once";
    if (at.size() == 1) std::copy_n(Le32(to).begin(), 4, image.begin() + long(at[0]));
    return image;
}

// Every set-up step the chip needs, taken out of the loader (or done with the
// wrong access width), must fail the run where a real chip would stop it.
TEST_F(Gp4020Runs, ALoaderWithoutOneOfItsChipSetUpStepsFails) {
    ASSERT_TRUE(RunSucceeds(Gp4020Image())) << io.log;
    constexpr uint32_t kNop = 0xE1A00000;   // mov r0, r0
    struct Damage {
        const char* what;
        uint32_t from, to;    // instruction words of firmware/arm7/start.S
        const char* report;   // what the board says
    };
    const Damage damages[] = {
        {"area 3 left read-only", 0xE58AB008 /* str r11, [r10, #8] */, kNop, "write into read-only MPC area 3"},
        {"area 1 left read-only", 0xE58AB000 /* str r11, [r10] */, kNop, "write into read-only MPC area 1"},
        {"area 1 set with a half-word store", 0xE58AB000, 0xE1CAB0B0 /* strh r11, [r10] */,
         "MPC register access not 32 bits wide"},
        {"EXT_NCS0 left clear", 0xE1CAB0B0 /* strh r11, [r10] */, kNop, "write to the boot ROM (EXT_NCS0 clear)"},
        {"UART1 transmitter left off", 0xE5CAB000 /* strb r11, [r10] */, kNop, "bytes received, 0 sent"},
        {"UART1 mode set with a word store", 0xE5CAB004 /* strb r11, [r10, #4] */, 0xE58AB004 /* str */,
         "UART1 access not 8 bits wide"},
        {"UART1 at twice the rate", 0xE3A0B015 /* mov r11, #21 */, 0xE3A0B00A /* mov r11, #10 */, ""},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        board.reset();
        io.Take();
        io.log.clear();
        EXPECT_FALSE(RunSucceeds(Patched(d.from, d.to))) << io.log;
        board.reset();   // the program's summary goes to the log
        EXPECT_NE(io.log.find(d.report), std::string::npos) << io.log;
    }
}

}  // namespace
}  // namespace qtx::sim
