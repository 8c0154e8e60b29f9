#include "engine/firmware_file.h"

#include "engine/firmware_load.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qtx {

namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Reads up to n bytes; fewer only at the end of the file. -1 on an error.
ssize_t ReadFully(int fd, uint8_t* buffer, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, buffer + got, n - got);
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

bool ReadFirmwareImage(const std::string& path, uint64_t maxSize, std::vector<uint8_t>& out, std::string& why) {
    out.clear();
    const std::string name = "FLASH file " + Quoted(path);
    if (path.empty()) {
        why = "No FLASH file chosen";
        return false;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    Fd f{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (f.fd < 0) {
        why = "Cannot open " + name + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) {
        why = "Cannot open " + name + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        why = "Cannot open " + name + ": " + std::strerror(EISDIR);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        const char* kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
                           : S_ISCHR(st.st_mode)  ? "a character device"
                           : S_ISBLK(st.st_mode)  ? "a block device"
                           : S_ISSOCK(st.st_mode) ? "a socket"
                                                  : "not a regular file";
        why = name + " is " + std::string(kind) + ", not a firmware image: nothing was sent";
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > maxSize) {
        // A HEX, S-record or ELF file holds more than its image; LoadFirmware
        // judges the image it makes. pread: a regular file, it never blocks.
        uint8_t head[4096];
        const ssize_t n = ::pread(f.fd, head, sizeof head, 0);
        const FirmwareFormat format =
            GuessFormat(std::span<const uint8_t>(head, n > 0 ? static_cast<std::size_t>(n) : 0), path);
        if (format == FirmwareFormat::Raw) {
            why = name + " has " + std::to_string(size) + " bytes; this target holds at most " +
                  std::to_string(maxSize) + " bytes: nothing was sent";
            return false;
        }
        if (size > kMaxEncodedFirmwareBytes) {
            why = name + " has " + std::to_string(size) + " bytes; a " + FormatName(format) + " file is read up to " +
                  std::to_string(kMaxEncodedFirmwareBytes) + " bytes: nothing was sent";
            return false;
        }
    }
    if (size == 0) {
        // A /proc or /sys file reports no size but has content: it is no image either.
        uint8_t probe;
        const ssize_t r = ReadFully(f.fd, &probe, 1);
        why = r > 0 ? name + " is not a regular file with a known size, not a firmware image: nothing was sent"
                    : name + " is empty: nothing was sent";
        return false;
    }
    // Back to blocking reads: a regular file never blocks, but a clean state is cheap.
    ::fcntl(f.fd, F_SETFL, ::fcntl(f.fd, F_GETFL) & ~O_NONBLOCK);
    out.resize(size);
    const ssize_t got = ReadFully(f.fd, out.data(), out.size());
    if (got < 0) {
        why = "Cannot read " + name + ": " + std::strerror(errno);
        out.clear();
        return false;
    }
    if (static_cast<uint64_t>(got) != size) {
        why = "Cannot read " + name + ": it changed size while it was read (" + std::to_string(size) + " bytes, then " +
              std::to_string(got) + ")";
        out.clear();
        return false;
    }
    return true;
}

uint32_t Crc32(const uint8_t* data, std::size_t n, uint32_t crc) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace qtx
