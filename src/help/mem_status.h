// The computer's memory figures for the info window: total physical memory and
// how much of it is in use, from /proc/meminfo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qtx {

struct MemoryStatus {
    uint64_t totalBytes = 0;
    uint32_t loadPercent = 0;  // memory in use, 0..100
};

// Reads the text of /proc/meminfo: MemTotal, and MemAvailable (or, on kernels
// without it, MemFree + Buffers + Cached). Nothing when MemTotal is missing or 0.
std::optional<MemoryStatus> ParseMemInfo(std::string_view text);
// ParseMemInfo on the file, falling back to sysinfo(2) when it cannot be read.
std::optional<MemoryStatus> ReadMemoryStatus(const std::string& path = "/proc/meminfo");

// "524288 kB": whole units of 1024 bytes. 64-bit throughout, so machines with
// more than 4 GiB show their real size.
std::string TotalMemoryText(uint64_t totalBytes);
// "63% free" for a load of 37 per cent.
std::string ResourcesText(uint32_t loadPercent);

}  // namespace qtx
