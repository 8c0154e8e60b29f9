// A scripted peer on a pseudo-terminal, linked into a private port map as a
// COMn name: the unit tests play the board byte by byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qtx::test {

class PtyPeer {
public:
    // Creates the pair, links the slave as portName in a fresh directory and
    // points QTXFLASH_PORTS at it.
    explicit PtyPeer(const std::string& portName = "COM1");
    ~PtyPeer();

    // Bytes the host has written, waiting up to timeoutMs for at least n of them.
    std::vector<uint8_t> Receive(std::size_t n, int timeoutMs = 3000);
    // Everything the host wrote until it has been quiet for quietMs.
    std::vector<uint8_t> Drain(int quietMs = 100);
    void Send(const std::vector<uint8_t>& bytes);
    void Close();  // the device goes away (like an unplugged adapter)
    int MasterFd() const { return master_; }
    const std::string& Dir() const { return dir_; }
    const std::string& SlavePath() const { return slave_; }

private:
    int master_ = -1;
    std::string dir_, slave_;
};

// What a loader answers to the content check (0x43) after receiving sent:
// 0x43 and the CRC-32 of zlib/Ethernet, least significant byte first. Computed
// bit by bit here, apart from the engine's table, so that each checks the other.
inline std::vector<uint8_t> ContentAnswer(const std::vector<uint8_t>& sent) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : sent) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    crc = ~crc;
    return {0x43, uint8_t(crc), uint8_t(crc >> 8), uint8_t(crc >> 16), uint8_t(crc >> 24)};
}

}  // namespace qtx::test
