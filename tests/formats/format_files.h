// Helpers of the firmware-file tests: records written by hand (with right or
// wrong checksums), the files the real tools made at build time, and ELF
// header fields to patch.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim_board.h"

namespace qtx::test {

inline std::string FormatFile(const std::string& name) { return std::string(QTX_FORMAT_FILES) + "/" + name; }

inline std::string HexByte(unsigned b) {
    char t[3];
    std::snprintf(t, sizeof t, "%02X", b & 0xFF);
    return t;
}

// ":LLAAAATT<data>CC" with the checksum that makes the bytes sum to 0.
inline std::string HexRecord(unsigned type, unsigned address, const std::vector<uint8_t>& data) {
    std::vector<unsigned> bytes{unsigned(data.size()), (address >> 8) & 0xFF, address & 0xFF, type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = ":";
    for (unsigned b : bytes) {
        sum += b;
        line += HexByte(b);
    }
    return line + HexByte(0x100 - (sum & 0xFF)) + "\n";
}
inline std::string HexUpper(unsigned upper16) { return HexRecord(4, 0, {uint8_t(upper16 >> 8), uint8_t(upper16)}); }
inline const std::string kHexEnd = ":00000001FF\n";

// "S3LL<address, 4 bytes><data>CC", the checksum the ones' complement of the sum.
inline std::string S3Record(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<unsigned> bytes{unsigned(data.size() + 5), address >> 24, (address >> 16) & 0xFF,
                                (address >> 8) & 0xFF, address & 0xFF};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = "S3";
    for (unsigned b : bytes) {
        sum += b;
        line += HexByte(b);
    }
    return line + HexByte(~sum) + "\n";
}
inline const std::string kS7End = "S70500000000FA\n";

inline std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// ELF32 little-endian fields: e_machine at 18, e_phoff at 28; a program
// header is 32 bytes with p_paddr at 12.
inline void Put16(std::vector<uint8_t>& b, std::size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
inline uint32_t Get32(const std::vector<uint8_t>& b, std::size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
inline void Put32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
inline std::vector<uint8_t> ElfWithMachine(std::vector<uint8_t> elf, uint16_t machine) {
    Put16(elf, 18, machine);
    return elf;
}
// Program header n's physical address set to paddr.
inline std::vector<uint8_t> ElfWithPaddr(std::vector<uint8_t> elf, unsigned n, uint32_t paddr) {
    Put32(elf, Get32(elf, 28) + 32 * n + 12, paddr);
    return elf;
}

}  // namespace qtx::test
