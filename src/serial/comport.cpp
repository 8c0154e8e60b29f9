#include "serial/comport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "serial/portmap.h"
#include "serial/termios2_io.h"

namespace qtx {

namespace {

int MsSince(uint64_t start) { return static_cast<int>(std::min<uint64_t>((Now100ns() - start) / 10000u, INT32_MAX)); }

// The one place the serial layer waits: up to timeoutMs for events on fd, a
// signal resuming the wait with the time left. A negative fd only sleeps.
// With no events asked for, only a hang-up or an error ends the wait early.
// Returns the events seen, 0 when the time ran out, -1 when poll fails.
int Await(int fd, short events, int timeoutMs) {
    const uint64_t end = Now100ns() + static_cast<uint64_t>(std::max(timeoutMs, 0)) * 10000u;
    for (;;) {
        const uint64_t now = Now100ns();
        const int left = now >= end ? 0 : static_cast<int>((end - now + 9999) / 10000u);
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, left);
        if (r > 0) return p.revents;
        if (r == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

constexpr short kHangUp = POLLHUP | POLLERR | POLLNVAL;

// Errors after which the descriptor will never work again: the adapter was
// unplugged, the pty master closed, or the tty was hung up.
bool MeansGone(int err) { return err == EIO || err == ENXIO || err == ENODEV || err == EBADF; }

std::string OpenFailureText(const std::string& name, const std::string& device, int err) {
    const std::string where = device + " (" + name + ")";
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return where + " is not present: is the device plugged in?";
    case EACCES:
    case EPERM:
        return "permission denied on " + where +
               ": add your user to the dialout group (sudo usermod -aG dialout $USER) and log in again";
    case EBUSY:
    case EWOULDBLOCK:
        return where + " is in use by another program";
    case ENOTTY:
        return where + " is not a terminal device";
    default:
        return "cannot open " + where + ": " + std::strerror(err);
    }
}

}  // namespace

uint64_t Now100ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count()) /
           100u;
}

int Comport::OpenResolved(const std::string& name, std::string& device, std::string* error, int* errnoOut) {
    device = ResolvePort(name);
    if (device.empty()) {
        const std::string problem = PortMapProblem();
        if (error) *error = problem.empty() ? name + " is not in the port map (" + PortMapDir() + ")" : problem;
        if (errnoOut) *errnoOut = ENOENT;
        return -1;
    }
    return OpenPath(name, device, error, errnoOut);
}

int Comport::OpenPath(const std::string& name, const std::string& device, std::string* error, int* errnoOut) {
    auto fail = [&](int err) {
        if (error) *error = OpenFailureText(name, device, err);
        if (errnoOut) *errnoOut = err;
        return -1;
    };
    // O_NOCTTY: a pty must never become our controlling terminal, or its
    // hang-up would kill the program. O_NONBLOCK: reads and writes never block.
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    if (!::isatty(fd)) {
        ::close(fd);
        return fail(ENOTTY);
    }
    // The lock keeps out every cooperating program, root included; TIOCEXCL
    // additionally keeps out other users' programs that take no lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return fail(EBUSY);
    }
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

int Comport::OpenDevice(const std::string& name, std::string* error, int* errnoOut) {
    std::string device;
    return OpenResolved(name, device, error, errnoOut);
}

void Comport::CloseDevice(int fd) {
    if (fd < 0) return;
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

void Comport::Open(const std::string& name) {
    std::string why;
    Handle = OpenResolved(name, DeviceName, &why, nullptr);
    if (Handle < 0) throw InitException{why};
    // Whatever we change, the next program finds the line as we found it.
    if (!detail::SaveLine(Handle, saved_)) {
        why = "cannot read the line settings of " + DeviceName + " (" + name + "): " + std::strerror(errno);
        CloseDevice(Handle);
        Handle = -1;
        throw InitException{why};
    }
}

void Comport::Release() {
    if (Handle < 0) return;
    // A driver that refuses the old settings now leaves nothing more to do.
    if (!gone_) detail::RestoreLine(Handle, saved_);
    CloseDevice(Handle);
    Handle = -1;
}

Comport::Comport(const PortRecord& record) {
    Open(record.Name());
    try {
        Configure(record);
        if (gone_) throw InitException{DeviceName + " (" + record.Name() + ") went away while it was set up"};
    } catch (...) {
        Release();
        throw;
    }
}

Comport::Comport(const std::string& name) {
    Open(name);
    if (!detail::ApplyRawMode(Handle)) {
        const std::string why = "the driver of " + DeviceName + " (" + name +
                                ") refused binary transfer settings: " + std::strerror(errno);
        Release();
        throw InitException{why};
    }
    // Nothing received before the open counts. Output is let go first, as at
    // every other purge: on a pseudo-terminal a previous session's last bytes
    // can still be on their way to the other side, and discarding them would
    // cut them off the line (a UART's own close has sent them already).
    Flush(Drain() ? TCIFLUSH : TCIOFLUSH);
    ResetLineErrors();
}

Comport::~Comport() {
    // Queued bytes leave at the settings they were written for, not at the
    // restored ones. The line time still owed is not waited for here: after an
    // abort it can be seconds; a caller whose last bytes matter purges first.
    if (Handle >= 0 && !gone_) Flush(Drain() ? TCIFLUSH : TCIOFLUSH);
    Release();
}

void Comport::Configure(const PortRecord& record) {
    detail::LineFlags cur;
    int err = detail::GetLineFlags(Handle, cur) ? 0 : errno;

    LineSettings settings;
    std::string why;
    if (!BuildLineSettings(record, cur.cflag, cur.iflag, cur.oflag, cur.lflag, settings, &why))
        throw InitException{why};

    // Bytes already handed over go out at the settings they were written for.
    WaitSent();
    if (err == 0 && !detail::ApplyLineSettings(Handle, settings)) err = errno;
    if (err != 0) {
        NoteFailure(err);
        if (gone_) return;
        throw InitException{"the driver of " + DeviceName + " (" + record.Name() + ") refused " +
                            record.FramingText() + " at " + std::to_string(record.BaudRate()) +
                            " baud: " + std::strerror(err)};
    }
    BitsPerChar = settings.BitsPerChar;
    CharTime = settings.CharTime;
    if (Trace) Trace->Line(std::to_string(record.BaudRate()) + " " + record.FramingText());

    // Hold DTR and RTS asserted. Pseudo-terminals have no modem lines and
    // answer ENOTTY or EINVAL; that is not a fault.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(Handle, TIOCMBIS, &lines);

    Flush(Drain() ? TCIFLUSH : TCIOFLUSH);
    // Errors so far belong to bytes just discarded.
    ResetLineErrors();
}

bool Comport::ApplyFormat(const LineFormat& format) {
    if (Handle < 0 || gone_ || format.baud <= 0) return false;
    detail::LineFlags cur;
    if (!detail::GetLineFlags(Handle, cur)) {
        NoteFailure(errno);
        return false;
    }
    const LineSettings settings = detail::BuildFormatSettings(format, cur);
    WaitSent();
    if (!detail::ApplyLineSettings(Handle, settings)) {
        NoteFailure(errno);
        return false;
    }
    BitsPerChar = settings.BitsPerChar;
    CharTime = settings.CharTime;
    if (Trace) {
        // What the format does not give stays as the device had it: '?'.
        std::string text = std::to_string(format.baud) + " ";
        text += format.dataBits ? char('0' + format.dataBits) : '?';
        text += format.parity ? format.parity : '?';
        text += format.stopBits ? char('0' + format.stopBits) : '?';
        Trace->Line(text);
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(Handle, TIOCMBIS, &lines);  // no modem lines on a pty: not a fault
    return true;
}

void Comport::ResetLineErrors() {
    serial_icounter_struct ic{};
    haveCounters_ = ::ioctl(Handle, TIOCGICOUNT, &ic) == 0;
    if (haveCounters_) counters_ = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
}

uint32_t Comport::TakeLineErrors() {
    if (!haveCounters_ || gone_) return 0;
    serial_icounter_struct ic{};
    if (::ioctl(Handle, TIOCGICOUNT, &ic) != 0) {
        NoteFailure(errno);
        return 0;
    }
    const Counters now{ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    uint32_t flags = 0;
    if (now.frame != counters_.frame) flags |= CE_FRAME;
    if (now.overrun != counters_.overrun) flags |= CE_OVERRUN;
    if (now.parity != counters_.parity) flags |= CE_RXPARITY;
    if (now.brk != counters_.brk) flags |= CE_BREAK;
    if (now.buf_overrun != counters_.buf_overrun) flags |= CE_RXOVER;
    counters_ = now;
    return flags;
}

uint32_t Comport::ClearErrors() { return TakeLineErrors(); }

void Comport::NoteFailure(int err) {
    if (MeansGone(err)) gone_ = true;
}

int Comport::Read(uint8_t* buffer, int n) {
    if (buffer == nullptr || n <= 0) return 0;
    return std::max(ReadQueued(buffer, n), 0);
}

int Comport::ReadQueued(uint8_t* buffer, int n) {
    if (Handle < 0 || gone_ || buffer == nullptr || n < 0) return -1;
    // A line error is reported once; the bytes stay queued.
    if (TakeLineErrors() != 0) return -1;

    // After a hang-up (adapter unplugged, pty master closed) this fails with EIO.
    int queued = 0;
    if (::ioctl(Handle, TIOCINQ, &queued) != 0) {
        NoteFailure(errno);
        return -1;
    }
    const int k = std::min(n, queued);
    if (k <= 0) {
        // An empty queue on a line whose other end has gone is a failure, not silence.
        if (Await(Handle, 0, 0) > 0) {
            gone_ = true;
            return -1;
        }
        return 0;
    }
    for (;;) {
        const ssize_t r = ::read(Handle, buffer, static_cast<size_t>(k));
        if (r > 0 && Trace) Trace->Received(buffer, static_cast<std::size_t>(r));
        if (r >= 0) return static_cast<int>(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        NoteFailure(errno);
        return -1;
    }
}

int Comport::OwedMs() const {
    const uint64_t now = Now100ns();
    if (lineFree_ <= now) return 0;
    return static_cast<int>(std::min<uint64_t>((lineFree_ - now + 9999) / 10000u, INT32_MAX));
}

int Comport::IdleMs() const {
    if (lineFree_ == 0) return INT32_MAX;
    const uint64_t now = Now100ns();
    if (lineFree_ >= now) return 0;
    return static_cast<int>(std::min<uint64_t>((now - lineFree_) / 10000u, INT32_MAX));
}

void Comport::WaitOwed() {
    const int ms = std::min(OwedMs(), WriteStallTimeoutMs);
    if (ms > 0) Await(-1, 0, ms);
}

int Comport::Write(const uint8_t* buffer, int n) {
    if (Handle < 0 || gone_ || buffer == nullptr || n <= 0) return 0;
    // The line is busy from now, or from when the bytes before these have left.
    lineFree_ = std::max(lineFree_, Now100ns()) + static_cast<uint64_t>(n) * CharTime;
    int sent = 0;
    uint64_t lastProgress = Now100ns();
    while (sent < n) {
        const ssize_t r = ::write(Handle, buffer + sent, static_cast<size_t>(n - sent));
        if (r > 0) {
            if (Trace) Trace->Sent(buffer + sent, static_cast<std::size_t>(r));
            sent += static_cast<int>(r);
            lastProgress = Now100ns();
            // A receive error is not the transmitter's: the next read reports it.
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            NoteFailure(errno);
            break;
        }
        // The driver's queue is full: wait for room, but not forever.
        const int left = WriteStallTimeoutMs - MsSince(lastProgress);
        if (left <= 0) break;
        constexpr int kStopPollMs = 20;
        const int ev = Await(Handle, POLLOUT, StopWaiting ? std::min(left, kStopPollMs) : left);
        if (ev < 0) break;
        if (ev == 0 && StopWaiting && StopWaiting()) break;
        if (ev & kHangUp) {
            gone_ = true;
            break;
        }
    }
    return sent;
}

bool Comport::Drain() {
    if (Handle < 0 || gone_) return false;
    // Watch the output queue shrink instead of calling tcdrain at once: a
    // stalled adapter would keep tcdrain waiting forever.
    int last = -1;
    uint64_t lastProgress = Now100ns();
    for (;;) {
        int queued = 0;
        if (::ioctl(Handle, TIOCOUTQ, &queued) != 0) {
            NoteFailure(errno);
            if (gone_) return false;
            break;
        }
        if (queued <= 0) break;
        if (last < 0 || queued < last) {
            last = queued;
            lastProgress = Now100ns();
        } else if (MsSince(lastProgress) >= WriteStallTimeoutMs) {
            return false;  // nothing moves; discarding is all that is left
        }
        // About the time the queue needs on the line, within 1..10 ms.
        const uint64_t needMs = static_cast<uint64_t>(queued) * CharTime / 10000u;
        Await(-1, 0, static_cast<int>(std::clamp<uint64_t>(needMs, 1, 10)));
    }
    // The queue is empty; let the last character leave the shift register.
    while (::tcdrain(Handle) != 0 && errno == EINTR) {
    }
    return true;
}

void Comport::Flush(int queue) {
    if (Handle >= 0 && !gone_) ::tcflush(Handle, queue);
}

bool Comport::WaitSent() {
    if (!Drain()) return false;
    WaitOwed();
    return true;
}

// Answers to bytes still on their way would arrive after the purge: wait for
// the line first, whatever the driver says about its queue.
void Comport::PurgeReceive() {
    WaitSent();
    Flush(TCIFLUSH);
}

// After a complete drain the transmit queue is empty and discarding it would
// change nothing on a UART; on a pseudo-terminal it would drop bytes still on
// their way to the other side. So discard only what a stalled line kept.
void Comport::PurgeTransmit() {
    if (!WaitSent()) Flush(TCOFLUSH);
}

bool Comport::WaitReadable(int timeoutMs) {
    if (Handle < 0) return false;
    if (gone_) return true;
    // Data, hang-up or error: Read will tell which.
    return Await(Handle, POLLIN, timeoutMs) > 0;
}

int Comport::EnumeratePorts(int count, void (*callback)(const char* name)) {
    const std::vector<PortEntry> map = PortMap();  // once, not once per name
    int found = 0;
    for (int i = 1; i <= count; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", i);
        const auto entry = std::find_if(map.begin(), map.end(), [i](const PortEntry& e) { return ComNumber(e.name) == i; });
        if (entry == map.end()) continue;
        int err = 0;
        const int fd = OpenPath(name, entry->device, nullptr, &err);
        // Present: it opens, or someone else holds it, or this user may not open it.
        const bool present = fd >= 0 || err == EBUSY || err == EACCES || err == EPERM;
        if (fd >= 0) CloseDevice(fd);
        if (!present) continue;
        ++found;
        if (callback) callback(name);
    }
    return found;
}

}  // namespace qtx
