// Frames on the line: start byte 0x01, an 8-byte header (command word, data
// length, data checksum, header checksum; 16 bits each, least significant
// byte first) and up to 200 data bytes. The start byte is never stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cmdproto/cmd_link.h"

namespace qtx {

// Offsets in a frame buffer.
inline constexpr std::size_t kCmdWordAt = 0;
inline constexpr std::size_t kCmdLengthAt = 2;
inline constexpr std::size_t kCmdDataSumAt = 4;
inline constexpr std::size_t kCmdHeaderSumAt = 6;
inline constexpr std::size_t kCmdDataAt = 8;

// start plus the bytes, each 0..255, modulo 65536; no complement, no folding.
uint16_t cmd_checksum(uint16_t start, const uint8_t* bytes, std::size_t count);
// Checksum of the first six header bytes.
uint16_t cmd_header_checksum(const uint8_t* header);
// 0 when the frame's stored header checksum matches, else -1 (also for a
// buffer shorter than a header).
int cmd_check_header(std::span<const uint8_t> frame);
// 0 when the stored data checksum matches the data-length bytes of the data
// area, else -1; -1 as well when the announced data does not lie in the buffer.
int cmd_check_data(std::span<const uint8_t> frame);

// Sends the frame standing in the transmit buffer (command word and data
// length filled in by the caller; both checksums computed here): the start
// byte, then header and data. 0; -1, with nothing written, when the context
// has no transmit buffer or the announced data does not fit into it.
int cmd_send_frame(CmdLink& link);
// A frame with that command word and no data.
int cmd_send(CmdLink& link, uint16_t word);
// A frame with that command word and the value as its two data bytes.
int cmd_send_value(CmdLink& link, uint16_t word, uint16_t value);

// Results of cmd_receive_byte.
enum : int {
    kRxIgnored = 0,       // hunting, not a start byte
    kRxTaken = 1,         // frame not complete yet
    kRxFrame = 2,         // a checksum-correct frame stands in the receive buffer
    kRxBadHeader = -2,    // header checksum wrong; hunting again
    kRxBadData = -3,      // data checksum wrong, or data cut short by the buffer; hunting again
};

// Takes one received byte. A header announcing more data than the buffer
// holds is counted to its announced end, keeps what fits and ends as
// kRxBadData: a frame with missing data is never delivered.
int cmd_receive_byte(CmdLink& link, uint8_t byte);
// Back to hunting for a start byte.
void cmd_reset_receiver(CmdLink& link);

}  // namespace qtx
