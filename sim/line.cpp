#include "sim/line.h"

namespace qtx::sim {

std::string LineSettings::Describe() const {
    std::string s = std::to_string(txBaud) + " baud";
    if (rxBaud != txBaud) s += " (receiving at " + std::to_string(rxBaud) + ")";
    s += ", " + std::to_string(dataBits) + (parity ? "P" : "N") + (twoStopBits ? "2" : "1");
    return s;
}

std::chrono::nanoseconds CharDuration(uint32_t baud, int bitsPerChar) {
    const uint64_t rate = baud ? baud : 9600;
    return std::chrono::nanoseconds(uint64_t(bitsPerChar) * 1000000000ull / rate);
}

bool RatesMatch(uint32_t a, uint32_t b) {
    const uint64_t hi = a > b ? a : b, lo = a > b ? b : a;
    return (hi - lo) * 1000 <= 15 * lo;
}

uint8_t Garble(uint8_t byte, uint32_t senderBaud, uint32_t receiverBaud) {
    const uint64_t tx = senderBaud ? senderBaud : 1;
    const uint64_t rx = receiverBaud ? receiverBaud : 1;
    uint8_t out = 0;
    for (int i = 0; i < 8; ++i) {
        // Middle of receiver data bit i is (i + 1.5) receiver bit times after the
        // falling edge of the start bit; which sender bit is on the line then?
        const uint64_t senderBit = (uint64_t(2 * i + 3) * tx) / (2 * rx);
        int level;
        if (senderBit == 0)
            level = 0;                                   // start bit
        else if (senderBit <= 8)
            level = (byte >> (senderBit - 1)) & 1;       // data bits, LSB first
        else
            level = 1;                                   // stop bits, then idle line
        out |= uint8_t(level << i);
    }
    if (out == byte) out ^= 0x80;
    return out;
}

}  // namespace qtx::sim
