#include "cmdproto/cmd_port.h"

#include <algorithm>
#include <cstdio>

#include "serial/deadline.h"

namespace qtx {

namespace {

// The framing text read character by character, a later one of a kind winning;
// false at the first character that is not one of 7 8 N O E 1 2.
bool ParseFraming(const std::string& text, LineFormat& format) {
    for (const char c : text) {
        switch (c) {
        case '7': format.dataBits = 7; break;
        case '8': format.dataBits = 8; break;
        case 'n':
        case 'N': format.parity = 'N'; break;
        case 'o':
        case 'O': format.parity = 'O'; break;
        case 'e':
        case 'E': format.parity = 'E'; break;
        case '1': format.stopBits = 1; break;
        case '2': format.stopBits = 2; break;
        default: return false;
        }
    }
    return true;
}

}  // namespace

uint64_t cmd_now_100ns() { return Now100ns(); }

uint32_t cmd_deadline_ms(uint32_t ms) {
    return static_cast<uint32_t>(ScaledDeadlineMs(static_cast<int>(std::min<uint32_t>(ms, INT32_MAX))));
}

int cmd_port_open(CmdPort& port, const std::string& name) {
    cmd_port_close(port);
    try {
        port.line = std::make_unique<Comport>(name);
    } catch (const Comport::InitException&) {
        return -1;  // this layer shows nothing; the caller has only the result
    }
    port.handle = port.line->Handle;
    return 0;
}

int cmd_port_close(CmdPort& port) {
    port.line.reset();
    port.handle = kCmdInvalidHandle;
    return 0;
}

int cmd_port_set_line(CmdPort& port, int32_t baud, const std::string& framing) {
    // Rate 0 would hang the line up (B0 drops DTR); a negative one is meaningless.
    if (!port.line || baud <= 0) return -1;
    LineFormat format;
    format.baud = baud;
    if (!ParseFraming(framing, format)) return -3;  // nothing has been applied
    return port.line->ApplyFormat(format) ? 0 : -1;
}

int cmd_port_read(CmdPort& port, uint8_t* buffer, int maxCount) {
    if (!port.line) return -1;
    return port.line->ReadQueued(buffer, maxCount);
}

int cmd_port_write(CmdPort& port, const uint8_t* data, int count) {
    return port.line ? port.line->Write(data, count) : 0;
}

int cmd_port_read_timed(CmdPort& port, uint8_t* buffer, int maxCount, uint32_t timeoutMs) {
    if (maxCount <= 0) return -1;
    const uint64_t deadline = cmd_now_100ns() + uint64_t{timeoutMs} * 10000u;
    for (;;) {
        const int r = cmd_port_read(port, buffer, maxCount);
        if (r > 0) return r;
        if (r < 0) return -1;
        const uint64_t now = cmd_now_100ns();
        if (now > deadline) return -2;
        // Sleep in the driver until a byte comes or just past the deadline, so
        // that the next look at the clock ends the wait, instead of spinning:
        // a simulated board shares the cores.
        const uint64_t ms = (deadline - now) / 10000u + 1;
        port.line->WaitReadable(static_cast<int>(std::min<uint64_t>(ms, INT32_MAX)));
    }
}

bool cmd_port_flush(CmdPort& port) { return port.line && port.line->Drain(); }

int cmd_port_owed_ms(const CmdPort& port) { return port.line ? port.line->OwedMs() : 0; }

CmdPortNode::~CmdPortNode() {
    std::unique_ptr<CmdPortNode> rest = std::move(next);
    while (rest) rest = std::move(rest->next);
}

int cmd_port_list(std::unique_ptr<CmdPortNode>& list, int highest) {
    cmd_port_list_free(list);
    auto head = std::make_unique<CmdPortNode>();
    CmdPortNode* last = head.get();
    int found = 0;
    for (int i = 1; i <= highest; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", i);
        CmdPort scratch;
        if (cmd_port_open(scratch, name) != 0) continue;
        cmd_port_close(scratch);
        last->name = name;
        last->next = std::make_unique<CmdPortNode>();
        last = last->next.get();
        ++found;
    }
    if (found > 0) list = std::move(head);
    return found;
}

void cmd_port_list_free(std::unique_ptr<CmdPortNode>& list) { list.reset(); }

}  // namespace qtx
