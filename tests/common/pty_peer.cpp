#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace qtx::test {

namespace {
long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
}  // namespace

PtyPeer::PtyPeer(const std::string& portName) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
    slave_ = ptsname(master_);
    termios t;
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    char tmpl[] = "/tmp/qtxpeer-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("no temp dir");
    dir_ = tmpl;
    std::filesystem::create_symlink(slave_, dir_ + "/" + portName);
    setenv("QTXFLASH_PORTS", dir_.c_str(), 1);
}

PtyPeer::~PtyPeer() {
    Close();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void PtyPeer::Close() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

std::vector<uint8_t> PtyPeer::Receive(std::size_t n, int timeoutMs) {
    std::vector<uint8_t> out;
    const long long end = NowMs() + timeoutMs;
    while (out.size() < n) {
        const long long left = end - NowMs();
        if (left <= 0) break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        if (!(p.revents & POLLIN)) {
            usleep(2000);  // no slave open yet
            continue;
        }
        uint8_t buf[4096];
        const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) {
            usleep(2000);
            continue;
        }
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

std::vector<uint8_t> PtyPeer::Drain(int quietMs) {
    std::vector<uint8_t> out;
    for (;;) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0 || !(p.revents & POLLIN)) break;
        uint8_t buf[4096];
        const ssize_t r = ::read(master_, buf, sizeof buf);
        if (r <= 0) break;
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

void PtyPeer::Send(const std::vector<uint8_t>& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t w = ::write(master_, bytes.data() + off, bytes.size() - off);
        if (w <= 0) throw std::runtime_error("pty write failed");
        off += static_cast<std::size_t>(w);
    }
}

}  // namespace qtx::test
