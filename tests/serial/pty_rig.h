// Pseudo-terminals and private port maps for the serial tests: no test may
// touch a real port, so each map is a temp directory named by QTXFLASH_PORTS.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qtx::test {

// A temp directory; as a port map it is the process's whole map while it lives.
struct TempDir {
    explicit TempDir(bool asPortMap = false) : portMap(asPortMap) {
        char tmpl[] = "/tmp/qtxserial-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        path = tmpl;
        if (portMap) ::setenv("QTXFLASH_PORTS", path.c_str(), 1);
    }
    ~TempDir() {
        if (portMap) ::unsetenv("QTXFLASH_PORTS");
        std::filesystem::remove_all(path);
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    void Link(const std::string& name, const std::string& target) const {
        std::filesystem::create_symlink(target, *this / name);
    }
    std::string path;
    bool portMap;
};

struct Pty {
    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master < 0 || ::grantpt(master) || ::unlockpt(master) || ::ptsname_r(master, name, sizeof name))
            throw std::runtime_error("cannot create a pseudo-terminal");
        slave = name;
    }
    ~Pty() { CloseMaster(); }
    // As if the USB adapter were pulled: the slave sees EIO and POLLHUP.
    void CloseMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    void Send(const std::string& bytes) const {
        if (::write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("write to pty master failed");
    }
    int master = -1;
    std::string slave;
};

// Reads `expected` bytes from the master in a thread, as a board would; stops
// early when nothing comes for 20 s.
class MasterDrainer {
public:
    MasterDrainer(int master, std::size_t expected)
        : thread_([this, master, expected] {
              uint8_t buf[4096];
              pollfd p{master, POLLIN, 0};
              while (got_.size() < expected && ::poll(&p, 1, 20000) > 0) {
                  const ssize_t r = ::read(master, buf, sizeof buf);
                  if (r <= 0) return;
                  got_.insert(got_.end(), buf, buf + r);
              }
          }) {}
    ~MasterDrainer() {
        if (thread_.joinable()) thread_.join();
    }
    std::vector<uint8_t> Finish() {
        thread_.join();
        return got_;
    }

private:
    std::vector<uint8_t> got_;
    std::thread thread_;
};

// Bytes whose order shows a lost or repeated chunk.
inline std::vector<uint8_t> Pattern(std::size_t n) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return v;
}

}  // namespace qtx::test
