// Uses termios2 from the kernel headers (any baud rate, split rates), which
// clash with <termios.h>.
#include "raw_client.h"

#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

#include "loaders/loader_image.h"

namespace qtx::test {

namespace {
using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms > 0 ? int(ms) : 0;
}
}  // namespace

RawClient::RawClient(const std::string& path, uint32_t txBaud, uint32_t rxBaud) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    SetBaud(txBaud, rxBaud);
}

RawClient::~RawClient() { Close(); }

void RawClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawClient::SetBaud(uint32_t txBaud, uint32_t rxBaud) {
    termios2 t{};
    if (::ioctl(fd_, TCGETS2, &t) != 0) throw std::runtime_error("TCGETS2 failed");
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag &= EXTPROC;   // raw, but leave the board's change signalling alone
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | PARENB | CSTOPB);
    t.c_cflag |= CS8 | CREAD | CLOCAL | BOTHER | (BOTHER << IBSHIFT);
    t.c_ospeed = txBaud;
    t.c_ispeed = rxBaud ? rxBaud : txBaud;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::ioctl(fd_, TCSETS2, &t) != 0) throw std::runtime_error("TCSETS2 failed");
}

void RawClient::SetCooked() {
    termios2 t{};
    ::ioctl(fd_, TCGETS2, &t);
    t.c_lflag |= ICANON | ECHO | ISIG;
    ::ioctl(fd_, TCSETS2, &t);
}

uint32_t RawClient::LocalFlags() const {
    termios2 t{};
    ::ioctl(fd_, TCGETS2, &t);
    return t.c_lflag;
}

void RawClient::Write(const std::vector<uint8_t>& data) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done < data.size()) {
        const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += std::size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
        if (Clock::now() > deadline) throw std::runtime_error("write stalled");
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 10);
    }
}

std::vector<uint8_t> RawClient::Read(std::size_t n, int timeoutMs) {
    std::vector<uint8_t> out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, Remaining(deadline)) <= 0) break;
        uint8_t buf[256];
        const ssize_t r = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
        if (r > 0)
            out.insert(out.end(), buf, buf + r);
        else if (r == 0 || (errno != EAGAIN && errno != EINTR))
            break;   // hung up
    }
    return out;
}

bool RawClient::Readable(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

bool RawClient::WaitHangup(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        ::poll(&p, 1, Remaining(deadline));
        if (p.revents & (POLLHUP | POLLERR)) return true;
        if (p.revents & POLLIN) {
            uint8_t b;
            const ssize_t r = ::read(fd_, &b, 1);
            if (r == 0 || (r < 0 && errno == EIO)) return true;
        }
        if (Remaining(deadline) == 0) return false;
    }
}

std::vector<uint8_t> C166Image() {
    return std::vector<uint8_t>(kLoaderC166.data, kLoaderC166.data + kLoaderC166.size);
}

}  // namespace qtx::test
