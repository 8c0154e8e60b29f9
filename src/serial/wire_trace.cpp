#include "serial/wire_trace.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace qtx {

uint64_t TraceNowUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

WireTrace::WireTrace(const std::string& path) : path_(path) {
    file_ = std::fopen(path.c_str(), "ae");
    if (!file_) problem_ = "cannot open the trace file " + path + ": " + std::strerror(errno);
}

WireTrace::~WireTrace() {
    Flush();
    if (file_) std::fclose(file_);
}

void WireTrace::Add(char direction, const uint8_t* data, std::size_t n) {
    if (!file_ || n == 0) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t now = TraceNowUs();
    if (direction_ != direction || now - lastUs_ > kBurstGapUs) {
        EndBurst();
        direction_ = direction;
        burstStartUs_ = now;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < n; ++i) {
        hex_ += ' ';
        hex_ += kDigits[data[i] >> 4];
        hex_ += kDigits[data[i] & 15];
    }
    lastUs_ = now;
}

void WireTrace::EndBurst() {
    if (direction_ == 0) return;
    std::fprintf(file_, "%llu %s%s\n", static_cast<unsigned long long>(burstStartUs_), direction_ == 'T' ? "TX" : "RX",
                 hex_.c_str());
    hex_.clear();
    direction_ = 0;
}

void WireTrace::Line(const std::string& settings) {
    if (!file_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (settings == lastLine_) return;
    EndBurst();
    lastLine_ = settings;
    std::fprintf(file_, "%llu LINE %s\n", static_cast<unsigned long long>(TraceNowUs()), settings.c_str());
}

void WireTrace::Pause(int ms) {
    if (!file_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    EndBurst();
    std::fprintf(file_, "%llu PAUSE %d\n", static_cast<unsigned long long>(TraceNowUs()), ms);
}

void WireTrace::Note(const std::string& text) {
    if (!file_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    EndBurst();
    std::fprintf(file_, "# %s\n", text.c_str());
}

void WireTrace::Flush() {
    if (!file_) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    EndBurst();
    std::fflush(file_);
}

}  // namespace qtx
