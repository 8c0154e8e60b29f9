// Whole GP4020 runs through the command-line tool into the simulated board,
// which runs the loader the host downloads on its emulated ARM7TDMI with the
// Am29LV400BB modelled. Every answer comes from the real loader: paced runs
// at the line's rate with a USB adapter's turnaround, the flash checked byte
// for byte, and the error paths through the loader's own code.
#include <gtest/gtest.h>

#include "run_checks.h"

using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr std::size_t kFlashBytes = 512 * 1024;
// The download (3 + 2012 bytes), 0x62, 0x22 and its size, 0x42: the data's
// first byte is byte 2022 on the line.
constexpr int kFirstDataByte = 2022;

class Gp4020 : public ::testing::Test {
protected:
    void Start(bool pace, std::vector<std::string> faults = {}, bool once = true) {
        SimOptions o = pace ? Paced(std::move(faults)) : WithFaults(std::move(faults));
        o.board = "gp4020";
        o.once = once;
        board = std::make_unique<SimBoard>(o);
    }
    ProcessResult Flash(const Bytes& fw) { return FlashWithCli(*board, {"-t", "GP4020", "-p", "COM1"}, fw, 240000); }
    // The image, its pad byte 0x00 for an odd size, the rest erased; and a clean run.
    void ExpectFlashHolds(const Bytes& fw) {
        qtx::test::ExpectFlashHolds(*board, fw, {.chipSize = kFlashBytes});
        EXPECT_NE(board->Log().find("misuse: none"), std::string::npos) << board->Log();
        EXPECT_NE(board->Log().find(" 0 UART overruns"), std::string::npos) << board->Log();
    }

    std::unique_ptr<SimBoard> board;
};

struct Size {
    const char* name;
    std::size_t bytes;
    bool pace;
};

class Gp4020Sizes : public Gp4020, public ::testing::WithParamInterface<Size> {};

TEST_P(Gp4020Sizes, ProgramsTheFlashAndLeavesTheRestErased) {
    const Size& c = GetParam();
    Start(c.pace);
    const Bytes fw = PatternBytes(c.bytes, 23);
    const ProcessResult r = Flash(fw);
    EXPECT_EQ(r.status, 0) << r.err << board->Log();
    EXPECT_NE(r.err.find("Programming ok."), std::string::npos) << r.err;
    ExpectFlashHolds(fw);
    EXPECT_NE(board->Log().find("the program matches the gp4020 image"), std::string::npos) << board->Log();
}

// The whole flash paced would take 91 s of line time: that one runs unpaced.
INSTANTIATE_TEST_SUITE_P(Runs, Gp4020Sizes,
                         ::testing::Values(Size{"OneByte", 1, true}, Size{"Odd", 1001, true},
                                           Size{"OddAcrossTheBootSectors", 0x8001, true},
                                           Size{"SixtyFourKiB", 0x10000, true},
                                           Size{"WholeFlashUnpaced", kFlashBytes, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Gp4020, ASecondRunErasesWhatTheFirstProgrammed) {
    Start(true, {}, false);
    ASSERT_EQ(Flash(PatternBytes(0x9000, 5)).status, 0) << board->Log();
    const Bytes fw = PatternBytes(3001, 6);
    const ProcessResult r = Flash(fw);
    EXPECT_EQ(r.status, 0) << r.err << board->Log();
    board->Stop();
    const Bytes flash = board->Flash();
    ASSERT_EQ(flash.size(), kFlashBytes);
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
    for (std::size_t i = fw.size() + 1; i < 0x10000; ++i) ASSERT_EQ(flash[i], 0xFF) << "at " << i;
}

TEST_F(Gp4020, AStuckBitIsFoundByTheLoadersReadBack) {
    Start(true, {"verify-error@0x142"});
    Bytes fw = PatternBytes(3000, 4);
    fw[0x142] = 0x34;
    fw[0x143] = 0x12;
    const ProcessResult r = Flash(fw);
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("Fatal: Error 0002 at addr 00142h: re-read 1235h, expected 1234h"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("PROG ERR"), std::string::npos) << r.err;
    board->Stop();
}

TEST_F(Gp4020, AFailingEraseIsShownInTheErasePanel) {
    // A blank flash needs no erase: the first run programs, the second must erase.
    Start(false, {"erase-fail"}, false);
    ASSERT_EQ(Flash(PatternBytes(100, 7)).status, 0) << board->Log();
    const ProcessResult r = Flash(PatternBytes(100, 8));
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find("ERASE: CHAR ERR"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Received byte: 01h Expected: 00h"), std::string::npos) << r.err;
    board->Stop();
}

TEST_F(Gp4020, ACorruptedDataByteFailsTheContentCheck) {
    Start(true, {"corrupt@" + std::to_string(kFirstDataByte + 100)});
    const ProcessResult r = Flash(PatternBytes(3000, 9));
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("Fatal: content check failed"), std::string::npos) << r.err;
    board->Stop();
}

}  // namespace
