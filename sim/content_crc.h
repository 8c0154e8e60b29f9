// The content check of the loaded programs: a CRC-32 (reflected polynomial
// 0xEDB88320, initial value and final XOR 0xFFFFFFFF) over every data byte
// received, pad byte included, answered on 0x43 with 0x43 and the CRC least
// significant byte first. The behavioural program models share it until the
// boards run real loaders.
#pragma once

#include <cstdint>

#include "sim/board.h"

namespace qtx::sim {

class ContentCrc {
public:
    static constexpr uint8_t kCommand = 0x43;

    void Reset() { crc_ = 0xFFFFFFFFu; }
    void Add(uint8_t byte) {
        crc_ ^= byte;
        for (int i = 0; i < 8; ++i) crc_ = (crc_ >> 1) ^ (0xEDB88320u & (0u - (crc_ & 1u)));
    }
    uint32_t Value() const { return ~crc_; }
    void Answer(BoardIo& io) const {
        const uint32_t v = Value();
        const uint8_t answer[5] = {kCommand, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        io.Send(answer, sizeof answer);
    }

private:
    uint32_t crc_ = 0xFFFFFFFFu;
};

}  // namespace qtx::sim
