// Firmware files as the toolchains write them: Intel HEX, Motorola S-records
// and ELF programs become the image the flasher streams, placed by the target's
// flash addresses; anything else is taken as that image already (raw).
// Every reason to refuse a file is found here, before anything is sent.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qtx {

struct TargetRow;

enum class FirmwareFormat { Raw, IntelHex, SRecord, Elf };
const char* FormatName(FirmwareFormat format);  // "raw image", "Intel HEX", "S-record", "ELF"

// A file at most this large is read when its content or name says it is HEX,
// S-record or ELF (these hold far more than their image: text, symbols).
inline constexpr uint64_t kMaxEncodedFirmwareBytes = 64ull * 1024 * 1024;

// The format of a file from its first bytes; where they say nothing, from the
// name's extension (.hex .ihx, .s19 .s28 .s37 .srec .mot, .elf); else Raw.
FirmwareFormat GuessFormat(std::span<const uint8_t> head, std::string_view path);

struct LoadedFirmware {
    FirmwareFormat format = FirmwareFormat::Raw;
    bool byContent = true;         // recognised by content (false: by the name only)
    std::vector<uint8_t> image;    // what the flasher streams; offset 0 is the flash's first byte
    uint64_t lowestAddress = 0;    // the file's lowest data address, as the target sees it
};

// Reads the file at path (ReadFirmwareImage's refusals apply) and turns it into
// the image for target. false and the reason in why, naming the file and, for
// a record or segment at fault, its line or segment and address.
bool LoadFirmware(const std::string& path, const TargetRow& target, LoadedFirmware& out, std::string& why);

// The same for bytes already read; name stands for the file in messages and
// gives the extension hint.
bool DecodeFirmware(const std::string& name, std::span<const uint8_t> bytes, const TargetRow& target,
                    LoadedFirmware& out, std::string& why);

// One line about the image for a target, shown before a run:
// "0x08000000–0x0801A3FF, 107 520 bytes, CRC-32 1234ABCD". The range is what
// the image covers from the start of the flash (a two-bank image names both
// ranges); the CRC-32 (as Crc32) is that of the image, gap bytes included.
std::string FirmwareSummary(const LoadedFirmware& firmware, const TargetRow& target);
// The same line led by the format: "Intel HEX image: 0x08000000–...", "raw image: ...".
std::string FirmwareLine(const LoadedFirmware& firmware, const TargetRow& target);

// The image a run streams: the file decoded for target, or, without a target,
// read as a raw image with no size limit.
bool LoadImage(const std::string& path, const TargetRow* target, std::vector<uint8_t>& image, std::string& why);

}  // namespace qtx
