// What a Cortex-M boot ROM finds when it jumps into a preloader in SRAM: the
// exact image of ours, starting with a usable vector table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "loaders/loader_image.h"

namespace qtx::sim {

// Empty when ram (the SRAM at address) holds image and its stack pointer lies
// in the SRAM [sramBase, sramBase + sramSize] and its entry is a Thumb address
// inside the image; otherwise why the board would not run it.
std::string CheckPreloader(const LoaderImage& image, const uint8_t* ram, uint32_t address, uint32_t sramBase,
                           std::size_t sramSize);

}  // namespace qtx::sim
