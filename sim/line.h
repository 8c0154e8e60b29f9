// The serial line between host and board as the board sees it through the pty:
// the host's settings, the time a character takes, and what a UART makes of a
// character sent at another baud rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qtx::sim {

struct LineSettings {
    uint32_t txBaud = 0;       // rate the host sends at
    uint32_t rxBaud = 0;       // rate the host receives at
    int dataBits = 8;          // a pty always shows CS8
    bool parity = false;       // a pty always clears PARENB
    bool twoStopBits = false;
    bool extproc = false;      // EXTPROC still set: every change is signalled to the board

    // Start bit, data bits, parity bit, stop bits.
    int BitsPerChar() const { return 1 + dataBits + (parity ? 1 : 0) + (twoStopBits ? 2 : 1); }
    bool SameLine(const LineSettings& o) const {
        return txBaud == o.txBaud && rxBaud == o.rxBaud && dataBits == o.dataBits &&
               parity == o.parity && twoStopBits == o.twoStopBits;
    }
    std::string Describe() const;
};

// Duration of one character; a rate of 0 counts as 9600 so that pacing never stalls.
std::chrono::nanoseconds CharDuration(uint32_t baud, int bitsPerChar);

// Whether a receiver at one rate reads a sender at the other: within 1.5 %,
// the usual budget for the rate error of both ends of an asynchronous link.
bool RatesMatch(uint32_t a, uint32_t b);

// What a receiver listening at receiverBaud reads when a byte is sent at senderBaud:
// the sender's frame sampled in the middle of each of the receiver's data bits.
// Deterministic, and never the original byte (where sampling would read it back
// unchanged, the top bit is flipped), so a rate mismatch is always visible.
uint8_t Garble(uint8_t byte, uint32_t senderBaud, uint32_t receiverBaud);

}  // namespace qtx::sim
