#include "cmdproto/boot_mode.h"

#include <algorithm>
#include <ctime>

#include "cmdproto/cmd_request.h"

namespace qtx {

bool cmd_pause(int ms, const std::function<void()>& idle, const std::function<bool()>& stop) {
    const uint64_t end = cmd_now_100ns() + static_cast<uint64_t>(ms) * 10000u;
    for (;;) {
        if (idle) idle();
        if (stop && stop()) return false;
        const uint64_t now = cmd_now_100ns();
        if (now >= end) return true;
        const uint64_t step = std::min<uint64_t>(end - now, 100000u);  // at most 10 ms
        const timespec ts{0, static_cast<long>(step * 100u)};
        nanosleep(&ts, nullptr);
    }
}

int cmd_broadcast(const std::string& portName, const std::function<void()>& idle,
                  const std::function<bool()>& stop) {
    CmdLink link;  // the port only: no frame is sent on it
    for (const int32_t rate : kBroadcastRates) {
        for (const char* framing : kBroadcastFramings) {
            if (cmd_open(link, portName, rate, framing) != 0) return -1;
            cmd_port_write(link.port, kAutobaudText, sizeof kAutobaudText);
            // All of the text must leave before the close restores the old
            // rate: at 300 baud it needs longer than the pause, and an adapter
            // that reports an empty queue at once would cut it off.
            const bool whole = cmd_pause(kBroadcastPauseMs, idle, stop) &&
                               cmd_pause(cmd_port_owed_ms(link.port), idle, stop);
            cmd_port_flush(link.port);
            cmd_close(link);
            if (!whole) return kBootModeStopped;
        }
    }
    return 0;
}

std::array<uint8_t, 8> BootModeData(int32_t baud) {
    const auto b = static_cast<uint32_t>(baud);
    return {static_cast<uint8_t>(kBootModeKey), static_cast<uint8_t>(kBootModeKey >> 8), 0, 0,
            static_cast<uint8_t>(b), static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b >> 16),
            static_cast<uint8_t>(b >> 24)};
}

}  // namespace qtx
