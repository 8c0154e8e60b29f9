#include "settings/setup_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qtx {

namespace {

// The XC164/167's port record: its ROM loader only talks at 19200, whatever was stored.
constexpr int kXc164Record = 4;
constexpr int32_t kXc164RomBaud = 19200;

}  // namespace

bool ReadSetupFile(const std::string& path, Setup& setup, std::string* error) {
    // Non-blocking, so that a FIFO in the settings' place cannot hang the program;
    // only a regular file is read at all.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        if (error) *error = path + ": not a regular file";
        return false;
    }
    Setup tmp;
    std::size_t n = 0;
    bool longer = false;
    for (;;) {
        uint8_t extra;
        const bool full = n == sizeof tmp;
        const ssize_t r = full ? ::read(fd, &extra, 1) : ::read(fd, tmp.Bytes() + n, sizeof tmp - n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (full) {
            longer = true;
            break;
        }
        n += static_cast<std::size_t>(r);
    }
    ::close(fd);
    if (n != sizeof tmp || longer) {
        if (error) *error = path + ": not a settings file (size is not " + std::to_string(kSetupSize) + " bytes)";
        return false;
    }
    std::memcpy(&setup, &tmp, sizeof tmp);
    return true;
}

bool WriteSetupFile(const std::string& path, const Setup& setup, std::string* error) {
    const std::string tmp = path + ".tmp";
    auto fail = [&](const std::string& what) {
        if (error) *error = what + ": " + std::strerror(errno);
        return false;
    };
    // The rename below would replace whatever has the name; only a settings
    // file of our own (or nothing) may be replaced, never a device or a FIFO.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        if (error) *error = path + ": not a regular file, left alone";
        return false;
    }
    // Non-blocking: a FIFO left under the temporary name fails instead of hanging.
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return fail(tmp);
    const uint8_t* p = setup.Bytes();
    std::size_t left = sizeof setup;
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            int e = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = e;
            return fail(tmp);
        }
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return fail(tmp);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        errno = e;
        return fail(path);
    }
    return true;
}

std::string SetupFilePath(const std::string& dir) {
    if (dir.empty()) return kSetupFileName;
    return dir == "/" ? "/" + std::string(kSetupFileName) : dir + "/" + kSetupFileName;
}

bool ReadStoredSetup(const std::string& path, Setup& setup, std::string* error) {
    if (!ReadSetupFile(path, setup, error)) return false;
    setup.Ports[kXc164Record].SetBaudRate(kXc164RomBaud);
    return true;
}

bool LoadSetupFile(const std::string& dir, Setup& setup, std::string* error) {
    const std::string path = SetupFilePath(dir);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        DefaultSetup(setup);
        return SaveSetupFile(dir, setup, error);
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) != kSetupSize || !ReadStoredSetup(path, setup)) {
        // Not a settings record: start again from the defaults (the save replaces it).
        if (S_ISREG(st.st_mode)) ::unlink(path.c_str());
        DefaultSetup(setup);
    }
    return SaveSetupFile(dir, setup, error);
}

bool SaveSetupFile(const std::string& dir, const Setup& setup, std::string* error) {
    return WriteSetupFile(SetupFilePath(dir), setup, error);
}

}  // namespace qtx
