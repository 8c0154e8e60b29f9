// Flash_4020 byte by byte against a scripted peer: the test plays the ROM
// download and checks what the host sends and waits for.
#include <gtest/gtest.h>

#include "loaders/loader_image.h"
#include "scripted_flasher.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

using Scripted = ScriptedFlasher;

Bytes Gp4020Download() {
    Bytes b(3 + kLoaderGP4020.size);
    b[1] = 0x07;
    b[2] = 0xDC;
    std::copy(kLoaderGP4020.data, kLoaderGP4020.data + kLoaderGP4020.size, b.begin() + 3);
    return b;
}

TEST_F(Scripted, Gp4020SendsZeroLengthAndImageAndWithoutABoardTimesOutAfterIt) {
    Open(4);
    auto run = Async([&] { return F().SendBootstrap(); });
    EXPECT_EQ(peer->Receive(2015), Gp4020Download()) << "no identification before the zero byte";
    peer->Send({0x00});
    EXPECT_EQ(run.get(), 0);

    auto silent = Async([&] { return F().SendBootstrap(); });
    EXPECT_EQ(peer->Receive(2015), Gp4020Download());
    EXPECT_EQ(silent.get(), -1);
    EXPECT_EQ(rec.Caption(Panel::Bsl), "TIMEOUT");
    EXPECT_EQ(rec.status, "Timeout waiting after BSL has been sent");
}

}  // namespace
