#include "cmdproto/cmd_request.h"

#include <cstring>

#include "cmdproto/cmd_frame.h"

namespace qtx {

int cmd_open(CmdLink& link, const std::string& portName, int32_t baud, const std::string& framing) {
    if (link.mutex || link.port.handle != kCmdInvalidHandle) cmd_close(link);
    link.replyTimeoutMs = kCmdReplyTimeoutMs;
    link.byteTimeoutMs = kCmdByteTimeoutMs;
    if (cmd_port_open(link.port, portName) != 0) return -1;
    cmd_port_set_line(link.port, baud, framing);  // its result is not examined
    cmd_reset_receiver(link);
    link.mutex = std::make_unique<std::mutex>();
    return 0;
}

void cmd_close(CmdLink& link) {
    cmd_port_close(link.port);
    link.mutex.reset();
}

uint32_t cmd_set_byte_timeout(CmdLink& link, uint32_t ms) { return link.byteTimeoutMs = ms; }
uint32_t cmd_get_byte_timeout(const CmdLink& link) { return link.byteTimeoutMs; }
uint32_t cmd_set_reply_timeout(CmdLink& link, uint32_t ms) { return link.replyTimeoutMs = ms; }
uint32_t cmd_get_reply_timeout(const CmdLink& link) { return link.replyTimeoutMs; }

uint16_t cmd_reply_word(const CmdLink& link) {
    return link.rxBuffer && link.rxSize >= kCmdHeaderSize ? CmdGet16(link.rxBuffer + kCmdWordAt) : 0;
}

uint16_t cmd_reply_length(const CmdLink& link) {
    return link.rxBuffer && link.rxSize >= kCmdHeaderSize ? CmdGet16(link.rxBuffer + kCmdLengthAt) : 0;
}

int cmd_request(CmdLink& link, uint16_t word, const uint8_t* data, uint32_t length) {
    if (length > kCmdMaxData) return -1;
    if (!link.mutex || link.txBuffer == nullptr || link.txSize < kCmdHeaderSize + length) return -1;
    {
        std::lock_guard<std::mutex> hold(*link.mutex);
        if (data != nullptr && length > 0) std::memcpy(link.txBuffer + kCmdDataAt, data, length);
        CmdPut16(link.txBuffer + kCmdLengthAt, static_cast<uint16_t>(length));
        CmdPut16(link.txBuffer + kCmdWordAt, word);
        cmd_send_frame(link);
    }
    if (!(word & kCmdAckWanted)) return 0;
    if (cmd_wait_reply(link, word & kCmdNumberMask) != kWaitReply) return -2;
    const uint16_t reply = cmd_reply_word(link);
    if (reply & kCmdRefused) return -3;
    if (reply & kCmdAccepted) return 0;
    return -4;
}

int cmd_wait_reply(CmdLink& link, uint16_t number) {
    const uint64_t deadline = cmd_now_100ns() + uint64_t{cmd_deadline_ms(link.replyTimeoutMs)} * 10000u;
    const uint32_t byteTimeoutMs = cmd_deadline_ms(link.byteTimeoutMs);
    for (;;) {
        if (cmd_now_100ns() > deadline) return kWaitTimeout;
        if (link.stop && link.stop()) return kWaitStopped;
        uint8_t byte = 0;
        const int r = cmd_port_read_timed(link.port, &byte, 1, byteTimeoutMs);
        if (r == -2) return kWaitTimeout;
        if (r < 0) return kWaitPortError;
        switch (cmd_receive_byte(link, byte)) {
        case kRxFrame:
            if (number == kCmdAnyNumber || (cmd_reply_word(link) & kCmdNumberMask) == number) return kWaitReply;
            break;  // another command's frame: skipped
        case kRxBadHeader: return kWaitBadHeader;
        case kRxBadData: return kWaitBadData;
        default: break;
        }
    }
}

int cmd_send_locked(CmdLink& link, uint16_t word) {
    if (!link.mutex) return -1;
    std::lock_guard<std::mutex> hold(*link.mutex);
    return cmd_send(link, word);
}

int cmd_send_value_locked(CmdLink& link, uint16_t word, uint16_t value) {
    if (!link.mutex) return -1;
    std::lock_guard<std::mutex> hold(*link.mutex);
    return cmd_send_value(link, word, value);
}

int cmd_query(CmdLink& link, uint16_t number) {
    cmd_send(link, number);
    return cmd_wait_reply(link, number);
}

int cmd_query_value(CmdLink& link, uint16_t number, uint16_t value) {
    cmd_send_value(link, number, value);
    return cmd_wait_reply(link, number);
}

}  // namespace qtx
