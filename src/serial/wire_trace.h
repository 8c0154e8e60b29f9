// A record of what crossed the line, for finding out why a board misbehaved:
// one text line per burst (bytes in one direction without a pause), with a
// monotonic time stamp in microseconds, and a line whenever the line settings
// change. Bursts, not bytes, keep a whole run's trace small.
//   12345678 TX 7F
//   12350012 RX 79
//   12350100 LINE 115200 8E1
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace qtx {

class WireTrace {
public:
    // Appends to path; Ok() tells whether it could be opened (Problem() says why).
    explicit WireTrace(const std::string& path);
    ~WireTrace();
    WireTrace(const WireTrace&) = delete;
    WireTrace& operator=(const WireTrace&) = delete;

    bool Ok() const { return file_ != nullptr; }
    const std::string& Problem() const { return problem_; }
    const std::string& Path() const { return path_; }

    void Sent(const uint8_t* data, std::size_t n) { Add('T', data, n); }
    void Received(const uint8_t* data, std::size_t n) { Add('R', data, n); }
    // The line's rate and framing as now set, e.g. "115200 8E1".
    void Line(const std::string& settings);
    // A pause the protocol prescribes begins: "12345678 PAUSE 400" (ms).
    void Pause(int ms);
    // A line of its own, e.g. "# run 2026-12-08T10:00:00 STM32F4 COM1".
    void Note(const std::string& text);
    // Ends the current burst; the file holds everything so far.
    void Flush();

    // A pause this long ends a burst: longer than a character at any rate the
    // targets use, shorter than any answer a board gives.
    static constexpr uint64_t kBurstGapUs = 2000;

private:
    void Add(char direction, const uint8_t* data, std::size_t n);
    void EndBurst();

    std::mutex mutex_;
    std::string path_;
    std::string problem_;
    FILE* file_ = nullptr;
    char direction_ = 0;   // 'T' or 'R' while a burst is open
    uint64_t burstStartUs_ = 0;
    uint64_t lastUs_ = 0;
    std::string hex_;
    std::string lastLine_;
};

// Monotonic microseconds, the trace's clock.
uint64_t TraceNowUs();

}  // namespace qtx
