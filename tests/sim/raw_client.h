// A bare termios client for talking to a simulated board in tests, so that
// the board is checked on the wire without the engine in between.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qtx::test {

class RawClient {
public:
    // Opens path raw at the given rates (rxBaud 0: same as txBaud). Throws std::runtime_error.
    explicit RawClient(const std::string& path, uint32_t txBaud = 57600, uint32_t rxBaud = 0);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void SetBaud(uint32_t txBaud, uint32_t rxBaud = 0);
    // Puts the line back into cooked mode with echo (as a careless previous user might).
    void SetCooked();
    // lflag as the device shows it.
    uint32_t LocalFlags() const;
    void Write(const std::vector<uint8_t>& data);
    void Write(uint8_t byte) { Write(std::vector<uint8_t>{byte}); }
    // Up to n bytes, waiting at most timeoutMs in all.
    std::vector<uint8_t> Read(std::size_t n, int timeoutMs = 5000);
    // True when data waits to be read (it stays unread).
    bool Readable(int timeoutMs = 5000);
    // True when poll reports a hang-up or a read fails with EIO or end of file within timeoutMs.
    bool WaitHangup(int timeoutMs = 5000);
    void Close();

private:
    int fd_ = -1;
};

// The c167 board's wake-up and loader image as a host sends them.
std::vector<uint8_t> C166Image();

}  // namespace qtx::test
