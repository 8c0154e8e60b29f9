// Serial port on POSIX termios, the one serial core under the flashers and
// the command protocol. Reads never wait, writes complete, purges let pending
// output drain first; a port held by another program is "in use"; the line
// settings a port had before the open are put back at close.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "settings/setup.h"
#include "serial/wire_trace.h"

namespace qtx {

// A write that cannot hand over a single byte for this long gives up and
// returns the count so far, so a stuck line never hangs the program; so does
// a drain whose queue stops shrinking.
inline constexpr int kWriteStallTimeoutMs = 10000;

// The monotonic clock of every serial wait and every protocol deadline, in
// 100-ns units (the unit of CharTime).
uint64_t Now100ns();

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

// A line format in which each part may be left out: a part not given stays as
// the device has it. The command protocol states its framing this way.
struct LineFormat {
    int32_t baud = 0;
    int dataBits = 0;   // 7 or 8; 0 keeps the device's
    char parity = 0;    // 'N', 'O' or 'E'; 0 keeps the device's
    int stopBits = 0;   // 1 or 2; 0 keeps the device's
};

namespace detail {
// A device's termios2 record as found at open, kept as its bytes without the
// kernel header (see termios2_io.h; the size is checked there).
struct SavedLine {
    alignas(uint32_t) unsigned char bytes[44] = {};
};
}  // namespace detail

class Comport {
public:
    // Carries why the port could not be opened or configured, for the status
    // line and the command-line tool (the message box text itself is fixed).
    struct InitException {
        std::string reason;
    };

    // Opens the port named in record and applies the record. Throws
    // InitException when the port cannot be opened or its driver refuses the
    // record.
    explicit Comport(const PortRecord& record);
    // Opens a port by name for binary transfers and leaves its rate and
    // framing as they are (ApplyFormat sets them); the receive queue starts
    // empty, what was still being sent is let go first.
    // Throws InitException.
    explicit Comport(const std::string& name);
    // Lets the driver's queue drain, puts the line settings back as they were
    // before the open, and closes.
    ~Comport();
    Comport(const Comport&) = delete;
    Comport& operator=(const Comport&) = delete;

    // Applies the record on the open device; keeps the handle. Throws
    // InitException for a record that cannot be applied (baud rate 0) or that
    // the driver refuses. A device that has gone away throws nothing here:
    // Gone() reports it, as after any other call.
    void Configure(const PortRecord& record);
    // Applies a rate (above 0) and the parts of a framing that format gives,
    // with DTR and RTS on and no output flow control. False, with the line as
    // it was, for a rate of 0 or less; false when the driver refuses or the
    // device has gone.
    bool ApplyFormat(const LineFormat& format);

    int Read(uint8_t* buffer, int n);          // never waits
    // As Read, but tells a failure from silence: bytes read, 0 when nothing
    // is queued, or -1 after a line error (reported once; the bytes stay
    // queued), a failed read or a hang-up.
    int ReadQueued(uint8_t* buffer, int n);
    int Write(const uint8_t* buffer, int n);   // returns the count written
    uint32_t ClearErrors();                    // 0 when no line error was pending
    void PurgeReceive();
    void PurgeTransmit();

    // Waits up to timeoutMs for received data (or a hang-up). Returns true when
    // a Read may return something.
    bool WaitReadable(int timeoutMs);
    // Waits until the driver's output queue has emptied and its last character
    // has left; gives up when the queue stops shrinking for the stall timeout.
    // False when the line stalled or the device is gone. Bytes an adapter
    // still holds may be on their way (see OwedMs).
    bool Drain();
    // True once the device has gone away (USB adapter unplugged, pty closed).
    bool Gone() const { return gone_; }

    // Line time still owed, in milliseconds (rounded up): how long until the
    // last byte handed to Write has left the line at the current character
    // time. Driver queues, USB adapters and pseudo-terminals hold bytes that
    // leave later, and neither tcdrain nor TIOCOUTQ can be trusted to say when,
    // so every wait for an answer adds this to its own timeout.
    int OwedMs() const;
    // How long ago the last byte handed to Write left the line, in whole
    // milliseconds: 0 while some is owed, INT_MAX when nothing was written.
    int IdleMs() const;

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
    // Asked every few milliseconds while Write waits for room in a full output
    // queue; true ends the write short. A queue that drains slowly (a paced
    // line, a flow-controlled adapter) must not keep an abort waiting.
    std::function<bool()> StopWaiting;
    // Where what crosses the line is recorded; none when null.
    WireTrace* Trace = nullptr;

private:
    // Opens name and saves its line settings; throws InitException.
    void Open(const std::string& name);
    // Restores the saved line settings (where the device is still there) and closes.
    void Release();
    static int OpenResolved(const std::string& name, std::string& device, std::string* error, int* errnoOut);
    static int OpenPath(const std::string& name, const std::string& device, std::string* error, int* errnoOut);
    // Line-error flags gathered since the last look (0 when the driver has no counters).
    uint32_t TakeLineErrors();
    void ResetLineErrors();
    // Marks the port gone for errors that mean the device has disappeared.
    void NoteFailure(int err);
    // Drain, then the line time still owed; false as Drain.
    bool WaitSent();
    // Sleeps until the owed line time has passed (never longer than the stall timeout).
    void WaitOwed();
    void Flush(int queue);
    struct Counters { int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0; } counters_{};
    bool haveCounters_ = false;
    uint64_t lineFree_ = 0;    // Now100ns: when the last byte written leaves the line
    bool gone_ = false;
    detail::SavedLine saved_{};
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
