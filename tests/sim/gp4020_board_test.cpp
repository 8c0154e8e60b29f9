// The gp4020 board driven byte by byte on a fake clock: its ROM download and
// the real loader on the emulated core.
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

}  // namespace
}  // namespace qtx::sim
