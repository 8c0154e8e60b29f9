#include "cmdproto/boot_mode.h"

#include <algorithm>
#include <ctime>

#include "cmdproto/cmd_request.h"
#include "engine/context.h"
#include "engine/x_flash.h"

namespace qtx {

namespace {

// Sleeps ms, running idle about every 10 ms; false when stop ended it early.
bool Pause(int ms, const std::function<void()>& idle, const std::function<bool()>& stop = {}) {
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

}  // namespace

int cmd_broadcast(const std::string& portName, const std::function<void()>& idle,
                  const std::function<bool()>& stop) {
    CmdLink link;  // the port only: no frame is sent on it
    for (const int32_t rate : kBroadcastRates) {
        for (const char* framing : kBroadcastFramings) {
            if (cmd_open(link, portName, rate, framing) != 0) return -1;
            cmd_port_write(link.port, kAutobaudText, sizeof kAutobaudText);
            const bool whole = Pause(kBroadcastPauseMs, idle, stop);
            // All of the text must leave before the close restores the old rate.
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
    // The switch takes seconds; an Abort (or Ctrl-C) meanwhile must end it, not wait for it.
    const std::function<bool()> stop = [&ctx] { return ctx.ActiveFlasher && ctx.ActiveFlasher->Abort; };
    const auto stopped = [&d] {
        d.SetStatusText("Boot-mode switch aborted");
        return kBootModeStopped;
    };

    d.SetStatusText("Autobauding, please wait .......");
    const int broadcast = cmd_broadcast(portName, pump, stop);
    if (broadcast == kBootModeStopped) return stopped();
    if (broadcast != 0) {
        d.SetStatusText("Error FORCE! rc = " + std::to_string(broadcast));
        if (!Pause(3000, pump, stop)) return stopped();
    }

    d.SetStatusText("Init BSL Mode....");
    CmdLinkStorage command;
    CmdLink& link = command.link;
    if (const int opened = cmd_open(link, portName, kBootModeBaud, kBootModeFraming); opened != 0) {
        cmd_close(link);
        Pause(300, pump, stop);
        return opened;
    }
    link.stop = [&pump, &stop] {
        pump();
        return stop();
    };
    const std::array<uint8_t, 8> data = BootModeData(BootModeBaudFor(ctx));
    const int result = cmd_request(link, kBootModeWord, data.data(), static_cast<uint32_t>(data.size()));
    // An accepted command has restarted the device: that switch is seen through,
    // and the engine looks at the Abort flag itself afterwards.
    const std::function<bool()> stopUnlessAccepted = result == 0 ? std::function<bool()>{} : stop;
    const bool whole = Pause(100, pump, stopUnlessAccepted);
    cmd_close(link);
    if (!whole || !Pause(300, pump, stopUnlessAccepted)) return stopped();
    if (result != 0 && stop()) return stopped();

    d.SetStatusText(result == 0 ? "...done!" : "Error! rc = " + std::to_string(result));
    return result;
}

}  // namespace qtx
