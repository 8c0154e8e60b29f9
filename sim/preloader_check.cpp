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

std::string CheckPreloader(const LoaderImage& image, const uint8_t* ram, uint32_t address, uint32_t sramBase,
                           std::size_t sramSize) {
    const auto diff = std::mismatch(image.data, image.data + image.size, ram);
    if (diff.first != image.data + image.size) {
        const std::size_t off = std::size_t(diff.first - image.data);
        return "preloader in SRAM differs from the " + std::string(image.name) + " image at offset " +
               std::to_string(off) + " (" + Hex(*diff.second, 2) + ", expected " + Hex(*diff.first, 2) + ")";
    }
    // The jump loads the stack pointer from the first word and enters at the second.
    const uint32_t sp = Word(ram), entry = Word(ram + 4);
    const bool spOk = sp > sramBase && sp - sramBase <= sramSize;
    const bool entryOk = (entry & 1) && (entry & ~1u) >= address && (entry & ~1u) - address < image.size;
    if (!spOk || !entryOk) return "preloader vector table unusable: stack " + Hex(sp, 8) + ", entry " + Hex(entry, 8);
    return {};
}

}  // namespace qtx::sim
