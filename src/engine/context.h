// Program-wide state of one flashing tool instance, and the display routines
// that the engine and the faces share. One per process in the programs; tests
// build a fresh one per case.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/display.h"
#include "serial/comport.h"
#include "serial/deadline.h"
#include "settings/setup.h"

namespace qtx {

class X_Flash;
class WireTrace;

// What the last ShowPanelError showed; the command-line tool derives its exit code from it.
struct ShownError {
    bool shown = false;
    Panel panel = Panel::Bsl;
    std::string word;
};

// Why the last stage of a run failed, taken from the exception that ended it
// (the panel word shown for it is for the eyes only).
enum class Failure { None, Aborted, Timeout, CharError, Program, Port };
struct StageFailure {
    Panel panel = Panel::Bsl;
    Failure kind = Failure::None;
    std::string step;   // the wait or step that failed, where the exception named it
};

struct Context {
    explicit Context(Display& d);
    ~Context();

    Display& display;
    Setup setup{};
    std::unique_ptr<Comport> ActivePort;
    bool PortIsOpen = false;
    int ByteTimeoutMs = 1000;
    // The pauses the protocols prescribe (PumpingSleep) since the run began, for
    // telling the line's time from the host's waits.
    int64_t PrescribedPauseMs = 0;
    std::unique_ptr<X_Flash> ActiveFlasher;
    std::string FlashFilePath;
    // The firmware image of the run, read whole before anything is sent, and
    // the path it was read from.
    std::vector<uint8_t> FirmwareImage;
    std::string FirmwareImagePath;
    // Size and CRC-32 of the last run's image, kept after the run lets the
    // image go (0 when the file was not read).
    uint64_t RunImageSize = 0;
    uint32_t RunImageCrc = 0;
    // Bytes this run has handed to the port, and the device its port name
    // stood for (kept after the port is closed).
    std::atomic<uint64_t> BytesSent{0};   // read by a gang's progress lines while the run goes on
    std::string PortDevice;
    // Where the bytes on the line are recorded (qtxflash-cli --trace, the
    // window's QTXFLASH_TRACE); none when null. Shared by every port the run opens.
    std::shared_ptr<WireTrace> Trace;
    int ResetCountdown = 0;
    bool SetX2 = true;  // the window's X2 box (SetX2Box): hidden and ticked
    // T89C5xACx: read the programmed range back and compare it with the image
    // before the fuses are set (qtxflash-cli --no-read-back clears it).
    bool ReadBack = true;
    // Fast data: the rate the running loader is asked to switch the line to
    // before the erase (0: the port record's rate throughout); one the target
    // offers (FastRateProblem).
    uint32_t FastBaud = 0;
    // The rate the last run's data went at; 0 until its loader runs.
    uint32_t DataBaud = 0;

    // Where flash.stp lives: the working directory at start-up.
    std::string StartDirectory;

    ShownError lastError;
    StageFailure lastFailure;
    // Set once this run's first erase or program command has left for the
    // board: from then on an ended run may have left a partial image.
    bool FlashTouched = false;
    std::string lastPortError;  // why the last OpenTargetPort failed
    // A configuration error that ends the program (settings that cannot be
    // written, a stored device code that selects no target): the engine never
    // ends the process itself; the faces exit with this status once it is set.
    int FatalExitStatus = 0;

    // Switches a running device firmware into its boot loader (ARM targets);
    // returns 0 on success. Set to force_boot_mode; tests may replace or clear it.
    std::function<int(Context&, const std::string& portName)> forceBootMode;
    int maxBootAttempts = 3;

    // The selected target's port record (by DeviceCode); nullptr for an invalid code.
    PortRecord* SelectedPortRecord();
};

// Display routines of the main window, shared by every face.
void ResetStatus(Context& ctx);
void ShowPanelError(Context& ctx, Panel panel, const std::string& text, int countdown);
void EnableFlash(Context& ctx);
// One 200 ms tick of Timer4.
void Timer4Timer(Context& ctx);

// Opens ActivePort on the selected target's record; 0, or -1 after telling the user.
int OpenTargetPort(Context& ctx);
// Destroys ActivePort (drain, purge, close) and clears PortIsOpen.
void DestroyActivePort(Context& ctx);

// flash.stp in the start directory. LoadSetup records the working directory
// as the start directory and fills ctx.setup from the file or the defaults,
// writing it back at once; SaveSetup writes ctx.setup there. When the file
// cannot be written the user is told "Cannot generate setup flash.stp",
// FatalExitStatus becomes 1 and the result is false.
bool LoadSetup(Context& ctx);
bool SaveSetup(Context& ctx);
// The path SaveSetup writes.
std::string SetupFilePath(const Context& ctx);

// Millisecond monotonic clock.
int64_t NowMs();
// Sleeps while keeping the face responsive: a pause the protocol prescribes,
// counted in PrescribedPauseMs and marked in the trace.
void PumpingSleep(Context& ctx, int ms);
// Counts and marks a prescribed pause that the caller waits out another way.
void MarkPause(Context& ctx, int ms);
// The same for a wait of the host's own (a margin for an adapter, a quiet
// line), which is not the protocol's and is not counted as its pause.
void PumpingWait(Context& ctx, int ms);
// A USB serial adapter's default latency timer: received bytes may sit this
// long in the adapter before the host sees them.
inline constexpr int kAdapterLatencyMs = 16;
// Last wait of a transfer: 1000 x whole seconds of charTime x bytes + 1000, saturated.
int ByteTimeoutFor(uint32_t charTime, uint64_t bytes);
// A wait for the board's answer passes its deadline through ScaledDeadlineMs
// (serial/deadline.h): the value as given unless a test rig sets a factor.

}  // namespace qtx
