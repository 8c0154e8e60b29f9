// Frames: checksums, the encoder's bytes on the line, and the receiver fed one
// byte at a time.
#include <gtest/gtest.h>

#include "cmdproto/cmd_frame.h"
#include "cmdproto/cmd_request.h"
#include "frame_peer.h"

using namespace qtx;
using namespace qtx::test;

namespace {

std::vector<int> Feed(CmdLink& link, const Bytes& bytes) {
    std::vector<int> results;
    for (uint8_t b : bytes) results.push_back(cmd_receive_byte(link, b));
    return results;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// n ones (bytes taken) followed by the given results.
std::vector<int> Taken(std::size_t n, std::initializer_list<int> then = {}) {
    std::vector<int> r(n, 1);
    r.insert(r.end(), then);
    return r;
}

std::vector<int> Join(std::initializer_list<std::vector<int>> parts) {
    std::vector<int> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes WithBadHeaderSum(Bytes f) {
    f[7] ^= 0x01;
    return f;
}

// A wrong data checksum under a header checksum that matches it.
Bytes WithBadDataSum(Bytes f) {
    f[5] ^= 0x01;
    unsigned hs = 0;
    for (int i = 1; i <= 6; ++i) hs += f[i];
    f[7] = uint8_t(hs);
    f[8] = uint8_t(hs >> 8);
    return f;
}

TEST(CmdChecksum, SumsBytesModulo65536FromTheStartValue) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(cmd_checksum(0, abc, 3), 0x0126);
    EXPECT_EQ(cmd_checksum(0x1000, abc, 3), 0x1126);
    const uint8_t two[] = {0x02};
    EXPECT_EQ(cmd_checksum(0xFFFF, two, 1), 0x0001) << "wraps, no carry folding";
    EXPECT_EQ(cmd_checksum(0, nullptr, 0), 0);
    const Bytes ff(300, 0xFF);
    EXPECT_EQ(cmd_checksum(0, ff.data(), ff.size()), (300 * 0xFF) & 0xFFFF) << "bytes taken unsigned";
}

TEST(CmdChecksum, DataCheckNeverReadsPastTheBuffer) {
    Bytes f = Encode(0x0001, {1, 2, 3});
    Bytes frame(f.begin() + 1, f.end());
    EXPECT_EQ(cmd_check_header(frame), 0);
    EXPECT_EQ(cmd_check_data(frame), 0);
    EXPECT_EQ(cmd_check_data(std::span<const uint8_t>(frame.data(), frame.size() - 1)), -1);
    EXPECT_EQ(cmd_check_header(std::span<const uint8_t>(frame.data(), 7)), -1);
}

struct ReceiverCase {
    const char* name;
    Bytes input;
    std::vector<int> results;
};

class Receiver : public ::testing::TestWithParam<ReceiverCase> {};

TEST_P(Receiver, ResultsByteByByte) {
    CmdLinkStorage s;
    EXPECT_EQ(Feed(s.link, GetParam().input), GetParam().results);
}

const Bytes kEmpty = Encode(0x000B, {});
const Bytes kAbc = Encode(0x0001, {'a', 'b', 'c'});

INSTANTIATE_TEST_SUITE_P(
    Cases, Receiver,
    ::testing::Values(
        ReceiverCase{"FrameWithoutDataEndsOnItsLastHeaderByte", kEmpty, Taken(8, {2})},
        ReceiverCase{"FrameWithData", kAbc, Taken(11, {2})},
        ReceiverCase{"BytesBeforeTheFirstStartByteAreIgnored", Cat({{0x00, 0x55, 0xFF, 0x02}, kEmpty}),
                     Join({{0, 0, 0, 0}, Taken(8, {2})})},
        ReceiverCase{"BadHeaderThenAValidFrame", Cat({WithBadHeaderSum(kEmpty), kAbc}),
                     Join({Taken(8, {-2}), Taken(11, {2})})},
        ReceiverCase{"StartBytesInsideHeaderAndDataAreData", Encode(0x0101, {0x01, 0x01, 0x01}), Taken(11, {2})},
        ReceiverCase{"BadDataThenTheNextStartByteBeginsAFrame", Cat({WithBadDataSum(kAbc), {0x07}, kEmpty}),
                     Join({Taken(11, {-3}), {0}, Taken(8, {2})})},
        // A rejected header whose announced data is a whole frame: the data is
        // hunted through, not skipped, so that frame is received.
        ReceiverCase{"AnnouncedDataOfABadHeaderIsSearchedForAStartByte", WithBadHeaderSum(Encode(0x0002, kEmpty)),
                     Join({Taken(8, {-2}), Taken(8, {2})})},
        // The 0x01 inside the rejected header (its command word) is not searched again.
        ReceiverCase{"BytesOfABadHeaderAreNotSearchedAgain", Cat({WithBadHeaderSum(Encode(0x0101, {})), Bytes{0x05}}),
                     Join({Taken(8, {-2}), {0}})},
        ReceiverCase{"AStartByteInsideAFrameDoesNotRestartIt", Cat({Bytes{0x01, 0x0B, 0x00}, kEmpty}),
                     Taken(8, {-2, 0, 0, 0})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReceiverState, TwoHundredDataBytesFillTheBufferExactly) {
    CmdLinkStorage s;
    Bytes data(200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    EXPECT_EQ(Feed(s.link, Encode(0x0123, data)).back(), 2);
    EXPECT_EQ(s.link.rxFlags, kRxInData) << "neither oversize nor dropped";
    EXPECT_EQ(s.link.rxExpected, 0u);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), s.rx.begin() + 8));
}

// Announced lengths beyond the data area: counted to the end, kept as far as
// they fit, never written past the buffer and never delivered.
class OversizedData : public ::testing::TestWithParam<uint16_t> {};

TEST_P(OversizedData, IsCountedKeptAsFarAsItFitsAndRejected) {
    const uint16_t length = GetParam();
    std::vector<uint8_t> memory(kCmdFrameBufferSize + 64, 0xEE);
    CmdLink link;
    link.rxBuffer = memory.data();
    link.rxSize = kCmdFrameBufferSize;
    Bytes data(length);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i + 3);
    const std::vector<int> r = Feed(link, Encode(0x0042, data));
    EXPECT_EQ(r.back(), -3);
    EXPECT_EQ(std::count(r.begin(), r.end() - 1, 1), long(r.size() - 1)) << "every byte before the last was taken";
    EXPECT_EQ(link.rxFlags, kRxInData | kRxOversize | kRxDropped);
    EXPECT_EQ(link.rxExpected, 0u) << "hunting again";
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 200, memory.begin() + 8));
    EXPECT_TRUE(std::all_of(memory.begin() + kCmdFrameBufferSize, memory.end(), [](uint8_t b) { return b == 0xEE; }));
    // The next frame is received normally.
    EXPECT_EQ(Feed(link, kAbc).back(), 2);
    EXPECT_EQ(link.rxFlags, kRxInData);
}

INSTANTIATE_TEST_SUITE_P(Lengths, OversizedData, ::testing::Values(201, 1000, 65535));

TEST(ReceiverState, BuffersTooSmallForAHeaderRejectIt) {
    for (const uint32_t size : {0u, 4u, 7u}) {
        Bytes memory(16, 0xEE);
        CmdLink link;
        link.rxBuffer = size ? memory.data() : nullptr;
        link.rxSize = size;
        EXPECT_EQ(Feed(link, kEmpty).back(), -2) << size;
        EXPECT_TRUE(std::all_of(memory.begin() + size, memory.end(), [](uint8_t b) { return b == 0xEE; }));
    }
}

TEST(ReceiverState, ACompletedFrameStaysUntilTheNextOneOverwritesIt) {
    CmdLinkStorage s;
    Feed(s.link, kAbc);
    Feed(s.link, {0x33, 0x44, 0x01, 0x07});  // noise, then the start of another frame
    EXPECT_EQ(s.rx[8], 'a') << "data area untouched";
    EXPECT_EQ(s.rx[0], 0x07) << "the new frame's first header byte";
}

// The encoder's output as the device receives it.
class Encoder : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cmd_open(s.link, "COM1", 19200, "8N1"), 0); }
    void TearDown() override { cmd_close(s.link); }
    PtyPeer peer{"COM1"};
    CmdLinkStorage s;
};

TEST_F(Encoder, FramesOfTheExamplesByteForByte) {
    EXPECT_EQ(cmd_send(s.link, 0x000B), 0);
    EXPECT_EQ(peer.Receive(9), (Bytes{0x01, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x00}));

    CmdPut16(s.tx.data(), 0x0001);
    CmdPut16(s.tx.data() + 2, 3);
    s.tx[4] = s.tx[5] = s.tx[6] = s.tx[7] = 0x5A;  // stale checksums are recomputed
    s.tx[8] = 'a';
    s.tx[9] = 'b';
    s.tx[10] = 'c';
    EXPECT_EQ(cmd_send_frame(s.link), 0);
    EXPECT_EQ(peer.Receive(12), (Bytes{0x01, 0x01, 0x00, 0x03, 0x00, 0x26, 0x01, 0x2B, 0x00, 0x61, 0x62, 0x63}));

    EXPECT_EQ(cmd_send_value(s.link, 0x0016, 0xBEEF), 0);
    EXPECT_EQ(peer.Receive(11), Encode(0x0016, {0xEF, 0xBE}));
}

TEST_F(Encoder, AFrameThatDoesNotFitTheBufferIsNotSent) {
    CmdPut16(s.tx.data(), 0x0001);
    CmdPut16(s.tx.data() + 2, 201);
    EXPECT_EQ(cmd_send_frame(s.link), -1);
    CmdLink bare;  // no buffers at all
    EXPECT_EQ(cmd_send(bare, 0x0001), -1);
    EXPECT_EQ(cmd_send(s.link, 0x0002), 0);
    EXPECT_EQ(peer.Drain(), Encode(0x0002, {})) << "only the frame that fits went out";
}

}  // namespace
