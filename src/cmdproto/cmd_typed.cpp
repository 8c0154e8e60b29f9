#include "cmdproto/cmd_typed.h"

#include <algorithm>
#include <cstring>

#include "cmdproto/cmd_frame.h"
#include "cmdproto/cmd_request.h"

namespace qtx {

namespace {

using Q = CmdQuery;
using S = CmdSetForm;

constexpr CmdTyped kTable[] = {
    {2, Q::Plain, 20, S::None, 0},      {3, Q::Plain, 2, S::None, 0},
    {4, Q::Plain, 32, S::A, 32},        {6, Q::Reversed, 24, S::A, 24},
    {7, Q::Plain, 60, S::A, 60},        {8, Q::Plain, 22, S::B, 22},
    {9, Q::Plain, 6, S::A, 6},          {10, Q::Plain, 46, S::None, 0},
    {11, Q::UntilRecord, 32, S::None, 0}, {12, Q::Plain, 8, S::A, 8},
    {13, Q::Plain, 10, S::None, 0},     {16, Q::Plain, 2, S::A, 2},
    {20, Q::None, 0, S::A, 4},          {21, Q::Plain, 86, S::None, 0},
    {22, Q::WithParam, 42, S::None, 0}, {23, Q::WithParam, 38, S::None, 0},
    {24, Q::None, 0, S::B, 18},         {25, Q::WithParam, 82, S::None, 0},
    {26, Q::None, 0, S::B, 70},         {27, Q::Plain, 8, S::None, 0},
    {34, Q::None, 0, S::A, 4},          {35, Q::Plain, 8, S::None, 0},
    {36, Q::Plain, 2, S::A, 2},         {37, Q::Plain, 4, S::None, 0},
    {41, Q::None, 0, S::A, 4},          {42, Q::Plain, 8, S::None, 0},
    {43, Q::SendOnly, 0, S::None, 0},   {44, Q::Plain, 8, S::B, 2},
};

// The first n bytes of the receive buffer's data area (zeros where a buffer
// smaller than the usual 208 bytes ends).
void CopyReplyData(const CmdLink& link, std::span<uint8_t> out, std::size_t n) {
    const std::size_t have =
        link.rxBuffer && link.rxSize > kCmdHeaderSize ? std::min<std::size_t>(n, link.rxSize - kCmdHeaderSize) : 0;
    if (have) std::memcpy(out.data(), link.rxBuffer + kCmdDataAt, have);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(have), out.begin() + static_cast<std::ptrdiff_t>(n), 0);
}

// Data of the frame in the receive buffer, when the buffer holds n data bytes.
uint8_t* ReplyData(CmdLink& link, std::size_t n) {
    return link.rxBuffer && link.rxSize >= kCmdHeaderSize + n ? link.rxBuffer + kCmdDataAt : nullptr;
}

bool PlaceFits(std::span<uint8_t> out, std::size_t n) { return out.empty() || out.size() >= n; }

int WaitAccepted(CmdLink& link, uint16_t number) {
    if (cmd_wait_reply(link, number) != kWaitReply) return -1;
    return (cmd_reply_word(link) & kCmdAccepted) ? 0 : -1;  // the refusal flag is not looked at
}

// Number 11: the device may send other frames first; the answer is a frame
// whose word is 11, or a record (word 4) with data and a first word >= 0.
// Bounded by the reply timeout as a whole: a device that keeps talking about
// other things must not keep the caller waiting for ever.
int QueryUntilRecord(CmdLink& link, std::span<uint8_t> out) {
    cmd_send(link, 11);
    const uint64_t deadline = cmd_now_100ns() + uint64_t{cmd_deadline_ms(link.replyTimeoutMs)} * 10000u;
    int r;
    for (;;) {
        r = cmd_wait_reply(link, kCmdAnyNumber);
        if (r < 0) break;
        const uint16_t word = cmd_reply_word(link);
        if (word == 11) break;
        if (word == 4 && cmd_reply_length(link) > 0) {
            const uint8_t* data = ReplyData(link, 2);
            if (data && static_cast<int16_t>(CmdGet16(data)) >= 0) break;
        }
        if (cmd_now_100ns() > deadline) {
            r = kWaitTimeout;
            break;
        }
    }
    if (!out.empty()) {
        if (cmd_reply_length(link) > 0)
            CopyReplyData(link, out, 32);
        else
            out[21] = 0xFF;
    }
    return r;
}

}  // namespace

std::span<const CmdTyped> CmdTypedTable() { return kTable; }

const CmdTyped* cmd_find_typed(uint16_t number) {
    for (const CmdTyped& row : kTable)
        if (row.number == number) return &row;
    return nullptr;
}

void cmd_reverse_words(uint8_t* values, std::size_t count) {
    for (std::size_t v = 0; v < count; ++v) {
        uint8_t* p = values + v * 8;
        std::swap(p[0], p[6]);
        std::swap(p[1], p[7]);
        std::swap(p[2], p[4]);
        std::swap(p[3], p[5]);
    }
}

int cmd_get(CmdLink& link, uint16_t number, std::span<uint8_t> out) {
    const CmdTyped* row = cmd_find_typed(number);
    if (!row || row->query == Q::None || row->query == Q::WithParam) return kCmdBadArgument;
    if (!PlaceFits(out, row->queryBytes)) return kCmdBadArgument;
    switch (row->query) {
    case Q::SendOnly: return cmd_send_locked(link, number);
    case Q::UntilRecord: return QueryUntilRecord(link, out);
    default: break;
    }
    const int r = cmd_query(link, number);
    if (r != kWaitReply) return r;
    if (row->query == Q::Reversed) {
        if (uint8_t* data = ReplyData(link, 24)) cmd_reverse_words(data, 3);
    }
    if (!out.empty()) CopyReplyData(link, out, row->queryBytes);
    return r;
}

int cmd_get_with(CmdLink& link, uint16_t number, uint16_t param, std::span<uint8_t> out) {
    const CmdTyped* row = cmd_find_typed(number);
    if (!row || row->query != Q::WithParam || !PlaceFits(out, row->queryBytes)) return kCmdBadArgument;
    const int r = cmd_query_value(link, number, param);
    if (r == kWaitReply && !out.empty()) CopyReplyData(link, out, row->queryBytes);
    return r;
}

int cmd_set(CmdLink& link, uint16_t number, std::span<const uint8_t> data) {
    const CmdTyped* row = cmd_find_typed(number);
    if (!row || row->set == S::None || data.size() != row->setBytes) return kCmdBadArgument;
    if (row->set == S::A) {
        // Bit 15 is clear, so cmd_request returns as soon as the frame is out.
        if (cmd_request(link, static_cast<uint16_t>(kCmdAccepted | number), data.data(),
                        static_cast<uint32_t>(data.size())) != 0)
            return -1;
        return WaitAccepted(link, number);
    }
    if (link.txBuffer == nullptr || link.txSize < kCmdHeaderSize + data.size()) return -1;
    CmdPut16(link.txBuffer + kCmdWordAt, static_cast<uint16_t>(kCmdAckWanted | number));
    CmdPut16(link.txBuffer + kCmdLengthAt, static_cast<uint16_t>(data.size()));
    std::memcpy(link.txBuffer + kCmdDataAt, data.data(), data.size());
    cmd_send_frame(link);
    return WaitAccepted(link, number);
}

}  // namespace qtx
