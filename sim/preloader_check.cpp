#include "sim/preloader_check.h"

#include <algorithm>
#include <cstdio>

namespace qtx::sim {

namespace {
std::string Hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
uint32_t Word(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
}  // namespace

std::string CheckVectorTable(const uint8_t* ram, uint32_t address, uint32_t sramBase, std::size_t sramSize,
                             VectorTable& table) {
    table.sp = Word(ram);
    table.entry = Word(ram + 4);
    const uint32_t target = table.entry & ~1u;
    const bool spOk = table.sp > sramBase && table.sp - sramBase <= sramSize && table.sp % 4 == 0;
    const bool entryOk = (table.entry & 1) && target >= sramBase && target - sramBase < sramSize;
    if (spOk && entryOk) return {};
    return "vector table at " + Hex(address, 8) + " unusable: stack " + Hex(table.sp, 8) + ", entry " +
           Hex(table.entry, 8) + (entryOk ? "" : " (a Cortex-M needs a Thumb address in SRAM)");
}

std::string CompareWithImage(const LoaderImage& image, const uint8_t* ram, std::size_t available) {
    const std::size_t n = std::min(available, image.size);
    const auto diff = std::mismatch(image.data, image.data + n, ram);
    if (diff.first == image.data + n && n == image.size) return "matches the " + std::string(image.name) + " image";
    return "differs from the " + std::string(image.name) + " image at offset " +
           std::to_string(std::size_t(diff.first - image.data));
}

}  // namespace qtx::sim
