// Requests and replies on a protocol context: open and close it on a port,
// send under its mutex, wait for the matching reply under a reply timeout
// (whole reply) and a byte timeout (before and between reply bytes).
#pragma once

#include <cstdint>
#include <string>

#include "cmdproto/cmd_link.h"

namespace qtx {

// Opens the port, applies baud and framing, creates the mutex and sets the
// timeouts to 3000 ms and 200 ms. 0, or -1 when the port cannot be opened (no
// mutex is created then). An open context is closed first. The receiver
// starts hunting: the open discards whatever the line held, so a frame left
// half-received by an earlier wait can never be completed.
int cmd_open(CmdLink& link, const std::string& portName, int32_t baud, const std::string& framing);
// Restores and closes the port and discards the mutex; safe on a context that
// is closed or whose open failed.
void cmd_close(CmdLink& link);

uint32_t cmd_set_byte_timeout(CmdLink& link, uint32_t ms);
uint32_t cmd_get_byte_timeout(const CmdLink& link);
uint32_t cmd_set_reply_timeout(CmdLink& link, uint32_t ms);
uint32_t cmd_get_reply_timeout(const CmdLink& link);

// Sends word with length data bytes (data may be null) under the mutex; when
// word has bit 15 set, waits for the reply with the same number.
//   0   sent (and, with bit 15, accepted: reply flag 0x4000)
//  -1   nothing sent: more than 200 data bytes, or a context that is not open
//       or has no transmit buffer
//  -2   bit 15 set and no matching, checksum-correct reply arrived
//  -3   the reply carries the refusal flag 0x2000 (looked at first)
//  -4   the reply carries neither flag
int cmd_request(CmdLink& link, uint16_t word, const uint8_t* data, uint32_t length);

// Results of cmd_wait_reply.
enum : int {
    kWaitReply = 2,       // the wanted frame stands in the receive buffer
    kWaitTimeout = -1,    // reply timeout passed, or a byte timeout of silence
    kWaitBadHeader = -2,
    kWaitBadData = -3,
    kWaitPortError = -6,  // line error or read failure
    kWaitStopped = -7,    // the link's stop predicate ended the wait
};
// Waits for a frame with this command number (low 12 bits), or any frame for
// 0xFFFF; frames with other numbers are skipped.
int cmd_wait_reply(CmdLink& link, uint16_t number);

// cmd_send / cmd_send_value under the mutex.
int cmd_send_locked(CmdLink& link, uint16_t word);
int cmd_send_value_locked(CmdLink& link, uint16_t word, uint16_t value);

// Sends the number (without the mutex) and waits for the reply with that number.
int cmd_query(CmdLink& link, uint16_t number);
int cmd_query_value(CmdLink& link, uint16_t number, uint16_t value);

// The command word of the frame in the receive buffer (0 without a buffer).
uint16_t cmd_reply_word(const CmdLink& link);
uint16_t cmd_reply_length(const CmdLink& link);

}  // namespace qtx
