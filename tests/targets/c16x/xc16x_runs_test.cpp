// qtxflash-cli into the XC164/167 and XE167 boards, which run the real loader
// images on the emulated C166S V2 core against the on-chip flash model: paced
// lines with adapter latency, block boundaries, sector boundaries, the whole
// flash, the XE167's reserved sector, and the loaders' own error paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "loaders/loader_image.h"
#include "run_checks.h"

using namespace qtx::test;

namespace {

struct Chip {
    const char* board;
    const char* target;
    std::size_t flashBytes;
    const qtx::LoaderImage& loader;
    bool stage2Reversed;   // the XE167's second stage travels last byte first
    uint8_t erased;        // what an untouched cell reads
    bool reserved;         // C0'F000h..C0'FFFFh: unreachable, never programmed
    friend void PrintTo(const Chip& c, std::ostream* os) { *os << c.board; }
};
const Chip kXc164{"xc164", "XC164/167", 256 * 1024, qtx::kLoaderXC164, false, 0xFF, false};
const Chip kXe167{"xe167", "XE167", 768 * 1024, qtx::kLoaderXE167, true, 0x00, true};
constexpr std::size_t kReservedFrom = 0xF000, kReservedTo = 0x10000;

// Test data for a chip: an XE167 image holds FFh (a linker's fill) in the reserved range.
std::vector<uint8_t> Firmware(const Chip& chip, std::size_t size, uint32_t seed) {
    auto fw = PatternBytes(size, seed);
    if (chip.reserved)
        for (std::size_t i = kReservedFrom; i < std::min(size, kReservedTo); ++i) fw[i] = 0xFF;
    return fw;
}

// Host bytes before the file's data: zero byte, image, erase, size, data command.
std::size_t FirstData(const Chip& c) { return 1 + c.loader.size + 1 + 5 + 1; }

class OnChipRuns : public ::testing::Test {
protected:
    ProcessResult Flash(const Chip& chip, const std::vector<uint8_t>& fw, SimOptions o) {
        o.board = chip.board;
        board_ = std::make_unique<SimBoard>(o);
        return FlashWithCli(*board_, {"-t", chip.target, "-b", "19200"}, fw, 900000);
    }
    // The file from address 0, its pad byte, then erased cells to the end of the
    // chip; the reserved range is never programmed, whatever the file holds there.
    void ExpectFlashHolds(const Chip& chip, std::vector<uint8_t> fw) {
        if (fw.size() % 2) fw.push_back(0x00);
        fw.resize(chip.flashBytes, chip.erased);
        if (chip.reserved)
            for (std::size_t i = kReservedFrom; i < kReservedTo; ++i) fw[i] = chip.erased;
        qtx::test::ExpectFlashHolds(*board_, fw, {.chipSize = chip.flashBytes, .erased = chip.erased});
        EXPECT_NE(board_->Log().find("misuse: none"), std::string::npos) << board_->Log();
    }

    std::unique_ptr<SimBoard> board_;
};

struct SizeCase {
    const Chip* chip;
    std::size_t size;
    bool pace;
    std::size_t sectors;   // erased lazily: only those the file reaches
};

class OnChipSizes : public OnChipRuns, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(OnChipSizes, TheFlashHoldsTheFileAndOnlyItsSectorsAreErased) {
    const SizeCase& c = GetParam();
    const auto fw = Firmware(*c.chip, c.size, uint32_t(c.size));
    // The loader reads the whole image back before its last answer; a
    // sanitizer build's emulator takes seconds for that where the chip takes
    // a fraction of one, so the tool started here gets a wider factor there.
    const char* scale = std::getenv("QTXFLASH_DEADLINE_SCALE");
    const std::string oldScale = scale ? scale : "";
    if (scale && c.size >= 128 * 1024) ::setenv("QTXFLASH_DEADLINE_SCALE", "32", 1);
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = Flash(*c.chip, fw, c.pace ? Paced() : SimOptions{});
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    if (scale) ::setenv("QTXFLASH_DEADLINE_SCALE", oldScale.c_str(), 1);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("Programming ok."), std::string::npos) << r.err;
    ExpectFlashHolds(*c.chip, fw);
    EXPECT_NE(board_->Log().find(std::to_string(c.sectors) + " sectors erased"), std::string::npos) << board_->Log();
    // Paced, the sector erases are paid in wall time.
    if (c.pace) {
        EXPECT_LE(EmulatedSeconds(board_->Log()), wall.count()) << board_->Log();
    }
}

// 128, 256 and 258 bytes end on, after and just past the block acknowledgements;
// 5000 bytes cross from the first 4 KiB sector into the second. The whole flash
// goes unpaced (46 s of line time at 57600 baud for the XC164/167, 137 s for the
// XE167); the board still lands the bytes one character apart in its own time.
// The XE167 never erases its reserved sector: 191 of 192.
INSTANTIATE_TEST_SUITE_P(
    Sizes, OnChipSizes,
    ::testing::Values(SizeCase{&kXc164, 1, true, 1}, SizeCase{&kXc164, 128, true, 1},
                      SizeCase{&kXc164, 256, true, 1}, SizeCase{&kXc164, 258, true, 1},
                      SizeCase{&kXc164, 5000, true, 2}, SizeCase{&kXc164, kXc164.flashBytes, false, 64},
                      SizeCase{&kXe167, 1, true, 1}, SizeCase{&kXe167, 128, true, 1},
                      SizeCase{&kXe167, 256, true, 1}, SizeCase{&kXe167, 258, true, 1},
                      SizeCase{&kXe167, 5000, true, 2}, SizeCase{&kXe167, kXe167.flashBytes, false, 191}),
    [](const auto& info) { return std::string(info.param.chip->board) + "_" + std::to_string(info.param.size); });

TEST_F(OnChipRuns, AWeakCellGivesTheVerifyReportBetweenBlocksOrWhereTheAnswerWasDue) {
    struct Case {
        std::size_t size;
        uint32_t weak;
        const char* where;
    };
    // Early in a long file the page's report comes while the next block flows;
    // in the last block it comes where the final answer was due.
    for (const Chip* chip : {&kXc164, &kXe167}) {
        for (const Case& c : {Case{0x10000, 0x345, "Error 0002 at addr 00344h"},
                              Case{300, 0x121, "Error 0002 at addr 00120h"}}) {
            SCOPED_TRACE(std::string(chip->board) + " " + std::to_string(c.size));
            SimOptions o = Paced();
            o.faults = {"verify-error@" + std::to_string(c.weak)};
            auto fw = Firmware(*chip, c.size, 3);
            fw[c.weak - 1] = 0x11;
            fw[c.weak] = 0x80;   // the weak cell's lowest bit to change stays erased
            // XC164/167 (erased FFh): bit 0 stays 1; XE167 (erased 00h): bit 7 stays 0.
            const uint8_t reread = chip->erased == 0xFF ? 0x81 : 0x00;
            const std::string text = std::string(c.where) + ": re-read " + (reread ? "8111h" : "0011h") +
                                     ", expected 8011h";
            const ProcessResult r = Flash(*chip, fw, o);
            EXPECT_EQ(r.status, 5) << r.err;
            EXPECT_NE(r.err.find("PROG ERR"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
            board_->Stop();
            const auto flash = board_->Flash();
            EXPECT_EQ(flash[c.weak], reread);
            const std::size_t nextPage = (c.weak / 128 + 2) * 128;
            if (nextPage < c.size) {
                EXPECT_EQ(flash[nextPage], chip->erased) << "nothing programmed after the report";
            }
        }
    }
}

TEST_F(OnChipRuns, ACorruptedDataByteFailsTheContentCheck) {
    for (const Chip* chip : {&kXc164, &kXe167}) {
        SCOPED_TRACE(chip->board);
        SimOptions o = Paced();
        o.faults = {"corrupt@" + std::to_string(FirstData(*chip) + 100)};
        const auto fw = PatternBytes(2000, 4);
        const ProcessResult r = Flash(*chip, fw, o);
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
        board_->Stop();
        EXPECT_EQ(board_->Flash()[100], fw[100] ^ 0x01) << "programmed as received";
    }
}

// A loader damaged on its way in must not end in success. One flipped bit turns
// the word store MOV [R6],R4 into the byte store MOVB [R6],RL4: the page
// buffer is filled wrongly and verifies against itself, but the CRC is taken
// over the flash, not over the bytes received, so the content check fails.
TEST_F(OnChipRuns, ALoaderThatFillsItsBufferWronglyFailsTheContentCheck) {
    for (const Chip* chip : {&kXc164, &kXe167}) {
        SCOPED_TRACE(chip->board);
        const qtx::LoaderImage& image = chip->loader;
        const std::vector<uint8_t> store =
            chip->stage2Reversed ? std::vector<uint8_t>{0x46, 0xB8} : std::vector<uint8_t>{0xB8, 0x46};
        const auto at = std::search(image.data, image.data + image.size, store.begin(), store.end());
        ASSERT_NE(at, image.data + image.size) << "the loader no longer holds the instruction this test damages";
        // After the zero byte: the opcode.
        const std::size_t onLine = 1 + std::size_t(at - image.data) + (chip->stage2Reversed ? 1 : 0);
        const ProcessResult r = Flash(*chip, PatternBytes(3001, 7), WithFaults({"corrupt@" + std::to_string(onLine)}));
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
        EXPECT_NE(board_->Log().find("0xB8 arrives as 0xB9"), std::string::npos) << board_->Log();
    }
}

// The XC164/167's sector map is a guess. Should its real sectors be larger, an
// erase would clear pages already programmed and verified: the loader reads
// the whole image back after the last page, so that can never end in success.
TEST_F(OnChipRuns, AnEraseThatClearsMoreThanItsSectorNeverEndsInSuccess) {
    for (const Chip* chip : {&kXc164, &kXe167}) {
        SCOPED_TRACE(chip->board);
        SimOptions o = Paced();
        o.faults = {"wide-erase"};
        const auto fw = Firmware(*chip, 10000, 5);   // three 4 KiB sectors in one 16 KiB neighbourhood
        const ProcessResult r = Flash(*chip, fw, o);
        EXPECT_EQ(r.status, 5) << r.err;
        EXPECT_NE(r.err.find("PROG ERR"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Programming ok."), std::string::npos) << r.err;
        board_->Stop();
        EXPECT_EQ(board_->Flash()[0], chip->erased) << "the first page was cleared by a later erase";
    }
}

// Data in the XE167's reserved range cannot be programmed: the host refuses the
// file before it sends anything, and says where.
TEST_F(OnChipRuns, Xe167RefusesAFileWithDataInTheReservedRange) {
    auto fw = Firmware(kXe167, 0x10800, 9);
    fw[0xF800] = 0x12;
    const ProcessResult r = Flash(kXe167, fw, SimOptions{});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("offset 0F800h"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("C0'F000h-C0'FFFFh"), std::string::npos) << r.err;
    board_->Stop();
    EXPECT_EQ(BytesReceived(board_->Log()), 0u) << board_->Log();
}

}  // namespace
