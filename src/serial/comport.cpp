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

using Clock = std::chrono::steady_clock;

int MsSince(Clock::time_point start) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

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

Comport::Comport(const PortRecord& record) {
    std::string why;
    Handle = OpenResolved(record.Name(), DeviceName, &why, nullptr);
    if (Handle < 0) throw InitException{why};
    try {
        Configure(record);
    } catch (...) {
        CloseDevice(Handle);
        Handle = -1;
        throw;
    }
}

Comport::~Comport() {
    if (Handle < 0) return;
    if (!gone_) Flush(Drain() ? TCIFLUSH : TCIOFLUSH);
    CloseDevice(Handle);
    Handle = -1;
}

void Comport::Configure(const PortRecord& record) {
    detail::LineFlags cur;
    if (!detail::GetLineFlags(Handle, cur)) cur = {};  // build the settings from scratch

    LineSettings settings;
    std::string why;
    if (!BuildLineSettings(record, cur.cflag, cur.iflag, cur.oflag, cur.lflag, settings, &why))
        throw InitException{why};

    // Bytes already handed over go out at the settings they were written for.
    if (Drain()) WaitOwed();
    // A driver that refuses part of the settings leaves the line as it accepted it.
    detail::ApplyLineSettings(Handle, settings);
    BitsPerChar = settings.BitsPerChar;
    CharTime = settings.CharTime;

    // Hold DTR and RTS asserted. Pseudo-terminals have no modem lines and
    // answer ENOTTY or EINVAL; that is not a fault.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(Handle, TIOCMBIS, &lines);

    Flush(Drain() ? TCIFLUSH : TCIOFLUSH);
    // Errors so far belong to bytes just discarded.
    ResetLineErrors();
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
    if (Handle < 0 || gone_ || buffer == nullptr || n <= 0) return 0;
    // A line error is reported once as an empty read; the bytes stay queued.
    if (TakeLineErrors() != 0) return 0;

    // After a hang-up (adapter unplugged, pty master closed) this fails with EIO.
    int queued = 0;
    if (::ioctl(Handle, TIOCINQ, &queued) != 0) {
        NoteFailure(errno);
        return 0;
    }
    if (queued <= 0) return 0;
    const int k = std::min(n, queued);
    for (;;) {
        const ssize_t r = ::read(Handle, buffer, static_cast<size_t>(k));
        if (r >= 0) return static_cast<int>(r);
        if (errno == EINTR) continue;
        NoteFailure(errno);
        return 0;
    }
}

namespace {
int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}
}  // namespace

int Comport::OwedMs() const {
    const int64_t owed = lineFreeNs_ - SteadyNs();
    if (owed <= 0) return 0;
    return static_cast<int>(std::min<int64_t>((owed + 999999) / 1000000, INT32_MAX));
}

void Comport::WaitOwed() {
    const int ms = std::min(OwedMs(), WriteStallTimeoutMs);
    if (ms > 0) ::poll(nullptr, 0, ms);
}

int Comport::Write(const uint8_t* buffer, int n) {
    if (Handle < 0 || gone_ || buffer == nullptr || n <= 0) return 0;
    // The line is busy from now, or from when the bytes before these have left.
    lineFreeNs_ = std::max(lineFreeNs_, SteadyNs()) + static_cast<int64_t>(n) * CharTime * 100;
    int sent = 0;
    auto lastProgress = Clock::now();
    while (sent < n) {
        const ssize_t r = ::write(Handle, buffer + sent, static_cast<size_t>(n - sent));
        if (r > 0) {
            sent += static_cast<int>(r);
            lastProgress = Clock::now();
            if (TakeLineErrors() != 0) break;  // stop after the write that saw the error
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
        pollfd p{Handle, POLLOUT, 0};
        const int pr = ::poll(&p, 1, left);
        if (pr < 0 && errno != EINTR) break;
        if (pr > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
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
    auto lastProgress = Clock::now();
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
            lastProgress = Clock::now();
        } else if (MsSince(lastProgress) >= WriteStallTimeoutMs) {
            return false;  // nothing moves; discarding is all that is left
        }
        // About the time the queue needs on the line, within 1..10 ms.
        const uint64_t needMs = static_cast<uint64_t>(queued) * CharTime / 10000u;
        ::poll(nullptr, 0, static_cast<int>(std::clamp<uint64_t>(needMs, 1, 10)));
    }
    // The queue is empty; let the last character leave the shift register.
    while (::tcdrain(Handle) != 0 && errno == EINTR) {
    }
    return true;
}

void Comport::Flush(int queue) {
    if (Handle >= 0 && !gone_) ::tcflush(Handle, queue);
}

// Answers to bytes still on their way would arrive after the purge: wait for
// the line first, whatever the driver says about its queue.
void Comport::PurgeReceive() {
    const bool drained = Drain();
    if (drained) WaitOwed();
    Flush(TCIFLUSH);
}

// After a complete drain the transmit queue is empty and discarding it would
// change nothing on a UART; on a pseudo-terminal it would drop bytes still on
// their way to the other side. So discard only what a stalled line kept.
void Comport::PurgeTransmit() {
    if (!Drain()) Flush(TCOFLUSH);
    else WaitOwed();
}

bool Comport::WaitReadable(int timeoutMs) {
    if (Handle < 0) return false;
    if (gone_) return true;
    const auto start = Clock::now();
    const int total = std::max(timeoutMs, 0);
    for (;;) {
        pollfd p{Handle, POLLIN, 0};
        const int left = std::max(total - MsSince(start), 0);
        const int r = ::poll(&p, 1, left);
        if (r > 0) return true;  // data, hang-up or error: Read will tell which
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
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
