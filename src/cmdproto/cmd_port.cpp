// termios2 (any baud rate through BOTHER) comes from the kernel header, which
// clashes with <termios.h>; this file therefore speaks the ioctls directly.
#include "cmdproto/cmd_port.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "serial/portmap.h"

namespace qtx {

namespace {

static_assert(sizeof(CmdLineSettings::cc) == NCCS, "termios2 control characters");

struct RateCode {
    uint32_t rate;
    tcflag_t code;
};

// Rates with a B-constant; every other rate goes through BOTHER.
constexpr RateCode kRateCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {150, B150},         {200, B200},
    {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},       {2400, B2400},
    {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t RateCode(uint32_t rate) {
    for (const auto& rc : kRateCodes)
        if (rc.rate == rate) return rc.code;
    return BOTHER;
}

CmdLineSettings FromKernel(const termios2& t) {
    CmdLineSettings s;
    s.iflag = t.c_iflag;
    s.oflag = t.c_oflag;
    s.cflag = t.c_cflag;
    s.lflag = t.c_lflag;
    s.line = t.c_line;
    std::memcpy(s.cc, t.c_cc, sizeof s.cc);
    s.ispeed = t.c_ispeed;
    s.ospeed = t.c_ospeed;
    return s;
}

termios2 ToKernel(const CmdLineSettings& s) {
    termios2 t{};
    t.c_iflag = s.iflag;
    t.c_oflag = s.oflag;
    t.c_cflag = s.cflag;
    t.c_lflag = s.lflag;
    t.c_line = s.line;
    std::memcpy(t.c_cc, s.cc, sizeof s.cc);
    t.c_ispeed = s.ispeed;
    t.c_ospeed = s.ospeed;
    return t;
}

bool ReadCounts(int fd, CmdErrorCounts& out) {
    serial_icounter_struct ic{};
    if (::ioctl(fd, TIOCGICOUNT, &ic) != 0) return false;
    out = {ic.frame, ic.overrun, ic.parity, ic.brk, ic.buf_overrun};
    return true;
}

// Reads and clears the error state: true when the driver counted a line error
// since the last look.
bool TakeLineError(CmdPort& port) {
    if (!port.haveCounters) return false;
    CmdErrorCounts now;
    if (!ReadCounts(port.handle, now)) return false;
    const bool changed = !(now == port.counts);
    port.counts = now;
    return changed;
}

// Closed by the other end (adapter unplugged, pty master gone) or broken.
bool HungUp(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

int64_t MsSince(uint64_t start100ns) { return static_cast<int64_t>((cmd_now_100ns() - start100ns) / 10000u); }

// Waits until the output queue is empty; gives up when it stops shrinking.
bool DrainOutput(int fd) {
    int last = -1;
    uint64_t lastProgress = cmd_now_100ns();
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0) return false;
        if (queued <= 0) break;
        if (last < 0 || queued < last) {
            last = queued;
            lastProgress = cmd_now_100ns();
        } else if (MsSince(lastProgress) >= kCmdStallTimeoutMs) {
            return false;
        }
        ::poll(nullptr, 0, 2);
    }
    // The queue is empty: let the last character leave the shift register (tcdrain).
    while (::ioctl(fd, TCSBRK, 1) != 0) {
        if (errno != EINTR) break;
    }
    return true;
}

void ReleaseDevice(int fd) {
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

}  // namespace

uint64_t cmd_now_100ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

int cmd_port_open(CmdPort& port, const std::string& name) {
    if (port.handle != kCmdInvalidHandle) cmd_port_close(port);
    port.handle = kCmdInvalidHandle;

    const std::string device = ResolvePort(name);
    if (device.empty()) return -1;
    // O_NOCTTY: a pty must never become the controlling terminal (its hang-up
    // would end the program). O_NONBLOCK: no call ever blocks in the driver.
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    if (!::isatty(fd)) {
        ::close(fd);
        return -1;
    }
    // Exclusive: a port another program holds is "in use", never shared.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return -1;
    }
    ::ioctl(fd, TIOCEXCL);

    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0) {
        ReleaseDevice(fd);
        return -1;
    }
    port.handle = fd;
    port.savedLine = FromKernel(t);
    port.savedTimeouts = {t.c_cc[VMIN], t.c_cc[VTIME]};

    // Binary transfer: no canonical input, echo, signals or character
    // translation, since frames carry any byte value. EXTPROC stays
    // as it is (a simulated board relies on it), and so do baud and framing.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY |
                                         IMAXBEL | IUTF8);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ISIG |
                                         IEXTEN | XCASE | TOSTOP);
    // No read timeouts: reads only ever ask for what is queued.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::ioctl(fd, TCSETS2, &t);

    // Nothing from before the open counts: clear both queues.
    ::ioctl(fd, TCFLSH, TCIOFLUSH);
    port.haveCounters = ReadCounts(fd, port.counts);
    return 0;
}

int cmd_port_close(CmdPort& port) {
    if (port.handle == kCmdInvalidHandle) return 0;
    const int fd = port.handle;
    // Bytes still queued must leave at the rate they were written for, not at
    // the restored one.
    if (!HungUp(fd)) DrainOutput(fd);
    termios2 t = ToKernel(port.savedLine);
    t.c_cc[VMIN] = port.savedTimeouts.vmin;
    t.c_cc[VTIME] = port.savedTimeouts.vtime;
    ::ioctl(fd, TCSETS2, &t);
    ReleaseDevice(fd);
    port.handle = kCmdInvalidHandle;
    port.haveCounters = false;
    return 0;
}

int cmd_port_set_line(CmdPort& port, int32_t baud, const std::string& framing) {
    if (port.handle == kCmdInvalidHandle) return -1;
    // Rate 0 would hang the line up (B0 drops DTR); a negative one is meaningless.
    if (baud <= 0) return -1;
    termios2 t{};
    if (::ioctl(port.handle, TCGETS2, &t) != 0) return -1;

    tcflag_t cflag = t.c_cflag;
    for (const char c : framing) {
        switch (c) {
        case '7': cflag = (cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7; break;
        case '8': cflag = (cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8; break;
        case 'n':
        case 'N': cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR); break;
        case 'o':
        case 'O': cflag = (cflag | PARENB | PARODD) & ~static_cast<tcflag_t>(CMSPAR); break;
        case 'e':
        case 'E': cflag = (cflag | PARENB) & ~static_cast<tcflag_t>(PARODD | CMSPAR); break;
        case '1': cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
        case '2': cflag |= CSTOPB; break;
        default: return -3;  // nothing has been applied yet
        }
    }

    // Input at the output rate (CIBAUD 0), the rate as given.
    const uint32_t rate = static_cast<uint32_t>(baud);
    cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    cflag |= RateCode(rate);
    t.c_ispeed = rate;
    t.c_ospeed = rate;

    // Flow control: none on output (no CTS, no XON/XOFF), modem status lines
    // ignored, DTR and RTS held on (below). XON/XOFF on input and the parity
    // check keep what the port had.
    cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    cflag |= CLOCAL | CREAD;
    t.c_cflag = cflag;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON);

    ::ioctl(port.handle, TCSETS2, &t);  // the driver's answer is not examined
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(port.handle, TIOCMBIS, &lines);  // ptys have no modem lines
    return 0;
}

int cmd_port_read(CmdPort& port, uint8_t* buffer, int maxCount) {
    if (port.handle == kCmdInvalidHandle || buffer == nullptr || maxCount < 0) return -1;
    if (TakeLineError(port)) return -1;
    int queued = 0;
    if (::ioctl(port.handle, TIOCINQ, &queued) != 0) return -1;
    const int n = std::min(maxCount, queued);
    if (n <= 0) {
        // An empty queue on a line whose other end has gone is a failure, not silence.
        return HungUp(port.handle) ? -1 : 0;
    }
    for (;;) {
        const ssize_t r = ::read(port.handle, buffer, static_cast<size_t>(n));
        if (r >= 0) return static_cast<int>(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return 0;
        return -1;
    }
}

int cmd_port_write(CmdPort& port, const uint8_t* data, int count) {
    if (port.handle == kCmdInvalidHandle || data == nullptr || count <= 0) return 0;
    int written = 0;
    uint64_t lastProgress = cmd_now_100ns();
    while (written < count) {
        const ssize_t r = ::write(port.handle, data + written, static_cast<size_t>(count - written));
        if (r > 0) {
            written += static_cast<int>(r);
            lastProgress = cmd_now_100ns();
            if (TakeLineError(port)) break;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) break;  // the write failed
        // The driver's queue is full: wait for room, but not for ever.
        const int64_t left = kCmdStallTimeoutMs - MsSince(lastProgress);
        if (left <= 0) break;
        pollfd p{port.handle, POLLOUT, 0};
        const int pr = ::poll(&p, 1, static_cast<int>(left));
        if (pr < 0 && errno != EINTR) break;
        if (pr > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) break;
    }
    return written;
}

int cmd_port_read_timed(CmdPort& port, uint8_t* buffer, int maxCount, uint32_t timeoutMs) {
    if (maxCount <= 0) return -1;
    const uint64_t deadline = cmd_now_100ns() + uint64_t{timeoutMs} * 10000u;
    for (;;) {
        const int r = cmd_port_read(port, buffer, maxCount);
        if (r > 0) return r;
        if (r < 0) return -1;
        const uint64_t now = cmd_now_100ns();
        if (now > deadline) return -2;
        // Sleep in the driver until a byte comes or the deadline has passed
        // (just past it, so the next look at the clock ends the wait) instead
        // of spinning: the simulated board shares the two cores.
        const uint64_t ns = (deadline - now) * 100u + 100u;
        const timespec ts{static_cast<time_t>(ns / 1000000000u), static_cast<long>(ns % 1000000000u)};
        pollfd p{port.handle, POLLIN, 0};
        ::ppoll(&p, 1, &ts, nullptr);
    }
}

bool cmd_port_flush(CmdPort& port) {
    if (port.handle == kCmdInvalidHandle || HungUp(port.handle)) return false;
    return DrainOutput(port.handle);
}

CmdPortNode::~CmdPortNode() {
    std::unique_ptr<CmdPortNode> rest = std::move(next);
    while (rest) rest = std::move(rest->next);
}

int cmd_port_list(std::unique_ptr<CmdPortNode>& list, int highest) {
    cmd_port_list_free(list);
    auto head = std::make_unique<CmdPortNode>();
    CmdPortNode* last = head.get();
    int found = 0;
    for (int i = 1; i <= highest; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", i);
        CmdPort scratch;
        if (cmd_port_open(scratch, name) != 0) continue;
        cmd_port_close(scratch);
        last->name = name;
        last->next = std::make_unique<CmdPortNode>();
        last = last->next.get();
        ++found;
    }
    if (found > 0) list = std::move(head);
    return found;
}

void cmd_port_list_free(std::unique_ptr<CmdPortNode>& list) { list.reset(); }

}  // namespace qtx
