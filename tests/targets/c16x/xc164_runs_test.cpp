// qtxflash-cli into the XC164/167 board, which runs the real loader image on
// the emulated C166S V2 core against the on-chip flash model: paced lines with
// adapter latency, block boundaries, sector boundaries, the whole flash, and the
// loader's own error paths.
#include <gtest/gtest.h>

#include <algorithm>

#include "loaders/loader_image.h"
#include "run_checks.h"

using namespace qtx::test;

namespace {

constexpr std::size_t kFlashBytes = 256 * 1024;
// Host bytes before the file's data: zero byte, image, erase, size, data command.
constexpr std::size_t kFirstData = 1 + 1854 + 1 + 5 + 1;

class Xc164Runs : public ::testing::Test {
protected:
    ProcessResult Flash(const std::vector<uint8_t>& fw, SimOptions o) {
        o.board = "xc164";
        board_ = std::make_unique<SimBoard>(o);
        return FlashWithCli(*board_, {"-t", "XC164/167", "-b", "19200"}, fw, 600000);
    }
    // The file from address 0, its pad byte, then erased cells to the end of the chip.
    void ExpectFlashHolds(const std::vector<uint8_t>& fw) {
        qtx::test::ExpectFlashHolds(*board_, fw, {.chipSize = kFlashBytes});
        EXPECT_NE(board_->Log().find("misuse: none"), std::string::npos) << board_->Log();
    }

    std::unique_ptr<SimBoard> board_;
};

struct SizeCase {
    std::size_t size;
    bool pace;
    std::size_t sectors;   // erased lazily: only those the file reaches
};

class Xc164Sizes : public Xc164Runs, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(Xc164Sizes, TheFlashHoldsTheFileAndOnlyItsSectorsAreErased) {
    const SizeCase& c = GetParam();
    const auto fw = PatternBytes(c.size, uint32_t(c.size));
    const ProcessResult r = Flash(fw, c.pace ? Paced() : SimOptions{});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Programming ok."), std::string::npos) << r.err;
    ExpectFlashHolds(fw);
    EXPECT_NE(board_->Log().find(std::to_string(c.sectors) + " sectors erased"), std::string::npos) << board_->Log();
}

// 128, 256 and 258 bytes end on, after and just past the block acknowledgements;
// 5000 bytes cross from the first 4 KiB sector into the second. The whole flash
// goes unpaced (46 s of line time at 57600 baud); the board still lands the
// bytes one character apart in its own time.
INSTANTIATE_TEST_SUITE_P(Sizes, Xc164Sizes,
                         ::testing::Values(SizeCase{1, true, 1}, SizeCase{128, true, 1}, SizeCase{256, true, 1},
                                           SizeCase{258, true, 1}, SizeCase{5000, true, 2},
                                           SizeCase{kFlashBytes, false, 64}),
                         [](const auto& info) { return std::to_string(info.param.size); });

TEST_F(Xc164Runs, AWeakCellGivesTheVerifyReportBetweenBlocksOrWhereTheAnswerWasDue) {
    struct Case {
        std::size_t size;
        uint32_t weak;
        const char* text;
    };
    // Early in a long file the page's report comes while the next block flows;
    // in the last block it comes where the final answer was due.
    for (const Case& c : {Case{0x10000, 0x345, "Error 0002 at addr 00344h: re-read 8111h, expected 8011h"},
                          Case{300, 0x121, "Error 0002 at addr 00120h: re-read 8111h, expected 8011h"}}) {
        SCOPED_TRACE(c.size);
        SimOptions o = Paced();
        o.faults = {"verify-error@" + std::to_string(c.weak)};
        auto fw = PatternBytes(c.size, 3);
        fw[c.weak - 1] = 0x11;
        fw[c.weak] = 0x80;   // the weak cell keeps bit 0 at 1
        const ProcessResult r = Flash(fw, o);
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("PROG ERR"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
        board_->Stop();
        const auto flash = board_->Flash();
        EXPECT_EQ(flash[c.weak], 0x81);
        const std::size_t nextPage = (c.weak / 128 + 2) * 128;
        if (nextPage < c.size) {
            EXPECT_EQ(flash[nextPage], 0xFF) << "nothing programmed after the report";
        }
    }
}

TEST_F(Xc164Runs, ACorruptedDataByteFailsTheContentCheck) {
    SimOptions o = Paced();
    o.faults = {"corrupt@" + std::to_string(kFirstData + 100)};
    const auto fw = PatternBytes(2000, 4);
    const ProcessResult r = Flash(fw, o);
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
    board_->Stop();
    EXPECT_EQ(board_->Flash()[100], fw[100] ^ 0x01) << "programmed as received";
}

// A loader damaged on its way in must not end in success. One flipped bit turns
// the word store MOV [R6],R4 into the byte store MOVB [R6],RL4: the page
// buffer is filled wrongly and verifies against itself, but the CRC is taken
// over the flash, not over the bytes received, so the content check fails.
TEST_F(Xc164Runs, ALoaderThatFillsItsBufferWronglyFailsTheContentCheck) {
    const qtx::LoaderImage& image = qtx::kLoaderXC164;
    const uint8_t store[] = {0xB8, 0x46};
    const auto at = std::search(image.data, image.data + image.size, std::begin(store), std::end(store));
    ASSERT_NE(at, image.data + image.size) << "the loader no longer holds the instruction this test damages";
    const std::size_t onLine = 1 + std::size_t(at - image.data);   // after the zero byte: the opcode
    const ProcessResult r = Flash(PatternBytes(3001, 7), WithFaults({"corrupt@" + std::to_string(onLine)}));
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
    EXPECT_NE(board_->Log().find("0xB8 arrives as 0xB9"), std::string::npos) << board_->Log();
}

}  // namespace
