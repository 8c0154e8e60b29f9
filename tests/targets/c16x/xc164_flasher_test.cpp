// The XC164/167 flasher byte by byte against a scripted peer: the block
// acknowledgements the host waits for.
#include <gtest/gtest.h>

#include "engine/x_flash.h"
#include "scripted_flasher.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

using Host = ScriptedFlasher;

// ---- XC164/167 ----------------------------------------------------------------------

class Xc164Acks : public Host, public ::testing::WithParamInterface<uint32_t> {};

// Whole 128-byte blocks are answered one by one; the last block and the whole
// file once each. An answer too many or too few fails the run, so success
// proves the count.
TEST_P(Xc164Acks, HostWaitsAtEveryBlockThatIsNotTheLast) {
    const uint32_t size = GetParam();
    Open(5);
    const Bytes data = test::PatternBytes(size, size);
    const std::string path = File(data);
    auto run = Async([&] { EXPECT_EQ(F().Program(path), 0); });
    EXPECT_EQ(peer->Receive(5), (Bytes{0x22, uint8_t(size), uint8_t(size >> 8), 0x00, 0x00}));
    peer->Send({0x00});
    EXPECT_EQ(peer->Receive(1), Bytes{0x42});
    int blockAcks = 0;
    for (uint32_t p = 0; p < size; p += 128) {
        const uint32_t n = std::min<uint32_t>(128, size - p);
        ASSERT_EQ(peer->Receive(n), Bytes(data.begin() + p, data.begin() + p + n)) << "at " << p;
        if (p + n == size) break;
        EXPECT_TRUE(peer->Drain(100).empty()) << "the host must wait at " << p + n;
        peer->Send({0x00});
        ++blockAcks;
    }
    peer->Send({0x00, 0x00});   // last block, whole file
    EXPECT_EQ(peer->Receive(1), Bytes{0x43}) << "then the content check";
    peer->Send(test::ContentAnswer(data));
    EXPECT_EQ(peer->Receive(1), Bytes{0x01}) << "then the finish byte";
    run.get();
    EXPECT_EQ(blockAcks, size == 256 ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(Files, Xc164Acks, ::testing::Values(256u, 258u));

}  // namespace
