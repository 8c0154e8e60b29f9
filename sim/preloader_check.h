// What a Cortex-M boot ROM needs to start a program in SRAM: a vector table
// whose stack pointer lies in the SRAM and whose entry is a Thumb address in
// the SRAM. The boards run whatever the host wrote; this only says whether
// the jump would land anywhere sensible, and whether it is our image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "loaders/loader_image.h"

namespace qtx::sim {

struct VectorTable {
    uint32_t sp = 0;
    uint32_t entry = 0;
};

// Empty when ram (the SRAM bytes at address) starts with a usable vector
// table; otherwise why a jump there would crash.
std::string CheckVectorTable(const uint8_t* ram, uint32_t address, uint32_t sramBase, std::size_t sramSize,
                             VectorTable& table);

// "matches the stm32f4 image" or "differs from the stm32f4 image at offset N".
std::string CompareWithImage(const LoaderImage& image, const uint8_t* ram, std::size_t available);

}  // namespace qtx::sim
