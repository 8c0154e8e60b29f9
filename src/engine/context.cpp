#include "engine/context.h"

#include <climits>
#include <cstdlib>
#include <ctime>

#include "engine/boot_mode_switch.h"
#include "engine/x_flash.h"
#include "serial/wire_trace.h"
#include "settings/setup_file.h"

namespace qtx {

Context::Context(Display& d) : display(d), forceBootMode(force_boot_mode) { DefaultSetup(setup); }

Context::~Context() = default;

PortRecord* Context::SelectedPortRecord() {
    const int index = PortRecordIndex(setup.DeviceCode());
    return index < 0 ? nullptr : &setup.Ports[index];
}

void ResetStatus(Context& ctx) {
    Display& d = ctx.display;
    for (Panel p : {Panel::Bsl, Panel::Erase, Panel::Flash}) {
        d.SetPanelColor(p, Color::InactiveBorder);
        d.SetPanelCaption(p, PanelIdleCaption(p));
    }
    d.SetStatusText("               ");
    d.SetProgress(0);
    d.SetProgressTextVisible(false);
}

void ShowPanelError(Context& ctx, Panel panel, const std::string& text, int countdown) {
    Display& d = ctx.display;
    d.SetPanelColor(panel, Color::Red);
    d.SetPanelCaption(panel, text);
    d.SetProgress(0);
    ctx.lastError = ShownError{true, panel, text};
    if (countdown != 0) {
        ctx.ResetCountdown = countdown;
        d.SetTimerRunning(true);
    } else {
        EnableFlash(ctx);
    }
    d.SetCancelEnabled(false);
    d.SetCancelDefault(false);
}

void EnableFlash(Context& ctx) {
    ctx.display.SetFlashEnabled(true);
    ctx.display.SetFlashDefault(true);
}

void Timer4Timer(Context& ctx) {
    if (ctx.ResetCountdown != 0) {
        --ctx.ResetCountdown;
        return;
    }
    ctx.display.SetTimerRunning(false);
    ResetStatus(ctx);
    EnableFlash(ctx);
}

void DestroyActivePort(Context& ctx) {
    // The run's last bytes (the loader's finish command) must leave the line
    // before the close puts the port's old settings back: a driver that says
    // its queue is empty at once would let the old rate garble them. A USB
    // adapter's bytes reach its UART a USB frame (1 ms) or a few after the
    // host's estimate of the line began, later still on a loaded host, hence
    // the margin, counted from when the last byte left: a line idle that long
    // is closed at once, as is a run that ends with much unsent (an abort
    // while data streamed).
    constexpr int kTailMs = 100, kAdapterMarginMs = 20;
    if (ctx.ActivePort && !ctx.ActivePort->Gone()) {
        const int owed = ctx.ActivePort->OwedMs();
        const int wait = owed > 0 ? owed + kAdapterMarginMs : kAdapterMarginMs - ctx.ActivePort->IdleMs();
        if (owed <= kTailMs && wait > 0) PumpingWait(ctx, wait);
    }
    ctx.ActivePort.reset();
    ctx.PortIsOpen = false;
}

int OpenTargetPort(Context& ctx) {
    if (ctx.PortIsOpen) DestroyActivePort(ctx);
    ctx.display.Pump();
    PortRecord* record = ctx.SelectedPortRecord();
    if (!record) {
        // The catalogue never selects such a code; a corrupt record ends the program.
        ctx.lastPortError = "the settings hold device code " + std::to_string(ctx.setup.DeviceCode()) +
                            ", which selects no processor type";
        ctx.FatalExitStatus = 1;
        return -1;
    }
    try {
        ctx.ActivePort = std::make_unique<Comport>(*record);
        ctx.PortIsOpen = true;
        ctx.lastPortError.clear();
        ctx.PortDevice = ctx.ActivePort->DeviceName;
        if (ctx.Trace) {
            ctx.ActivePort->Trace = ctx.Trace.get();
            ctx.Trace->Line(std::to_string(record->BaudRate()) + " " + record->FramingText());
        }
        return 0;
    } catch (const Comport::InitException& e) {
        ctx.lastPortError = e.reason;
        ctx.PortIsOpen = false;
        // Say which port and why in the status line; the box keeps its fixed text.
        ctx.display.SetStatusText(e.reason);
        ctx.display.MessageBox(
            "Cannot initialize Comport!\rIt is probably used by another program!\rCheck Port Parameter!", "Error!",
            MessageIcon::Error);
        return -1;
    }
}

namespace {

bool SetupWritten(Context& ctx, bool written, const std::string& why) {
    if (written) return true;
    ctx.display.SetStatusText(why);
    ctx.display.MessageBox("Cannot generate setup flash.stp", "", MessageIcon::Error);
    ctx.FatalExitStatus = 1;
    return false;
}

}  // namespace

bool LoadSetup(Context& ctx) {
    char dir[4096];
    ctx.StartDirectory = CurrentDirText(dir, sizeof dir) == 0 ? dir : "";
    std::string why;
    const bool written = LoadSetupFile(ctx.StartDirectory, ctx.setup, &why);
    return SetupWritten(ctx, written, why);
}

bool SaveSetup(Context& ctx) {
    std::string why;
    const bool written = SaveSetupFile(ctx.StartDirectory, ctx.setup, &why);
    return SetupWritten(ctx, written, why);
}

std::string SetupFilePath(const Context& ctx) { return SetupFilePath(ctx.StartDirectory); }

int64_t NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void MarkPause(Context& ctx, int ms) {
    ctx.PrescribedPauseMs += ms;
    if (ctx.Trace) ctx.Trace->Pause(ms);
}

void PumpingSleep(Context& ctx, int ms) {
    MarkPause(ctx, ms);
    PumpingWait(ctx, ms);
}

void PumpingWait(Context& ctx, int ms) {
    const int64_t end = NowMs() + ms;
    for (;;) {
        ctx.display.Pump();
        // An abort ends the pause; the caller's next check ends the run.
        if (ctx.ActiveFlasher && ctx.ActiveFlasher->Abort) return;
        const int64_t left = end - NowMs();
        if (left <= 0) return;
        const int64_t step = left < 10 ? left : 10;
        timespec ts{0, static_cast<long>(step) * 1000000L};
        nanosleep(&ts, nullptr);
    }
}

int ByteTimeoutFor(uint32_t charTime, uint64_t bytes) {
    // charTime < 2^32 and bytes < 2^32 in practice; guard the product anyway.
    const uint64_t seconds =
        bytes != 0 && charTime > UINT64_MAX / bytes ? UINT64_MAX / 10000000u : uint64_t{charTime} * bytes / 10000000u;
    if (seconds >= static_cast<uint64_t>(INT_MAX / 1000 - 1)) return INT_MAX;
    return static_cast<int>(seconds) * 1000 + 1000;
}

}  // namespace qtx
