// Serial port on POSIX termios. Reads never wait, writes complete, purges let
// pending output drain first; a port held by another program is "in use".
#pragma once

#include <cstdint>
#include <string>

#include "settings/setup.h"

namespace qtx {

// A write that cannot hand over a single byte for this long gives up and
// returns the count so far, so a stuck line never hangs the program.
inline constexpr int kWriteStallTimeoutMs = 10000;

// Line settings that Configure derives from a port record. Kept apart from the
// device so that the exact termios bits can be tested without hardware (a
// pseudo-terminal silently drops data bits and parity).
struct LineSettings {
    uint32_t BitsPerChar = 0;
    uint32_t CharTime = 0;      // one character in 100-ns units
    uint32_t baud = 0;
    uint32_t cflag = 0, iflag = 0, oflag = 0, lflag = 0;  // termios2 flags
    bool usesBother = false;    // rate without a B-constant: BOTHER + c_ospeed
};

// Computes the settings for record applied to a device whose current flags are
// given. Returns false (and an explanation) for a record it cannot apply, such
// as baud rate 0 or a negative one.
bool BuildLineSettings(const PortRecord& record, uint32_t curCflag, uint32_t curIflag, uint32_t curOflag,
                       uint32_t curLflag, LineSettings& out, std::string* error);

class Comport {
public:
    // Carries why the port could not be opened or configured, for the status
    // line and the command-line tool (the message box text itself is fixed).
    struct InitException {
        std::string reason;
    };

    explicit Comport(const PortRecord& record);  // throws InitException
    ~Comport();
    Comport(const Comport&) = delete;
    Comport& operator=(const Comport&) = delete;

    // Applies the record on the open device; keeps the handle. Throws
    // InitException for a record that cannot be applied (baud rate 0).
    void Configure(const PortRecord& record);

    int Read(uint8_t* buffer, int n);          // never waits
    int Write(const uint8_t* buffer, int n);   // returns the count written
    uint32_t ClearErrors();                    // 0 when no line error was pending
    void PurgeReceive();
    void PurgeTransmit();

    // Waits up to timeoutMs for received data (or a hang-up). Returns true when
    // a Read may return something.
    bool WaitReadable(int timeoutMs);
    // True once the device has gone away (USB adapter unplugged, pty closed).
    bool Gone() const { return gone_; }

    // Line time still owed, in milliseconds (rounded up): how long until the
    // last byte handed to Write has left the line at the current character
    // time. Driver queues, USB adapters and pseudo-terminals hold bytes that
    // leave later, and neither tcdrain nor TIOCOUTQ can be trusted to say when,
    // so every wait for an answer adds this to its own timeout.
    int OwedMs() const;

    // Opens a port by name ("COM3") through the port map: returns a file
    // descriptor or -1; error (optional) receives why, errnoOut the errno
    // (EBUSY when another program holds the port, EACCES when the user may not
    // open it, ENOENT when the name or the device is unknown). The descriptor
    // holds the port's lock and exclusive mode: release it with CloseDevice.
    static int OpenDevice(const std::string& name, std::string* error = nullptr, int* errnoOut = nullptr);
    // Releases exclusive mode and the lock of a descriptor from OpenDevice, then closes it.
    static void CloseDevice(int fd);
    // Probes COM1..COMcount in order; calls callback for each present port.
    static int EnumeratePorts(int count, void (*callback)(const char* name));

    int Handle = -1;
    uint32_t BitsPerChar = 0;
    uint32_t CharTime = 0;
    std::string DeviceName;   // what the port name resolved to, for messages
    // How long Write and the output drain wait without progress before giving up.
    int WriteStallTimeoutMs = kWriteStallTimeoutMs;

private:
    static int OpenResolved(const std::string& name, std::string& device, std::string* error, int* errnoOut);
    static int OpenPath(const std::string& name, const std::string& device, std::string* error, int* errnoOut);
    // Line-error flags gathered since the last look (0 when the driver has no counters).
    uint32_t TakeLineErrors();
    void ResetLineErrors();
    // Marks the port gone for errors that mean the device has disappeared.
    void NoteFailure(int err);
    // Waits until queued output has left the line; gives up on a stalled line.
    bool Drain();  // true when all output has left; false when the line stalled or is gone
    // Sleeps until the owed line time has passed (never longer than the stall timeout).
    void WaitOwed();
    void Flush(int queue);
    struct Counters { int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0; } counters_{};
    bool haveCounters_ = false;
    int64_t lineFreeNs_ = 0;   // steady clock: when the last byte written leaves the line
    bool gone_ = false;
};

// Line error flags returned by ClearErrors: one bit per kind of line error,
// the values that the flashers and the tests compare.
enum : uint32_t {
    CE_RXOVER = 0x0001,
    CE_OVERRUN = 0x0002,
    CE_RXPARITY = 0x0004,
    CE_FRAME = 0x0008,
    CE_BREAK = 0x0010,
};

}  // namespace qtx
