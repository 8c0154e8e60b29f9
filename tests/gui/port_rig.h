// A private port map of pseudo-terminals for the dialog tests: COMn links to
// pty slaves (and to nothing), and a second process that holds a port.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "sim_board.h"

namespace qtx::test {

class PortRig {
public:
    PortRig() : dir_(MakeTempDir("portrig")) { setenv("QTXFLASH_PORTS", dir_.c_str(), 1); }
    ~PortRig() {
        for (auto& [name, fd] : masters_) ::close(fd);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    PortRig(const PortRig&) = delete;
    PortRig& operator=(const PortRig&) = delete;

    // A pty linked as name; returns the slave's path.
    std::string AddPty(const std::string& name) {
        const int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) throw std::runtime_error("no pty");
        termios t;
        tcgetattr(m, &t);
        cfmakeraw(&t);
        tcsetattr(m, TCSANOW, &t);
        const std::string slave = ptsname(m);
        std::filesystem::create_symlink(slave, dir_ + "/" + name);
        masters_[name] = m;
        return slave;
    }
    // A name whose device is gone.
    void AddDangling(const std::string& name) { std::filesystem::create_symlink("/dev/qtx-no-such-tty", dir_ + "/" + name); }
    int Master(const std::string& name) const { return masters_.at(name); }
    const std::string& Dir() const { return dir_; }

private:
    std::string dir_;
    std::map<std::string, int> masters_;
};

// Another process that opens a port and holds its lock, as a terminal program would.
class PortHolder {
public:
    explicit PortHolder(const std::string& device) {
        int p[2];
        if (pipe(p) != 0) throw std::runtime_error("no pipe");
        pid_ = fork();
        if (pid_ == 0) {
            ::close(p[0]);
            const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
            if (::write(p[1], &ok, 1) != 1) _exit(1);
            for (;;) pause();
        }
        ::close(p[1]);
        char ok = 'n';
        const bool got = ::read(p[0], &ok, 1) == 1;
        ::close(p[0]);
        if (!got || ok != 'y') throw std::runtime_error("the holder could not take " + device);
    }
    ~PortHolder() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

private:
    pid_t pid_ = -1;
};

}  // namespace qtx::test
