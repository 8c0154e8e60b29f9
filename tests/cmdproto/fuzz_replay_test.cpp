// The frame fuzz target driven without libFuzzer, so that every build (and the
// sanitizer build) runs it: valid frames, cut, spliced and mutated with a
// fixed seed. The target aborts on a broken receiver invariant.
#include <gtest/gtest.h>

#include <random>

#include "frame_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size);

namespace {

using qtx::test::Bytes;
using qtx::test::Encode;

TEST(FrameFuzzReplay, MutatedFramesKeepTheReceiverSound) {
    std::mt19937 rng(20240607);
    auto frame = [&rng] {
        Bytes data(std::uniform_int_distribution<int>(0, 240)(rng));
        for (auto& b : data) b = uint8_t(rng());
        return Encode(uint16_t(rng()), data);
    };
    for (int run = 0; run < 20000; ++run) {
        Bytes input = {uint8_t(rng())};  // picks the buffer size
        const int frames = std::uniform_int_distribution<int>(1, 4)(rng);
        for (int f = 0; f < frames; ++f) {
            const Bytes fr = frame();
            input.insert(input.end(), fr.begin(), fr.end());
        }
        // A few flipped bytes, a cut, or a header that announces a huge length.
        const int mutations = std::uniform_int_distribution<int>(0, 3)(rng);
        for (int m = 0; m < mutations && input.size() > 1; ++m) {
            const std::size_t at = 1 + rng() % (input.size() - 1);
            switch (rng() % 3) {
            case 0: input[at] ^= uint8_t(1u << (rng() % 8)); break;
            case 1: input.resize(at); break;
            default: input[at] = 0xFF; break;
            }
        }
        ASSERT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
    }
}

}  // namespace
