#include "engine/boot_mode_switch.h"

#include "cmdproto/boot_mode.h"
#include "cmdproto/cmd_request.h"
#include "engine/target_table.h"
#include "engine/x_flash.h"
#include "serial/wire_trace.h"

namespace qtx {

int32_t BootModeBaudFor(Context& ctx) {
    const TargetRow* row = FindTargetByCode(ctx.setup.DeviceCode());
    if (!row || !row->forcesBootMode) return 0;
    const PortRecord* record = ctx.SelectedPortRecord();
    return record ? record->BaudRate() : 0;
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

    // The command protocol opens its own port, outside the trace; the trace says where it was.
    if (ctx.Trace) ctx.Trace->Note("boot-mode switch on " + portName + ": its bytes are not traced");
    d.SetStatusText("Autobauding, please wait .......");
    const int broadcast = cmd_broadcast(portName, pump, stop);
    if (broadcast == kBootModeStopped) return stopped();
    if (broadcast != 0) {
        d.SetStatusText("Error FORCE! rc = " + std::to_string(broadcast));
        if (!cmd_pause(3000, pump, stop)) return stopped();
    }

    d.SetStatusText("Init BSL Mode....");
    CmdLinkStorage command;
    CmdLink& link = command.link;
    if (const int opened = cmd_open(link, portName, kBootModeBaud, kBootModeFraming); opened != 0) {
        cmd_close(link);
        cmd_pause(300, pump, stop);
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
    const bool whole = cmd_pause(100, pump, stopUnlessAccepted);
    cmd_close(link);
    if (!whole || !cmd_pause(300, pump, stopUnlessAccepted)) return stopped();
    if (result != 0 && stop()) return stopped();

    d.SetStatusText(result == 0 ? "...done!" : "Error! rc = " + std::to_string(result));
    return result;
}

}  // namespace qtx
