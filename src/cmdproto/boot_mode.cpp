#include "cmdproto/boot_mode.h"

#include <algorithm>
#include <ctime>

#include "cmdproto/cmd_request.h"
#include "engine/context.h"

namespace qtx {

namespace {

// Sleeps ms, running idle about every 10 ms.
void Pause(int ms, const std::function<void()>& idle) {
    const uint64_t end = cmd_now_100ns() + static_cast<uint64_t>(ms) * 10000u;
    for (;;) {
        if (idle) idle();
        const uint64_t now = cmd_now_100ns();
        if (now >= end) return;
        const uint64_t step = std::min<uint64_t>(end - now, 100000u);  // at most 10 ms
        const timespec ts{0, static_cast<long>(step * 100u)};
        nanosleep(&ts, nullptr);
    }
}

}  // namespace

int cmd_broadcast(const std::string& portName, const std::function<void()>& idle) {
    CmdLink link;  // the port only: no frame is sent on it
    for (const int32_t rate : kBroadcastRates) {
        for (const char* framing : kBroadcastFramings) {
            if (cmd_open(link, portName, rate, framing) != 0) return -1;
            cmd_port_write(link.port, kAutobaudText, sizeof kAutobaudText);
            Pause(kBroadcastPauseMs, idle);
            // All of the text must leave before the close restores the old rate.
            cmd_port_flush(link.port);
            cmd_close(link);
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

int32_t BootModeBaudFor(Context& ctx) {
    const int32_t code = ctx.setup.DeviceCode();
    if (code != 9 && code != 10 && code != 11) return 0;
    const int index = PortRecordIndex(code);
    return index < 0 ? 0 : ctx.setup.Ports[index].BaudRate();
}

int force_boot_mode(Context& ctx, const std::string& portName) {
    // The protocol opens the same device itself.
    if (ctx.PortIsOpen || ctx.ActivePort) {
        ctx.ActivePort.reset();
        ctx.PortIsOpen = false;
    }
    Display& d = ctx.display;
    const std::function<void()> pump = [&d] { d.Pump(); };

    d.SetStatusText("Autobauding, please wait .......");
    const int broadcast = cmd_broadcast(portName, pump);
    if (broadcast != 0) {
        d.SetStatusText("Error FORCE! rc = " + std::to_string(broadcast));
        Pause(3000, pump);
    }

    d.SetStatusText("Init BSL Mode....");
    CmdLinkStorage command;
    CmdLink& link = command.link;
    if (const int opened = cmd_open(link, portName, kBootModeBaud, kBootModeFraming); opened != 0) {
        cmd_close(link);
        Pause(300, pump);
        return opened;
    }
    const std::array<uint8_t, 8> data = BootModeData(BootModeBaudFor(ctx));
    const int result = cmd_request(link, kBootModeWord, data.data(), static_cast<uint32_t>(data.size()));
    Pause(100, pump);
    cmd_close(link);
    Pause(300, pump);

    d.SetStatusText(result == 0 ? "...done!" : "Error! rc = " + std::to_string(result));
    return result;
}

}  // namespace qtx
