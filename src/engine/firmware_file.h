// The firmware image: read whole, once, before anything is sent to a board.
// A board whose flash was erased for a file that then cannot be sent has lost
// its firmware, so every reason to refuse a file is found here, up front.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qtx {

// Reads the whole image at path. Refuses, with false and a message in why that
// names the file and the reason: a path that is not a regular file (FIFO,
// device, socket, a /proc file whose size the system does not know), an empty
// file, a file that cannot be read, and a file larger than maxSize bytes, unless
// its content or name makes it a HEX, S-record or ELF file (GuessFormat), whose
// image LoadFirmware judges: such a file may have up to kMaxEncodedFirmwareBytes.
// Never blocks on a FIFO.
bool ReadFirmwareImage(const std::string& path, uint64_t maxSize, std::vector<uint8_t>& out, std::string& why);

// CRC-32 of the content check (reflected polynomial 0xEDB88320, initial value
// and final XOR 0xFFFFFFFF: the CRC of zlib and Ethernet).
uint32_t Crc32(const uint8_t* data, std::size_t n, uint32_t crc = 0);

}  // namespace qtx
