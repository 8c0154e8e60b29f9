// The C509 flasher byte by byte against a scripted peer: the block stream
// checked against checksums worked out here, and what may follow the loader's
// last answer.
#include <gtest/gtest.h>

#include "engine/x_flash.h"
#include "loaders/loader_image.h"
#include "scripted_flasher.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

using Host = ScriptedFlasher;

// A block closed by the XOR of all its bytes, computed byte by byte here.
Bytes Closed(Bytes block) {
    uint8_t x = 0;
    for (uint8_t b : block) x = static_cast<uint8_t>(x ^ b);
    block.push_back(x);
    return block;
}

// ---- C509 -------------------------------------------------------------------------

TEST_F(Host, C509LoaderGoesOutInChecksummedBlocksBetweenTwoModeBlocks) {
    Open(2);
    const Bytes image(kLoaderC509.data, kLoaderC509.data + kLoaderC509.size);
    std::vector<Bytes> blocks{Closed({0x00, 0x00, 0xF4, 0x00, 0x00, 0x00, 0x0F})};
    for (std::size_t i = 0; i < 35; ++i) {
        Bytes b{0x01};
        b.insert(b.end(), image.begin() + std::ptrdiff_t(13 * i), image.begin() + std::ptrdiff_t(13 * i + 13));
        blocks.push_back(Closed(b));
    }
    Bytes last{0x02, 11};
    last.insert(last.end(), image.end() - 11, image.end());
    last.push_back(0x00);   // one fill byte: 13 bytes behind the type byte again
    blocks.push_back(Closed(last));
    blocks.push_back(Closed({0x00, 0x01, 0xF4, 0x20, 0x00, 0x00, 0x0F}));

    std::string statusBeforeLastAck;
    auto run = Async([&] { EXPECT_EQ(F().SendBootstrap(), 0); });
    EXPECT_EQ(peer->Receive(1), Bytes{0x00});
    peer->Send({0x55});
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        ASSERT_EQ(peer->Receive(blocks[i].size()), blocks[i]) << "block " << i;
        // The host waits for this answer: nothing else moves meanwhile.
        if (i == 36) statusBeforeLastAck = rec.status;
        peer->Send({0x55});
    }
    run.get();
    EXPECT_EQ(statusBeforeLastAck, " ...done");
    EXPECT_TRUE(peer->Drain(100).empty());
    EXPECT_EQ(rec.ColorOf(Panel::Bsl), Color::InactiveBorder);
}

struct TailCase {
    const char* name;
    Bytes after;           // what the peer sends behind the final 0x04
    const char* status;    // empty: Program succeeds
    friend void PrintTo(const TailCase& c, std::ostream* os) { *os << c.name; }
};

class C509Tail : public Host, public ::testing::WithParamInterface<TailCase> {};

// The data run far ahead of the loader, so a verify-error report meets the
// final wait; one for an address ending in 04h must not pass for the done byte.
TEST_P(C509Tail, WhatFollowsTheFinalAnswerDecides) {
    const TailCase& c = GetParam();
    Open(2);
    const Bytes data = test::PatternBytes(5, 3);
    const std::string path = File(data);
    bool threw = false;
    auto run = Async([&] {
        try {
            EXPECT_EQ(F().Program(path), 0);
        } catch (const X_Flash::ProgramException&) {
            threw = true;
        }
    });
    EXPECT_EQ(peer->Receive(3), (Bytes{0x04, 0x05, 0x00}));
    peer->Send({0x05, 0x00, 0x03});
    EXPECT_EQ(peer->Receive(5), data);
    Bytes answer{0x04};
    answer.insert(answer.end(), c.after.begin(), c.after.end());
    peer->Send(answer);
    if (!*c.status) {
        EXPECT_EQ(peer->Receive(1), Bytes{0x43});
        peer->Send(test::ContentAnswer(data));
    }
    run.get();
    EXPECT_EQ(threw, *c.status != 0);
    if (*c.status) {
        EXPECT_EQ(rec.status, c.status);
    }
    EXPECT_TRUE(peer->Drain(100).empty()) << "no finish byte, nothing else after the content check";
}

INSTANTIATE_TEST_SUITE_P(
    Program, C509Tail,
    ::testing::Values(TailCase{"QuietLine", {}, ""},
                      TailCase{"RestOfAReport", {0x00, 0x00, 0x00, 0x3C, 0x00, 0x3D, 0x00, 0x02},
                               "\n\nFatal: Error 0002 at addr 00004h: re-read 003Dh, expected 003Ch\n"},
                      TailCase{"StrayBytes", {0x11, 0x22},
                               "\n\nFatal: 2 unexpected bytes after the loader's last answer (first 11h): the flash "
                               "may not hold the file\n"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
