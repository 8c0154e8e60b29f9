// The device's side of the command protocol for tests: frames encoded
// independently of the code under test, and a scripted device that answers
// the frames the host sends over a PtyPeer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pty_peer.h"

namespace qtx::test {

using Bytes = std::vector<uint8_t>;

// A whole frame as it stands on the line.
inline Bytes Encode(uint16_t word, const Bytes& data) {
    auto sum = [](const uint8_t* p, std::size_t n) {
        unsigned s = 0;
        for (std::size_t i = 0; i < n; ++i) s += p[i];
        return static_cast<uint16_t>(s);
    };
    Bytes f = {0x01, uint8_t(word), uint8_t(word >> 8), uint8_t(data.size()), uint8_t(data.size() >> 8)};
    const uint16_t ds = sum(data.data(), data.size());
    f.push_back(uint8_t(ds));
    f.push_back(uint8_t(ds >> 8));
    const uint16_t hs = sum(f.data() + 1, 6);
    f.push_back(uint8_t(hs));
    f.push_back(uint8_t(hs >> 8));
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

struct SeenFrame {
    uint16_t word = 0;
    Bytes data;
    Bytes skipped;  // bytes before the start byte
};

// Reads the next frame the host writes; nullopt when none comes in time.
inline std::optional<SeenFrame> ReadFrame(PtyPeer& peer, int timeoutMs = 5000) {
    SeenFrame f;
    for (;;) {
        const Bytes b = peer.Receive(1, timeoutMs);
        if (b.empty()) return std::nullopt;
        if (b[0] == 0x01) break;
        f.skipped.push_back(b[0]);
    }
    const Bytes h = peer.Receive(8, timeoutMs);
    if (h.size() != 8) return std::nullopt;
    f.word = uint16_t(h[0] | h[1] << 8);
    const std::size_t n = h[2] | h[3] << 8;
    f.data = peer.Receive(n, timeoutMs);
    if (f.data.size() != n) return std::nullopt;
    return f;
}

// Answers the next `frames` frames the host sends with what respond returns
// (nothing for an empty vector); gives up when a frame does not come in 15 s.
class ScriptedDevice {
public:
    using Respond = std::function<Bytes(const SeenFrame&)>;
    ScriptedDevice(PtyPeer& peer, int frames, Respond respond)
        : thread_([this, &peer, frames, respond] {
              for (int i = 0; i < frames; ++i) {
                  auto f = ReadFrame(peer, 15000);
                  if (!f) return;
                  frames_.push_back(*f);
                  const Bytes answer = respond(*f);
                  if (!answer.empty()) peer.Send(answer);
              }
          }) {}
    ~ScriptedDevice() { Join(); }
    // The frames seen, once the device is done.
    const std::vector<SeenFrame>& Frames() {
        Join();
        return frames_;
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::vector<SeenFrame> frames_;
    std::thread thread_;
};

}  // namespace qtx::test
