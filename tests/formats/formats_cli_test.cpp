// Files the real tools wrote, through qtxflash-cli into simulated boards: the
// board's flash ends up as the raw image the same tools make of the file. Bad
// files end the tool with status 1 before the board hears a byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "engine/catalogue.h"
#include "format_files.h"
#include "run_checks.h"

using namespace qtx::test;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class FormatsCli : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[4096];
        oldDir_ = getcwd(buf, sizeof buf);
    }
    void TearDown() override { EXPECT_EQ(chdir(oldDir_.c_str()), 0); }
    std::string oldDir_;
};

}  // namespace

TEST_F(FormatsCli, FilesFromTheToolsFlashAsTheirRawImage) {
    struct Case {
        const char* target;
        const char* file;       // as the tools made it
        const char* reference;  // objcopy -O binary (gaps filled erased) or makebin
        const char* says;       // the image line before the run
        uint8_t erased;
    };
    const Case cases[] = {
        {"STM32F4", "stm32f4.hex", "stm32f4.bin", "Intel HEX image: 0x08000000\xE2\x80\x93" "0x0800103F, 4 160 bytes", 0xFF},
        {"STM32F4", "stm32f4.srec", "stm32f4.bin", "S-record image: 0x08000000", 0xFF},
        {"STM32F4", "stm32f4.elf", "stm32f4.bin", "ELF image: 0x08000000", 0xFF},
        {"C509", "c509.ihx", "c509.bin", "Intel HEX image: 0x00000000", 0xFF},
        {"XE167", "xe167.s37", "xe167.bin", "S-record image: 0x00C00000", 0x00},
    };
    for (const Case& c : cases) {
        SimOptions o;
        o.board = qtx::FindTargetByText(c.target)->simBoard;
        SimBoard board(o);
        ASSERT_EQ(chdir(board.PortsDir().c_str()), 0);
        const ProcessResult r =
            RunProgram(QTXFLASH_CLI_PATH, {"-t", c.target, "-p", "COM1", FormatFile(c.file)}, 120000);
        EXPECT_EQ(r.status, 0) << c.file << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << c.file << "\n" << r.err;
        FlashLayout layout;
        layout.erased = c.erased;
        ExpectFlashHolds(board, ReadFileBytes(FormatFile(c.reference)), layout);
    }
}

TEST_F(FormatsCli, BadFilesAreExitOneAndTheBoardHearsNothing) {
    SimOptions o;
    o.board = "stm32f4";
    SimBoard board(o);
    ASSERT_EQ(chdir(board.PortsDir().c_str()), 0);
    const std::string hex = Text(ReadFileBytes(FormatFile("stm32f4.hex")));
    const auto end = hex.rfind(":00000001FF");
    ASSERT_NE(end, std::string::npos);
    std::string badSum = hex;
    badSum[hex.find('\n') + 10] ^= 1;  // a data digit of line 2
    const std::string cut = hex.substr(0, end - 7);
    const std::string outside = hex.substr(0, end) + HexUpper(0x0810) + HexRecord(0, 0, {1, 2}) + kHexEnd;
    const std::string overlap = hex.substr(0, end) + HexUpper(0x0800) + HexRecord(0, 0, {0x55}) + kHexEnd;
    struct Case {
        const char* file;
        std::vector<uint8_t> content;
        const char* says;
    };
    const std::vector<Case> cases = {
        {"checksum.hex", Bytes(badSum), "line 2: checksum mismatch"},
        {"cut.hex", Bytes(cut), "(Intel HEX), line"},
        {"outside.hex", Bytes(outside), "outside the flash of STM32F4"},
        {"overlap.hex", Bytes(overlap), "overlapping data that differ"},
        {"other-machine.elf", ElfWithMachine(ReadFileBytes(FormatFile("stm32f4.elf")), 116), "not for STM32F4"},
        {"empty.hex", Bytes(kHexEnd), "holds no data"},
    };
    for (const Case& c : cases) {
        WriteFileBytes(c.file, c.content);
        const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"-t", "STM32F4", "-p", "COM1", c.file}, 20000);
        EXPECT_EQ(r.status, 1) << c.file << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << c.file << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, "nothing was sent")) << c.file << "\n" << r.err;
        EXPECT_FALSE(Has(board.Log(), "host ")) << c.file << ": the port was opened\n" << board.Log();
    }
    board.Stop();
    EXPECT_TRUE(Has(board.Log(), "stopped after 0 bytes received")) << board.Log();
}
