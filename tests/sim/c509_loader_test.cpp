// The C509 board running the real loader image on the MCS-51 core: the
// Am29F010 model on its own, and the board byte by byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include "loaders/loader_image.h"
#include "sim/am29f010_flash.h"
#include "sim/boards.h"
#include "sim_board.h"

namespace qtx::sim {
namespace {

using Bytes = std::vector<uint8_t>;

// ---- the flash chip ------------------------------------------------------------------

class Flash : public ::testing::Test {
protected:
    void Unlock(Am29F010::Ns t) {
        chip.Write(0x5555, 0xAA, t);
        chip.Write(0x2AAA, 0x55, t);
    }
    void Program(uint32_t addr, uint8_t v, Am29F010::Ns t) {
        Unlock(t);
        chip.Write(0x5555, 0xA0, t);
        chip.Write(addr, v, t);
    }
    Am29F010 chip{64 * 1024, {0x100}};
};

TEST_F(Flash, ProgramsThroughItsStatusAndOnlyClearsBits) {
    Program(0x10, 0x5A, 0);
    const uint8_t s1 = chip.Read(0x10, 1000), s2 = chip.Read(0x10, 2000);
    EXPECT_EQ(s1 & 0x80, 0x80) << "DQ7: complement of the data's bit 7";
    EXPECT_NE(s1 & 0x40, s2 & 0x40) << "DQ6 toggles";
    EXPECT_EQ(chip.Read(0x10, Am29F010::kByteProgramNs), 0x5A);
    EXPECT_TRUE(chip.Misuses().empty());
    Program(0x10, 0xF0, 10'000);   // 1s where the cell holds 0s
    EXPECT_EQ(chip.Read(0x10, 20'000), 0x50);
    ASSERT_EQ(chip.Misuses().size(), 1u);
    EXPECT_NE(chip.Misuses()[0].find("cannot become 1"), std::string::npos);
}

TEST_F(Flash, FlagsWritesOutsideTheCommandSequences) {
    chip.Write(0x20, 0x00, 0);                     // no unlock
    chip.Write(0x5555, 0xAA, 0);
    chip.Write(0x2AAB, 0x55, 0);                   // wrong second unlock address
    Program(0x20, 0x00, 100);
    chip.Write(0x21, 0x00, 200);                   // while busy
    EXPECT_EQ(chip.Read(0x21, 1'000'000), 0xFF);
    ASSERT_EQ(chip.Misuses().size(), 3u);
    EXPECT_NE(chip.Misuses()[0].find("without the unlock"), std::string::npos);
    EXPECT_NE(chip.Misuses()[1].find("sequence broken"), std::string::npos);
    EXPECT_NE(chip.Misuses()[2].find("while programming"), std::string::npos);
}

TEST_F(Flash, AStuckBitRunsOutOfTimeWithDq5UntilReset) {
    Program(0x100, 0xFE, 0);
    EXPECT_EQ(chip.Read(0x100, Am29F010::kByteProgramNs) & 0x20, 0) << "still trying";
    const Am29F010::Ns late = Am29F010::kByteProgramMaxNs;
    EXPECT_EQ(chip.Read(0x100, late) & 0x20, 0x20) << "DQ5: timing limit exceeded";
    EXPECT_EQ(chip.Read(0x100, late) & 0x20, 0x20) << "stays in status mode";
    chip.Write(0, 0xF0, late);
    EXPECT_EQ(chip.Read(0x100, late), 0xFF) << "bit 0 stuck at 1";
    Program(0x100, 0x01, late);                    // a 1 there programs fine
    EXPECT_EQ(chip.Read(0x100, late + Am29F010::kByteProgramNs), 0x01);
}

TEST_F(Flash, SectorEraseWaitsOutItsWindowAndTakesASecondPerSector) {
    Program(0x0000, 0x00, 0);
    Program(0x4000, 0x00, 10'000);
    Program(0x8000, 0x00, 20'000);
    const Am29F010::Ns t = 100'000;
    Unlock(t);
    chip.Write(0x5555, 0x80, t);
    Unlock(t);
    chip.Write(0x0000, 0x30, t);
    chip.Write(0x4000, 0x30, t + 10'000);          // inside the 50 us window
    EXPECT_EQ(chip.Read(0, t + 20'000) & 0x88, 0x00) << "DQ7 0 while erasing, DQ3 0 in the window";
    EXPECT_EQ(chip.Read(0, t + 70'000) & 0x08, 0x08) << "DQ3: the erase has begun";
    const Am29F010::Ns done = t + 10'000 + Am29F010::kEraseWindowNs + 2 * Am29F010::kSectorEraseNs;
    EXPECT_TRUE(chip.Busy(done - 1));
    EXPECT_EQ(chip.Read(0x4000, done), 0xFF);
    EXPECT_EQ(chip.Read(0x0000, done), 0xFF);
    EXPECT_EQ(chip.Read(0x8000, done), 0x00) << "sector 2 was not named";
    EXPECT_TRUE(chip.Misuses().empty());
}

// ---- the board with the real loader ----------------------------------------------------

class Io : public BoardIo {
public:
    void Send(const uint8_t* d, std::size_t n) override { sent.insert(sent.end(), d, d + n); }
    void Log(const std::string& line) override { log += line + "\n"; }
    Clock::time_point Now() const override { return now; }
    Bytes Take() { return std::exchange(sent, {}); }
    Bytes sent;
    std::string log;
    Clock::time_point now{};
};

Bytes Closed(Bytes b) {
    uint8_t x = 0;
    for (uint8_t v : b) x = uint8_t(x ^ v);
    b.push_back(x);
    return b;
}

class C509Loader : public ::testing::Test {
protected:
    void Boot() {
        board = FindBoard("c509")->make(config, io);
        Feed({0x00});
        Feed(Closed({0x00, 0x00, 0xF4, 0x00, 0x00, 0x00, 0x0F}));
        const LoaderImage& im = kLoaderC509;
        std::size_t i = 0;
        for (; i + 13 <= im.size; i += 13) {
            Bytes b{0x01};
            b.insert(b.end(), im.data + i, im.data + i + 13);
            Feed(Closed(b));
        }
        Bytes last{0x02, uint8_t(im.size - i)};
        last.insert(last.end(), im.data + i, im.data + im.size);
        last.resize(14, 0x00);
        Feed(Closed(last));
        Feed(Closed({0x00, 0x01, 0xF4, 0x20, 0x00, 0x00, 0x0F}));
        const Bytes acks = io.Take();
        ASSERT_EQ(acks, Bytes(acks.size(), 0x55)) << io.log;
    }
    // The bytes back to back, then the host falls silent.
    void Feed(const Bytes& bytes) {
        for (uint8_t b : bytes) board->Receive(b, 9600);
        for (int i = 0; i < 100; ++i) {
            const auto t = board->NextTimer();
            if (!t) break;
            io.now = std::max(io.now, *t);
            board->OnTimer();
        }
    }
    Bytes Program(const Bytes& data) {
        Feed({0x04, uint8_t(data.size()), uint8_t(data.size() >> 8)});
        Feed(data);
        return io.Take();
    }
    std::string Stopped() {
        board->Reset();
        return io.log.substr(io.log.find("loaded program stopped"));
    }

    BoardConfig config;
    Io io;
    std::unique_ptr<Board> board;
};

TEST_F(C509Loader, ErasesProgramsAndAnswersTheCheckValueOfTheCrc) {
    Boot();
    Feed({0x02});
    EXPECT_EQ(io.Take(), Bytes{0x02});
    const Bytes data = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(Program(data), (Bytes{0x09, 0x00, 0x03, 0x04}));
    Feed({0x43});
    EXPECT_EQ(io.Take(), (Bytes{0x43, 0x26, 0x39, 0xF4, 0xCB})) << "CRC-32 check value CBF43926h";
    const auto& flash = board->Flash().Bytes();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + 9, flash.end(), [](uint8_t b) { return b == 0xFF; }));
    const std::string end = Stopped();
    EXPECT_NE(end.find("4 sectors erased, 9 bytes programmed; no misuse"), std::string::npos) << end;
    const double ms = std::stod(end.substr(end.find("instructions, ") + 14));
    EXPECT_GT(ms, 4000) << "four sectors at the data sheet's typical second each";
}

TEST_F(C509Loader, AStuckBitIsReportedAndTheRestOfTheDataIsNotTakenForCommands) {
    config.verifyErrorAt = {0x0102};
    Boot();
    Feed({0x02});
    io.Take();
    Bytes data = test::PatternBytes(300, 3);
    data[0x102] = 0x02;          // bit 0 clear, and the erase command's value
    for (std::size_t i = 0x103; i < data.size(); ++i) data[i] = 0x02;
    EXPECT_EQ(Program(data), (Bytes{0x2C, 0x01, 0x03, 0x02, 0x01, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00, 0x02}))
        << "echo, 03h, then the report: address, expected and read-back words, code; no 04h";
    EXPECT_EQ(board->Flash().Read(0x103), 0xFF) << "nothing programmed after the failure";
    Feed({0x43});
    EXPECT_EQ(io.Take().at(0), 0x43) << "back at the command loop, and no erase ran";
    EXPECT_NE(Stopped().find("no misuse"), std::string::npos) << io.log;
}

TEST_F(C509Loader, ABytePastAnUnreadOneIsLostAsOnTheChip) {
    Boot();
    // Both bytes follow the erase command back to back, while the loader erases
    // and reads nothing for seconds.
    Feed({0x02, 0x43, 0x43});
    EXPECT_EQ(io.Take(), (Bytes{0x02, 0x43, 0x00, 0x00, 0x00, 0x00})) << "one check answered, its CRC of nothing" << io.log;
    const std::string end = Stopped();
    EXPECT_NE(end.find("receive overrun: 0x43 lost"), std::string::npos) << end;
}

}  // namespace
}  // namespace qtx::sim
