// termios2 comes from the kernel headers, which clash with <termios.h>; this
// file therefore uses the ioctls directly.
#include "sim/pty_port.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qtx::sim {

namespace {
[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

uint32_t SpeedOf(const termios2& t, bool input) {
    const uint32_t s = input ? t.c_ispeed : t.c_ospeed;
    if (input && s == 0) return t.c_ospeed;   // input speed 0 means "same as output"
    return s;
}
}  // namespace

PtyPort::PtyPort() {
    fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) Fail("cannot open a pseudo-terminal");
    if (::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0) {
        const int err = errno;
        Close();
        errno = err;
        Fail("cannot unlock the pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(fd_, name, sizeof name) != 0) {
        Close();
        Fail("cannot name the pseudo-terminal");
    }
    slavePath_ = name;
    // Opened before the watch below, so it never counts as a host's open.
    slaveFd_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slaveFd_ < 0) {
        const int err = errno;
        Close();
        errno = err;
        Fail("cannot open the slave " + slavePath_);
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    int one = 1;
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0 || ::ioctl(fd_, TIOCPKT, &one) != 0) {
        const int err = errno;
        Close();
        errno = err;
        Fail("cannot set up the pseudo-terminal");
    }
    notifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notifyFd_ < 0 || ::inotify_add_watch(notifyFd_, slavePath_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        const int err = errno;
        Close();
        errno = err;
        Fail("cannot watch " + slavePath_ + " for opens and closes");
    }
    Arm();
}

PtyPort::~PtyPort() { Close(); }

void PtyPort::Close() {
    if (notifyFd_ >= 0) ::close(notifyFd_);
    if (fd_ >= 0) ::close(fd_);   // first: the host sees the hang-up of an unplugged adapter
    if (slaveFd_ >= 0) ::close(slaveFd_);
    notifyFd_ = fd_ = slaveFd_ = -1;
}

bool PtyPort::OpenedElsewhere() const {
    DIR* procs = ::opendir("/proc");
    if (!procs) return false;
    const std::string self = std::to_string(::getpid());
    bool found = false;
    while (const dirent* p = ::readdir(procs)) {
        if (found) break;
        if (p->d_name[0] < '1' || p->d_name[0] > '9' || self == p->d_name) continue;
        const std::string dir = std::string("/proc/") + p->d_name + "/fd";
        DIR* fds = ::opendir(dir.c_str());
        if (!fds) continue;
        while (const dirent* f = ::readdir(fds)) {
            char target[256];
            const ssize_t n = ::readlink((dir + "/" + f->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && slavePath_.compare(0, std::string::npos, target, std::size_t(n)) == 0) {
                found = true;
                break;
            }
        }
        ::closedir(fds);
    }
    ::closedir(procs);
    return found;
}

bool PtyPort::Armed() const {
    termios2 t{};
    if (::ioctl(fd_, TCGETS2, &t) != 0) return false;
    return t.c_iflag == 0 && t.c_oflag == 0 && t.c_lflag == EXTPROC && (t.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL) &&
           t.c_cc[VMIN] == 1 && t.c_cc[VTIME] == 0;
}

void PtyPort::DiscardInput() {
    if (slaveFd_ >= 0) ::ioctl(slaveFd_, TCFLSH, TCIFLUSH);
}

void PtyPort::Arm() {
    termios2 t{};
    if (::ioctl(fd_, TCGETS2, &t) != 0) Fail("cannot read the pseudo-terminal settings");
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = EXTPROC;
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // TCSETSF2 on the master flushes the slave's input queue.
    if (::ioctl(fd_, TCSETSF2, &t) != 0) Fail("cannot set the pseudo-terminal to raw mode");
}

LineSettings PtyPort::QueryLine() const {
    termios2 t{};
    LineSettings line;
    if (::ioctl(fd_, TCGETS2, &t) != 0) return line;
    line.txBaud = SpeedOf(t, false);
    line.rxBaud = SpeedOf(t, true);
    switch (t.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    line.parity = (t.c_cflag & PARENB) != 0;
    line.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    line.extproc = (t.c_lflag & EXTPROC) != 0;
    return line;
}

}  // namespace qtx::sim
