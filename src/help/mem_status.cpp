#include "help/mem_status.h"

#include <sys/sysinfo.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace qtx {

namespace {

// The value of "Key:   123 kB" in kB; nothing when the line is absent or not a number.
std::optional<uint64_t> FieldKb(std::string_view text, std::string_view key) {
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ':') continue;
        std::size_t p = key.size() + 1;
        while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
        if (p >= line.size() || line[p] < '0' || line[p] > '9') return std::nullopt;
        uint64_t v = 0;
        for (; p < line.size() && line[p] >= '0' && line[p] <= '9'; ++p) {
            if (v > (UINT64_MAX - 9) / 10) return std::nullopt;
            v = v * 10 + uint64_t(line[p] - '0');
        }
        return v;
    }
    return std::nullopt;
}

uint32_t LoadPercent(uint64_t total, uint64_t available) {
    if (total == 0) return 0;
    available = std::min(available, total);
    const long double used = static_cast<long double>(total - available);
    return static_cast<uint32_t>(used * 100.0L / static_cast<long double>(total) + 0.5L);
}

}  // namespace

std::optional<MemoryStatus> ParseMemInfo(std::string_view text) {
    const auto total = FieldKb(text, "MemTotal");
    if (!total || *total == 0 || *total > UINT64_MAX / 1024) return std::nullopt;
    std::optional<uint64_t> available = FieldKb(text, "MemAvailable");
    if (!available) {
        const auto sum = [&](std::string_view k) { return FieldKb(text, k).value_or(0); };
        available = sum("MemFree") + sum("Buffers") + sum("Cached");
    }
    return MemoryStatus{*total * 1024, LoadPercent(*total, *available)};
}

std::optional<MemoryStatus> ReadMemoryStatus(const std::string& path) {
    std::ifstream in(path);
    if (in) {
        std::ostringstream s;
        s << in.rdbuf();
        if (auto status = ParseMemInfo(s.str())) return status;
    }
    struct sysinfo si {};
    if (sysinfo(&si) != 0 || si.totalram == 0) return std::nullopt;
    const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
    const uint64_t total = uint64_t(si.totalram) * unit;
    const uint64_t available = (uint64_t(si.freeram) + uint64_t(si.bufferram)) * unit;
    return MemoryStatus{total, LoadPercent(total, available)};
}

std::string TotalMemoryText(uint64_t totalBytes) { return std::to_string(totalBytes >> 10) + " kB"; }

std::string ResourcesText(uint32_t loadPercent) {
    return std::to_string(100 - std::min<uint32_t>(loadPercent, 100)) + "% free";
}

}  // namespace qtx
