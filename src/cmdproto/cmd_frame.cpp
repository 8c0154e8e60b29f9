#include "cmdproto/cmd_frame.h"

namespace qtx {

uint16_t cmd_checksum(uint16_t start, const uint8_t* bytes, std::size_t count) {
    uint32_t sum = start;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<uint16_t>(sum);
}

uint16_t cmd_header_checksum(const uint8_t* header) { return cmd_checksum(0, header, 6); }

int cmd_check_header(std::span<const uint8_t> frame) {
    if (frame.size() < kCmdHeaderSize) return -1;
    return CmdGet16(frame.data() + kCmdHeaderSumAt) == cmd_header_checksum(frame.data()) ? 0 : -1;
}

int cmd_check_data(std::span<const uint8_t> frame) {
    if (frame.size() < kCmdHeaderSize) return -1;
    const std::size_t length = CmdGet16(frame.data() + kCmdLengthAt);
    if (length > frame.size() - kCmdHeaderSize) return -1;
    const uint16_t sum = cmd_checksum(0, frame.data() + kCmdDataAt, length);
    return CmdGet16(frame.data() + kCmdDataSumAt) == sum ? 0 : -1;
}

int cmd_send_frame(CmdLink& link) {
    uint8_t* tx = link.txBuffer;
    if (tx == nullptr || link.txSize < kCmdHeaderSize) return -1;
    const uint32_t length = CmdGet16(tx + kCmdLengthAt);
    if (length > link.txSize - kCmdHeaderSize) return -1;
    CmdPut16(tx + kCmdDataSumAt, cmd_checksum(0, tx + kCmdDataAt, length));
    CmdPut16(tx + kCmdHeaderSumAt, cmd_header_checksum(tx));
    const uint8_t start = kCmdStartByte;
    // The counts written are not examined: a lost frame shows as a missing reply.
    cmd_port_write(link.port, &start, 1);
    cmd_port_write(link.port, tx, static_cast<int>(length + kCmdHeaderSize));
    return 0;
}

int cmd_send(CmdLink& link, uint16_t word) {
    if (link.txBuffer == nullptr || link.txSize < kCmdHeaderSize) return -1;
    CmdPut16(link.txBuffer + kCmdWordAt, word);
    CmdPut16(link.txBuffer + kCmdLengthAt, 0);
    return cmd_send_frame(link);
}

int cmd_send_value(CmdLink& link, uint16_t word, uint16_t value) {
    if (link.txBuffer == nullptr || link.txSize < kCmdHeaderSize + 2) return -1;
    CmdPut16(link.txBuffer + kCmdWordAt, word);
    CmdPut16(link.txBuffer + kCmdLengthAt, 2);
    CmdPut16(link.txBuffer + kCmdDataAt, value);
    return cmd_send_frame(link);
}

void cmd_reset_receiver(CmdLink& link) {
    link.rxPos = 0;
    link.rxExpected = 0;
    link.rxFlags = 0;
}

int cmd_receive_byte(CmdLink& link, uint8_t byte) {
    if (link.rxExpected == 0) {
        if (byte != kCmdStartByte) return kRxIgnored;
        link.rxPos = 0;
        link.rxExpected = kCmdHeaderSize;
        link.rxFlags = 0;
        return kRxTaken;
    }

    if (link.rxBuffer != nullptr && link.rxPos < link.rxSize)
        link.rxBuffer[link.rxPos++] = byte;
    else
        link.rxFlags |= kRxDropped;
    if (--link.rxExpected > 0) return kRxTaken;

    const std::span<const uint8_t> frame(link.rxBuffer, link.rxBuffer ? link.rxSize : 0);
    if (!(link.rxFlags & kRxInData)) {
        // A header that did not fit cannot be checked: rejected like a wrong one.
        if ((link.rxFlags & kRxDropped) || cmd_check_header(frame) != 0) return kRxBadHeader;
        const uint16_t length = CmdGet16(link.rxBuffer + kCmdLengthAt);
        if (length == 0) return kRxFrame;
        link.rxExpected = length;
        link.rxFlags |= kRxInData;
        if (length > link.rxSize - kCmdHeaderSize) link.rxFlags |= kRxOversize;
        return kRxTaken;
    }

    // Data complete; hunting again either way. Data cut short by the buffer is
    // never checked (nor delivered): its checksum would need the lost bytes.
    if (link.rxFlags & (kRxOversize | kRxDropped)) return kRxBadData;
    return cmd_check_data(frame) == 0 ? kRxFrame : kRxBadData;
}

}  // namespace qtx
