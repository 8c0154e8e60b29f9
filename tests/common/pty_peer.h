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

}  // namespace qtx::test
