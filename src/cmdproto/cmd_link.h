// The protocol context: frame buffers supplied by its owner, the receiver
// state, the transmit mutex, the two reply timeouts and the port.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "cmdproto/cmd_port.h"

namespace qtx {

inline constexpr uint32_t kCmdHeaderSize = 8;
inline constexpr uint32_t kCmdMaxData = 200;
inline constexpr uint32_t kCmdFrameBufferSize = kCmdHeaderSize + kCmdMaxData;  // 208
inline constexpr uint8_t kCmdStartByte = 0x01;

// Command word bits.
inline constexpr uint16_t kCmdNumberMask = 0x0FFF;
inline constexpr uint16_t kCmdRefused = 0x2000;     // reply: the device refuses
inline constexpr uint16_t kCmdAccepted = 0x4000;    // reply: accepted; request: form-A set
inline constexpr uint16_t kCmdAckWanted = 0x8000;   // request: acknowledgement requested
inline constexpr uint16_t kCmdAnyNumber = 0xFFFF;   // cmd_wait_reply: any frame

// Receiver flags.
inline constexpr uint32_t kRxInData = 1u << 0;     // header accepted, data block under way
inline constexpr uint32_t kRxOversize = 1u << 1;   // header announces more data than the buffer holds
inline constexpr uint32_t kRxDropped = 1u << 2;    // a byte of this frame did not fit

inline constexpr uint32_t kCmdReplyTimeoutMs = 3000;
inline constexpr uint32_t kCmdByteTimeoutMs = 200;

struct CmdLink {
    uint8_t* rxBuffer = nullptr;
    uint32_t rxSize = 0;
    uint32_t rxPos = 0;        // where the next received byte goes
    uint32_t rxExpected = 0;   // bytes still missing; 0 while hunting for a start byte
    uint32_t rxFlags = 0;
    uint8_t* txBuffer = nullptr;
    uint32_t txSize = 0;
    std::unique_ptr<std::mutex> mutex;  // exists only while open
    uint32_t replyTimeoutMs = 0;
    uint32_t byteTimeoutMs = 0;
    CmdPort port;
    // Asked between the byte waits of cmd_wait_reply; true ends the wait (kWaitStopped).
    std::function<bool()> stop;
};

// A context with its own two 208-byte buffers. Not movable: the link points
// into the object.
struct CmdLinkStorage {
    CmdLinkStorage() {
        link.rxBuffer = rx.data();
        link.rxSize = kCmdFrameBufferSize;
        link.txBuffer = tx.data();
        link.txSize = kCmdFrameBufferSize;
    }
    CmdLinkStorage(const CmdLinkStorage&) = delete;
    CmdLinkStorage& operator=(const CmdLinkStorage&) = delete;

    std::array<uint8_t, kCmdFrameBufferSize> rx{};
    std::array<uint8_t, kCmdFrameBufferSize> tx{};
    CmdLink link;
};

// Little-endian fields of a frame buffer.
inline uint16_t CmdGet16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void CmdPut16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

}  // namespace qtx
