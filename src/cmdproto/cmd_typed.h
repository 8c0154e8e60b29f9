// Typed queries and sets of a device's settings, one table row per command
// number. A query returns the cmd_wait_reply result (2 = success) and copies
// the row's fixed byte count from the start of the reply's data area, whatever
// the reply's own length. A set returns 0 when the reply with its number
// carries the acceptance flag 0x4000, else -1.
#pragma once

#include <cstdint>
#include <span>

#include "cmdproto/cmd_link.h"

namespace qtx {

// The caller asked for something the table does not offer: a number without
// that operation, or a place or data of the wrong size. Nothing is sent.
inline constexpr int kCmdBadArgument = -5;

enum class CmdQuery : uint8_t {
    None,
    Plain,        // no request data
    WithParam,    // one 16-bit parameter
    Reversed,     // number 6: three 8-byte values, 16-bit words reversed in each
    UntilRecord,  // number 11: waits for any frame until a matching one
    SendOnly,     // number 43: sent under the mutex, no reply awaited
};

enum class CmdSetForm : uint8_t {
    None,
    A,  // word 0x4000 + number through cmd_request, then a wait for the reply
    B,  // word 0x8000 + number straight into the transmit buffer, then a wait
};

struct CmdTyped {
    uint16_t number;
    CmdQuery query;
    uint16_t queryBytes;  // copied from the reply
    CmdSetForm set;
    uint16_t setBytes;    // sent with the set
};

std::span<const CmdTyped> CmdTypedTable();
const CmdTyped* cmd_find_typed(uint16_t number);

// Queries without a parameter (Plain, Reversed, UntilRecord, SendOnly). out may
// be empty (no place); otherwise it must hold at least the row's byte count.
int cmd_get(CmdLink& link, uint16_t number, std::span<uint8_t> out);
// Queries with a 16-bit parameter.
int cmd_get_with(CmdLink& link, uint16_t number, uint16_t param, std::span<uint8_t> out);
// Sets; data must hold exactly the row's byte count.
int cmd_set(CmdLink& link, uint16_t number, std::span<const uint8_t> data);

// Reverses the order of the four 16-bit words inside each of count 8-byte
// values (the bytes of a word keep their order).
void cmd_reverse_words(uint8_t* values, std::size_t count);

}  // namespace qtx
