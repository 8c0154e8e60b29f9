#include "engine/run.h"

#include "engine/catalogue.h"
#include "engine/firmware_file.h"
#include "engine/firmware_load.h"
#include "engine/x_flash.h"

namespace qtx {

const char* OutcomeName(RunOutcome o) {
    switch (o) {
    case RunOutcome::Programmed: return "programmed";
    case RunOutcome::PortError: return "port error";
    case RunOutcome::BootstrapFailed: return "bootstrap failed";
    case RunOutcome::EraseFailed: return "erase failed";
    case RunOutcome::ProgramFailed: return "programming failed";
    case RunOutcome::Aborted: return "aborted";
    case RunOutcome::NoBoot: return "no boot";
    case RunOutcome::BadInput: return "bad input";
    }
    return "?";
}

namespace {

RunOutcome FromFailure(const StageFailure& f) {
    if (f.kind == Failure::Aborted) return RunOutcome::Aborted;
    if (f.kind == Failure::Port) return RunOutcome::PortError;
    switch (f.panel) {
    case Panel::Bsl: return RunOutcome::BootstrapFailed;
    case Panel::Erase: return RunOutcome::EraseFailed;
    case Panel::Flash: return RunOutcome::ProgramFailed;
    }
    return RunOutcome::ProgramFailed;
}

}  // namespace

RunOutcome FlashRun(Context& ctx) {
    Display& d = ctx.display;
    d.Pump();
    // A countdown left from the previous run must not reset this run's display.
    d.SetTimerRunning(false);
    ctx.ResetCountdown = 0;
    ctx.PrescribedPauseMs = 0;
    ResetStatus(ctx);
    d.SetFlashDefault(false);
    d.SetProgressTextVisible(true);
    ctx.lastError = {};
    ctx.lastFailure = {};
    ctx.FlashTouched = false;
    ctx.BytesSent = 0;
    ctx.DataBaud = 0;
    ctx.PortDevice.clear();

    const int32_t code = ctx.setup.DeviceCode();
    // The whole image is read, and refused when it cannot be sent, before the
    // port is opened: a board must never be erased for a file that then fails.
    ctx.FirmwareImage.clear();
    ctx.FirmwareImagePath.clear();
    const TargetRow* row = FindTargetByCode(code);
    std::string why;
    // HEX, S-record and ELF files become the image here, placed by the target's addresses.
    bool readable = LoadImage(ctx.FlashFilePath, row, ctx.FirmwareImage, why);
    ctx.RunImageSize = readable ? ctx.FirmwareImage.size() : 0;
    ctx.RunImageCrc = readable ? Crc32(ctx.FirmwareImage.data(), ctx.FirmwareImage.size()) : 0;
    if (readable && ctx.ActiveFlasher) {
        why = ctx.ActiveFlasher->ImageProblem(ctx.FirmwareImage);
        readable = why.empty();
    }
    // A stored rate the line cannot run at would only fail at the open.
    const PortRecord* record = ctx.SelectedPortRecord();
    if (readable && record && record->BaudRate() <= 0) {
        why = "The settings give " + record->Name() + " a baud rate of " + std::to_string(record->BaudRate()) +
              ": choose a rate in the port dialog";
        readable = false;
    }
    // A fast-data rate the target does not offer is refused like a bad file.
    if (readable && row && ctx.FastBaud != 0) {
        why = FastRateProblem(*row, ctx.FastBaud);
        readable = why.empty();
    }
    if (!readable) {
        d.SetStatusText(why);
        ShowPanelError(ctx, Panel::Bsl, "PROG ERR", 0);
        if (SelectTarget(ctx, code) != 0) ctx.FatalExitStatus = 1;
        d.SetFlashDefault(true);
        EnableFlash(ctx);
        return RunOutcome::BadInput;
    }
    ctx.FirmwareImagePath = ctx.FlashFilePath;
    RunOutcome outcome = RunOutcome::BootstrapFailed;
    int forced = 0;
    for (;;) {
        if (OpenTargetPort(ctx) != 0) {
            outcome = RunOutcome::PortError;
            break;
        }
        d.Pump();
        if (ctx.ActiveFlasher->SendBootstrap() == 0) {
            d.SetCancelDefault(true);
            if (ctx.ActiveFlasher->EraseAndProgram() == 0) {
                if (row && row->finishAfterRun) ctx.ActiveFlasher->Finish();
                d.SetCancelDefault(false);
                outcome = RunOutcome::Programmed;
            } else {
                outcome = FromFailure(ctx.lastFailure);
            }
            DestroyActivePort(ctx);
            break;
        }
        DestroyActivePort(ctx);
        outcome = FromFailure(ctx.lastFailure);
        // Only a silent or wrong-speaking boot loader may mean that the device
        // firmware is running; an unreadable file or an abort is no reason to
        // switch the device.
        const bool bootLoaderSilent =
            ctx.lastFailure.kind == Failure::Timeout || ctx.lastFailure.kind == Failure::CharError;
        if (!row || !row->forcesBootMode || !bootLoaderSilent) break;

        ResetStatus(ctx);
        d.SetPanelColor(Panel::Bsl, Color::Lime);
        d.SetPanelCaption(Panel::Bsl, "AUTOBAUD");
        PumpingSleep(ctx, 200);
        const PortRecord* record = ctx.SelectedPortRecord();
        const std::string port = record ? record->Name() : std::string();
        // Bounded: a board that accepts the command but never wakes its boot loader
        // must not keep the run going for ever.
        if (forced >= ctx.maxBootAttempts) {
            d.SetStatusText("The boot loader did not answer after " + std::to_string(forced) +
                            " switches into boot mode");
        }
        const bool switched =
            forced < ctx.maxBootAttempts && ctx.forceBootMode && ctx.forceBootMode(ctx, port) == 0;
        // The next bootstrap clears Abort: an Abort pressed while the device was
        // being switched ends the run here, whether the switch was cut short by it or not.
        if (ctx.ActiveFlasher->Abort) {
            ShowPanelError(ctx, Panel::Bsl, "ABORT", 5);
            outcome = RunOutcome::Aborted;
            break;
        }
        if (!switched) {
            ShowPanelError(ctx, Panel::Bsl, "NO BOOT", 0);
            outcome = RunOutcome::NoBoot;
            break;
        }
        ++forced;
    }

    ctx.FirmwareImage = {};
    ctx.FirmwareImagePath.clear();
    if (SelectTarget(ctx, code) != 0) ctx.FatalExitStatus = 1;
    d.SetFlashDefault(true);
    EnableFlash(ctx);
    return outcome;
}

}  // namespace qtx
