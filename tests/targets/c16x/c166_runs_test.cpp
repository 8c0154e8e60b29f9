// qtxflash-cli into the C166/167 and C163 boards, which run the real loader
// images on the emulated core: paced lines with adapter latency, sizes from one
// byte to the whole Am29F400BB, and the loader's own error paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "loaders/loader_image.h"
#include "run_checks.h"

using namespace qtx::test;

namespace {

struct Target {
    const char* item;    // the catalogue's list item
    const char* board;
    std::size_t firstData;   // host byte count at which the file's data start
};
const Target kC167{"C166/167", "c167", 1 + 810 + 1 + 5 + 1};
const Target kC163{"C163", "c163", 1 + 702 + 1 + 1 + 5 + 1};   // 0x14 comes before the erase
constexpr std::size_t kFlashBytes = 512 * 1024;

class C166Runs : public ::testing::Test {
protected:
    ProcessResult Flash(const Target& t, const std::vector<uint8_t>& fw, SimOptions o, const char* baud = "57600") {
        o.board = t.board;
        board_ = std::make_unique<SimBoard>(o);
        return FlashWithCli(*board_, {"-t", t.item, "-b", baud}, fw, 600000);
    }
    // The file from address 0, its pad byte, then erased cells to the end of the chip.
    void ExpectFlashHolds(const std::vector<uint8_t>& fw) {
        qtx::test::ExpectFlashHolds(*board_, fw, {.chipSize = kFlashBytes});
        EXPECT_NE(board_->Log().find("misuse: none"), std::string::npos) << board_->Log();
    }

    std::unique_ptr<SimBoard> board_;
};

struct SizeCase {
    const Target* target;
    std::size_t size;
    bool pace;
    friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.target->board << " " << c.size; }
};

class C166Sizes : public C166Runs, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(C166Sizes, TheFlashHoldsTheFileAndNothingElse) {
    const SizeCase& c = GetParam();
    const auto fw = PatternBytes(c.size, uint32_t(c.size));
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = Flash(*c.target, fw, c.pace ? Paced() : SimOptions{});
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Programming ok."), std::string::npos) << r.err;
    ExpectFlashHolds(fw);
    // Paced, the chip erase (about 11 s) is paid in wall time, within the host's erase deadline.
    if (c.pace) {
        EXPECT_LE(EmulatedSeconds(board_->Log()), wall.count()) << board_->Log();
    }
}

// The whole chip goes unpaced: at 57600 baud it would take 91 s of real time;
// the board still paces it in its own time (bytes land one character apart).
INSTANTIATE_TEST_SUITE_P(
    Boards, C166Sizes,
    ::testing::Values(SizeCase{&kC167, 1, true}, SizeCase{&kC167, 1001, true}, SizeCase{&kC167, 65536, true},
                      SizeCase{&kC167, kFlashBytes, false}, SizeCase{&kC163, 1, true},
                      SizeCase{&kC163, 3333, true}, SizeCase{&kC163, 65536, true},
                      SizeCase{&kC163, kFlashBytes - 1, false}),
    [](const auto& info) { return std::string(info.param.target->board) + "_" + std::to_string(info.param.size); });

TEST_F(C166Runs, AWeakCellGivesTheVerifyReportAndProgErr) {
    for (const Target* t : {&kC167, &kC163}) {
        SCOPED_TRACE(t->board);
        SimOptions o = Paced();
        // Early in a file larger than the pty holds, so the report comes while data still flow.
        o.faults = {"verify-error@0x345"};
        auto fw = PatternBytes(0x10000, 3);
        fw[0x344] = 0x11;
        fw[0x345] = 0x80;   // the weak cell keeps bit 0 at 1
        const ProcessResult r = Flash(*t, fw, o);
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("PROG ERR"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Error 0002 at addr 00344h: re-read 8111h, expected 8011h"), std::string::npos) << r.err;
        board_->Stop();
        const auto flash = board_->Flash();
        EXPECT_EQ(flash[0x345], 0x81);
        EXPECT_EQ(flash[0x346], 0xFF) << "nothing programmed after the report";
    }
}

TEST_F(C166Runs, ACorruptedDataByteFailsTheContentCheck) {
    for (const Target* t : {&kC167, &kC163}) {
        SCOPED_TRACE(t->board);
        SimOptions o = Paced();
        o.faults = {"corrupt@" + std::to_string(t->firstData + 100)};
        const auto fw = PatternBytes(2000, 4);
        const ProcessResult r = Flash(*t, fw, o);
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
        board_->Stop();
        EXPECT_EQ(board_->Flash()[100], fw[100] ^ 0x01) << "programmed as received";
    }
}

// A loader damaged on its way in must not end in success. One flipped bit turns
// ADDC R13,#0 into ADDC R13,#1: every word goes to the next segment of the
// flash's mirror and reads back good there, but the CRC is taken at the word's
// own address, so the content check fails.
TEST_F(C166Runs, ALoaderThatProgramsElsewhereFailsTheContentCheck) {
    const qtx::LoaderImage& image = qtx::kLoaderC163;
    const uint8_t addc[] = {0x18, 0xD0};
    const auto at = std::search(image.data, image.data + image.size, std::begin(addc), std::end(addc));
    ASSERT_NE(at, image.data + image.size) << "the loader no longer holds the instruction this test damages";
    const std::size_t onLine = 1 + std::size_t(at - image.data) + 1;   // after the zero byte: the immediate
    const ProcessResult r = Flash(kC163, PatternBytes(3001, 6), WithFaults({"corrupt@" + std::to_string(onLine)}));
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
    EXPECT_NE(board_->Log().find("0xD0 arrives as 0xD1"), std::string::npos) << board_->Log();
}

}  // namespace
