// Firmware files into images: where records land for each kind of target,
// which files are refused and with what words, and how the format is told.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "engine/catalogue.h"
#include "engine/firmware_file.h"
#include "engine/firmware_load.h"
#include "engine/target_table.h"
#include "format_files.h"

using namespace qtx;
using namespace qtx::test;

namespace {

const TargetRow& Target(const char* text) {
    const TargetRow* row = FindTargetByText(text);
    if (!row) throw std::runtime_error(std::string("no target ") + text);
    return *row;
}

struct Decoded {
    bool ok;
    std::string why;
    LoadedFirmware firmware;
};

Decoded Decode(const char* target, const std::string& text, const std::string& name = "fw") {
    Decoded d;
    const std::vector<uint8_t> bytes = Bytes(text);
    d.ok = DecodeFirmware(name, bytes, Target(target), d.firmware, d.why);
    return d;
}

std::string Crc(const std::vector<uint8_t>& image) {
    char t[9];
    std::snprintf(t, sizeof t, "%08X", Crc32(image.data(), image.size()));
    return t;
}

}  // namespace

TEST(FirmwareLoad, RecordsLandAtTheirAddressLessTheBaseAndGapsReadErased) {
    // STM32F4: two records above the base, a gap between, identical overlap allowed.
    Decoded d = Decode("STM32F4", HexUpper(0x0800) + HexRecord(0, 0x0010, {1, 2, 3, 4}) +
                                      HexRecord(0, 0x0012, {3, 4}) + HexRecord(0, 0x0100, {5, 6}) + kHexEnd);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.firmware.format, FirmwareFormat::IntelHex);
    std::vector<uint8_t> want(0x102, 0xFF);
    want[0x10] = 1, want[0x11] = 2, want[0x12] = 3, want[0x13] = 4, want[0x100] = 5, want[0x101] = 6;
    EXPECT_EQ(d.firmware.image, want);
    EXPECT_EQ(FirmwareSummary(d.firmware, Target("STM32F4")),
              "0x08000000\xE2\x80\x93" "0x08000101 (the file's data from 0x08000010), 258 bytes, CRC-32 " + Crc(want));

    // XE167 flash erases to 00h.
    d = Decode("XE167", S3Record(0xC00004, {0xAA}) + kS7End);
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.firmware.image, (std::vector<uint8_t>{0, 0, 0, 0, 0xAA}));

    // Two banks: the second one's data go where the flasher takes bank 2 (image offset 0x80000).
    for (const auto& [target, bank1, bank2] : {std::tuple{"SAM3S", 0x400000u, 0x420000u},
                                               std::tuple{"SAM3U", 0x080000u, 0x100000u}}) {
        d = Decode(target, S3Record(bank1, {1}) + S3Record(bank2 + 1, {2}) + kS7End);
        ASSERT_TRUE(d.ok) << target << ": " << d.why;
        ASSERT_EQ(d.firmware.image.size(), 0x80002u) << target;
        EXPECT_EQ(d.firmware.image[0], 1);
        EXPECT_EQ(d.firmware.image[0x80000], 0xFF);
        EXPECT_EQ(d.firmware.image[0x80001], 2);
        EXPECT_EQ(d.firmware.image[0x40000], 0xFF);
        char ranges[96];
        std::snprintf(ranges, sizeof ranges, "0x%08X\xE2\x80\x93" "0x%08X, 0x%08X\xE2\x80\x93" "0x%08X, 131 074 bytes",
                      bank1, bank1 + 0x1FFFF, bank2, bank2 + 1);
        EXPECT_EQ(FirmwareSummary(d.firmware, Target(target)).rfind(ranges, 0), 0u)
            << FirmwareSummary(d.firmware, Target(target));
    }

    // Segmented HEX (type 02) for a target at 0: segment 1000h, offset 0 is 10000h.
    d = Decode("C166/167", HexRecord(2, 0, {0x10, 0x00}) + HexRecord(0, 0, {0x11}) + kHexEnd);
    ASSERT_TRUE(d.ok) << d.why;
    ASSERT_EQ(d.firmware.image.size(), 0x10001u);
    EXPECT_EQ(d.firmware.image[0x10000], 0x11);

    // A raw image stays as it is.
    d = Decode("C509", "\x02\x10\x06 raw bytes", "fw.bin");
    ASSERT_TRUE(d.ok) << d.why;
    EXPECT_EQ(d.firmware.format, FirmwareFormat::Raw);
    EXPECT_EQ(Text(d.firmware.image), "\x02\x10\x06 raw bytes");
}

TEST(FirmwareLoad, DamagedMisplacedAndCutShortFilesAreRefusedNamingWhere) {
    const std::string ok1 = HexRecord(0, 0x0000, {1, 2, 3, 4});
    const std::string ok2 = HexRecord(0, 0x0004, {5, 6, 7, 8});
    std::string badSum = ok2;
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    struct Case {
        const char* what;
        const char* target;
        std::string text;
        std::vector<std::string> says;
    };
    const std::vector<Case> cases = {
        {"checksum error", "STM32F4", HexUpper(0x0800) + ok1 + badSum + kHexEnd, {"line 3", "checksum"}},
        {"record cut short", "STM32F4", HexUpper(0x0800) + ok1 + ok2.substr(0, 15), {"line 3"}},
        {"file cut after a record", "STM32F4", HexUpper(0x0800) + ok1 + ok2, {"without an end-of-file record"}},
        {"records after the end", "STM32F4", HexUpper(0x0800) + ok1 + kHexEnd + ok2,
         {"line 4", "more after the end-of-file record"}},
        {"a line that is no record", "STM32F4", HexUpper(0x0800) + ok1 + "10000400050607\n" + kHexEnd,
         {"line 3: not a record"}},
        {"below the flash", "STM32F4", ok1 + kHexEnd,
         {"line 1", "0x00000000", "outside the flash of STM32F4 (0x08000000\xE2\x80\x93" "0x080FFFFF)"}},
        {"past the flash", "STM32F4", HexUpper(0x080F) + HexRecord(0, 0xFFFE, {1, 2, 3, 4}) + kHexEnd,
         {"line 2", "0x080FFFFE\xE2\x80\x93" "0x08100001 reach 0x08100000"}},
        {"between two banks", "SAM3U", S3Record(0xA0000, {1}) + kS7End, {"line 1", "0x000A0000", "outside"}},
        {"XE167 data below its base", "XE167", S3Record(0xBFFFFF, {1, 2}) + kS7End, {"0x00BFFFFF"}},
        {"overlapping data that differ", "STM32F4",
         HexUpper(0x0800) + ok1 + HexRecord(0, 0x0002, {3, 9}) + kHexEnd,
         {"line 3: 0x08000003 gets 09h, but line 2 put 04h there"}},
        {"an empty HEX file", "STM32F4", kHexEnd, {"holds no data"}},
        {"S-records cut short", "XE167", S3Record(0xC00000, {1, 2}), {"without an end record"}},
        {"S-record count wrong", "XE167", S3Record(0xC00000, {1, 2}) + "S5030002FA\n" + kS7End, {"count"}},
        {"binary named .hex", "STM32F4", std::string("\x7F\x01\x02garbage\n", 11), {"(Intel HEX by its name)"}},
    };
    for (const Case& c : cases) {
        const Decoded d = Decode(c.target, c.text, c.what == std::string("binary named .hex") ? "fw.hex" : "fw");
        EXPECT_FALSE(d.ok) << c.what;
        EXPECT_TRUE(d.firmware.image.empty()) << c.what;
        for (const std::string& part : c.says) EXPECT_NE(d.why.find(part), std::string::npos) << c.what << ": " << d.why;
        EXPECT_NE(d.why.find("FLASH file \"fw"), std::string::npos) << c.what << ": " << d.why;
        EXPECT_NE(d.why.find("nothing was sent"), std::string::npos) << c.what << ": " << d.why;
    }
}

TEST(FirmwareLoad, ElfProgramsArePlacedByPhysicalAddressForTheirMachineOnly) {
    const std::vector<uint8_t> elf = ReadFileBytes(FormatFile("stm32f4.elf"));
    const std::vector<uint8_t> bin = ReadFileBytes(FormatFile("stm32f4.bin"));
    LoadedFirmware f;
    std::string why;
    // Its .data runs at 0x20000000 and is stored after the code: objcopy's image.
    ASSERT_TRUE(DecodeFirmware("app.elf", elf, Target("STM32F4"), f, why)) << why;
    EXPECT_EQ(f.format, FirmwareFormat::Elf);
    EXPECT_EQ(f.image, bin);

    struct Case {
        const char* what;
        const char* target;
        std::vector<uint8_t> file;
        std::vector<std::string> says;
    };
    std::vector<uint8_t> cut(elf.begin(), elf.begin() + 0x2002);
    const std::vector<Case> cases = {
        {"ARM program for a C16x", "C166/167", elf, {"(ELF)", "ARM (machine 40), not for C166/167 (C166"}},
        {"C166 machine number for an ARM", "STM32F4", ElfWithMachine(elf, 116), {"C166 (machine 116), not for STM32F4"}},
        {"64-bit host program", "STM32F4", ReadFileBytes("/proc/self/exe"), {"x86-64"}},
        {".data stored in RAM", "STM32F4", ElfWithPaddr(elf, 1, 0x20000000),
         {"segment 1 (.data): data at 0x20000000", "outside the flash of STM32F4"}},
        {"cut short", "STM32F4", cut, {"(ELF)"}},
    };
    for (const Case& c : cases) {
        LoadedFirmware g;
        std::string w;
        EXPECT_FALSE(DecodeFirmware("app.elf", c.file, Target(c.target), g, w)) << c.what;
        for (const std::string& part : c.says) EXPECT_NE(w.find(part), std::string::npos) << c.what << ": " << w;
        EXPECT_NE(w.find("nothing was sent"), std::string::npos) << c.what << ": " << w;
    }
}

TEST(FirmwareLoad, TheContentDecidesTheFormatAndTheNameOnlyHints) {
    const auto guess = [](const std::string& head, const char* name) { return GuessFormat(Bytes(head), name); };
    EXPECT_EQ(guess(":020000040800F2\r\n", "fw.bin"), FirmwareFormat::IntelHex);
    EXPECT_EQ(guess("\n\nS00600004844521B\n", "fw"), FirmwareFormat::SRecord);
    EXPECT_EQ(guess("\x7F" "ELF\x01\x01", "fw.hex"), FirmwareFormat::Elf);
    EXPECT_EQ(guess("\x02\x10\x06\x75\x81", "fw.bin"), FirmwareFormat::Raw);
    EXPECT_EQ(guess(":not hex at all\n", "fw"), FirmwareFormat::Raw);
    EXPECT_EQ(guess("\x02\x10\x06", "dir.s19/FW.HEX"), FirmwareFormat::IntelHex);
    EXPECT_EQ(guess("\x02\x10\x06", "fw.mot"), FirmwareFormat::SRecord);
    EXPECT_EQ(guess("\x02\x10\x06", "fw.elf"), FirmwareFormat::Elf);
    EXPECT_EQ(guess("\x02\x10\x06", "hex"), FirmwareFormat::Raw);
}

// A HEX file holds about 2.8 times its image: one for the whole of a C509's
// 64 KiB passes the file size check and becomes the image.
TEST(FirmwareLoad, AFileMayBeLargerThanTheImageItHolds) {
    const std::string dir = MakeTempDir("fw-load");
    std::string text;
    std::vector<uint8_t> image = PatternBytes(0xFFF0, 7);
    for (unsigned at = 0; at < image.size(); at += 16)
        text += HexRecord(0, at, std::vector<uint8_t>(image.begin() + at, image.begin() + at + 16));
    WriteFileBytes(dir + "/big.ihx", Bytes(text + kHexEnd));
    LoadedFirmware f;
    std::string why;
    EXPECT_TRUE(LoadFirmware(dir + "/big.ihx", Target("C509"), f, why)) << why;
    EXPECT_EQ(f.image, image);
    std::filesystem::remove_all(dir);
}
