// Target-side loader programs carried by the host, generated from firmware/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qtx {

struct LoaderImage {
    const char* name;          // "c166"
    const uint8_t* data;
    std::size_t size;
    uint32_t loadAddress;
    const char* provenance;    // how the bytes were made
};

// The images of this tree, for their targets' descriptions and the tests; a
// new loader's symbol (kLoaderNAME, written by its firmware build) may as well
// be declared in its target's own file.
extern const LoaderImage kLoaderC166;
extern const LoaderImage kLoaderC163;
extern const LoaderImage kLoaderXC164;
extern const LoaderImage kLoaderC509;
extern const LoaderImage kLoaderGP4020;
extern const LoaderImage kLoaderXE167;
extern const LoaderImage kLoaderSam3u;
extern const LoaderImage kLoaderSam3s;
extern const LoaderImage kLoaderStm32f4;

}  // namespace qtx
