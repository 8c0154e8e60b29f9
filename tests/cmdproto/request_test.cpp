// Requests, reply waits and the typed commands against a scripted device on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <sys/ioctl.h>
#include <thread>

#include "cmdproto/cmd_frame.h"
#include "cmdproto/cmd_request.h"
#include "cmdproto/cmd_typed.h"
#include "frame_peer.h"
#include "serial/deadline.h"

using namespace qtx;
using namespace qtx::test;
using namespace std::chrono_literals;

namespace {

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

class Requests : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cmd_open(link, "COM1", 19200, "8N1"), 0); }
    void TearDown() override { cmd_close(link); }
    PtyPeer peer{"COM1"};
    CmdLinkStorage s;
    CmdLink& link = s.link;
};

TEST(RequestContext, OpenSetsBothTimeoutsAndCloseIsSafeAfterAFailedOpen) {
    PtyPeer peer{"COM1"};
    CmdLinkStorage s;
    cmd_set_reply_timeout(s.link, 5);
    EXPECT_EQ(cmd_open(s.link, "COM9", 19200, "8N1"), -1);
    EXPECT_EQ(s.link.mutex, nullptr) << "no mutex after a failed open";
    cmd_close(s.link);
    cmd_close(s.link);
    EXPECT_EQ(s.link.port.handle, kCmdInvalidHandle);
    EXPECT_EQ(cmd_request(s.link, 0x840D, nullptr, 0), -1) << "a closed context sends nothing";

    ASSERT_EQ(cmd_open(s.link, "COM1", 19200, "8N1"), 0);
    EXPECT_EQ(cmd_get_reply_timeout(s.link), 3000u);
    EXPECT_EQ(cmd_get_byte_timeout(s.link), 200u);
    EXPECT_EQ(cmd_set_byte_timeout(s.link, 50), 50u);
    EXPECT_EQ(cmd_get_byte_timeout(s.link), 50u);
    cmd_close(s.link);
    EXPECT_EQ(s.link.mutex, nullptr);
}

TEST_F(Requests, DataLengthLimitAndFrameSize) {
    const Bytes data(201, 0x5A);
    EXPECT_EQ(cmd_request(link, 0x0001, data.data(), 201), -1);
    EXPECT_EQ(cmd_request(link, 0x0002, data.data(), 200), 0);
    const Bytes line = peer.Drain();
    EXPECT_EQ(line.size(), 209u) << "the 201-byte request put nothing on the line";
    EXPECT_EQ(line, Encode(0x0002, Bytes(200, 0x5A)));
}

TEST_F(Requests, WithoutBit15NothingIsRead) {
    peer.Send({0x99});
    for (int i = 0, queued = 0; i < 1000 && queued < 1; ++i) {
        std::this_thread::sleep_for(10ms);
        ioctl(link.port.handle, TIOCINQ, &queued);
    }
    EXPECT_EQ(cmd_request(link, 0x4010, nullptr, 0), 0);
    uint8_t b = 0;
    EXPECT_EQ(cmd_port_read(link.port, &b, 1), 1) << "the waiting byte was left alone";
    EXPECT_EQ(b, 0x99);
}

struct FlagCase {
    const char* name;
    uint16_t replyWord;
    int result;
};

class ReplyFlags : public Requests, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(ReplyFlags, DecideTheResult) {
    ScriptedDevice dev(peer, 1, [](const SeenFrame&) { return Encode(GetParam().replyWord, {}); });
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(cmd_request(link, 0x840D, data.data(), 8), GetParam().result);
    ASSERT_EQ(dev.Frames().size(), 1u);
    EXPECT_EQ(dev.Frames()[0].word, 0x840D);
    EXPECT_EQ(dev.Frames()[0].data, data);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyFlags,
                         ::testing::Values(FlagCase{"Accepted", 0x440D, 0}, FlagCase{"Refused", 0x240D, -3},
                                           FlagCase{"NeitherFlag", 0x040D, -4},
                                           FlagCase{"BothFlagsRefusalFirst", 0x640D, -3}),
                         [](const auto& info) { return std::string(info.param.name); });

struct WaitCase {
    const char* name;
    Bytes reply;        // what the device sends after the request
    uint16_t wanted;    // number given to the wait
    int waitResult;
};

class ReplyWait : public Requests, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(ReplyWait, Results) {
    peer.Send(GetParam().reply);
    EXPECT_EQ(cmd_wait_reply(link, GetParam().wanted), GetParam().waitResult);
}

Bytes BadHeader(Bytes f) {
    f[7] ^= 0x40;
    return f;
}
Bytes BadData(Bytes f) {
    f.back() ^= 0x40;
    return f;
}
Bytes Cat(const Bytes& a, const Bytes& b) {
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyWait,
    ::testing::Values(
        WaitCase{"Matching", Encode(0x440D, {}), 0x40D, 2},
        WaitCase{"OtherNumbersAreSkipped", Cat(Encode(0x4007, {1}), Encode(0x440D, {})), 0x40D, 2},
        WaitCase{"NoiseBeforeTheFrame", Cat({0x00, 0x7F, 0xFE}, Encode(0x440D, {})), 0x40D, 2},
        WaitCase{"AnyNumber", Encode(0x0123, {9}), 0xFFFF, 2},
        WaitCase{"BadHeaderEndsTheWaitDespiteARepetition", Cat(BadHeader(Encode(0x440D, {})), Encode(0x440D, {})),
                 0x40D, -2},
        WaitCase{"BadDataEndsTheWait", Cat(BadData(Encode(0x440D, {1, 2})), Encode(0x440D, {1, 2})), 0x40D, -3},
        WaitCase{"OnlyOtherNumbersThenSilence", Encode(0x4007, {}), 0x40D, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Requests, ABadHeaderMakesTheRequestFail) {
    ScriptedDevice dev(peer, 1, [](const SeenFrame&) { return Cat(BadHeader(Encode(0x440D, {})), Encode(0x440D, {})); });
    EXPECT_EQ(cmd_request(link, 0x840D, nullptr, 0), -2);
}

TEST_F(Requests, APortFailureEndsTheWait) {
    peer.Close();
    EXPECT_EQ(cmd_wait_reply(link, 0x40D), -6);
    EXPECT_EQ(cmd_request(link, 0x840D, nullptr, 0), -2);
}

// The two timeouts against the clock, with wide margins: only the order of
// magnitude is asserted, the machine may be loaded.
TEST_F(Requests, SilenceEndsTheWaitAfterTheByteTimeout) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cmd_request(link, 0x840D, nullptr, 0), -2);
    const int64_t ms = ElapsedMs(start);
    EXPECT_GE(ms, 200);
    EXPECT_LT(ms, ScaledDeadlineMs(2500)) << "long before the 3000 ms reply timeout";
}

TEST_F(Requests, NoiseKeepsTheWaitGoingUntilTheReplyTimeout) {
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        while (!stop) {
            peer.Send({0x55});
            std::this_thread::sleep_for(40ms);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const int r = cmd_wait_reply(link, 0x40D);
    const int64_t ms = ElapsedMs(start);
    stop = true;
    noise.join();
    EXPECT_EQ(r, -1);
    EXPECT_GE(ms, 3000);
    EXPECT_LT(ms, ScaledDeadlineMs(10000));
}

TEST_F(Requests, AHalfFrameFromAnEarlierOpenDoesNotSpoilTheNextReply) {
    peer.Send({0x01, 0x0D, 0x44, 0x00});  // the device stops in the middle of a header
    EXPECT_EQ(cmd_wait_reply(link, 0x40D), -1);
    cmd_close(link);
    ASSERT_EQ(cmd_open(link, "COM1", 19200, "8N1"), 0);
    peer.Send(Encode(0x440D, {}));
    EXPECT_EQ(cmd_wait_reply(link, 0x40D), 2);
}

// Every typed query of the table: what goes on the line and what is copied.
class TypedQueries : public Requests, public ::testing::WithParamInterface<CmdTyped> {};

TEST_P(TypedQueries, SendTheNumberAndCopyTheFixedCount) {
    const CmdTyped row = GetParam();
    Bytes reply(row.queryBytes);
    for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = uint8_t(0x10 + i);
    ScriptedDevice dev(peer, 1, [&](const SeenFrame& f) { return Encode(f.word, reply); });
    Bytes out(row.queryBytes + 4, 0xCC);
    const int r = row.query == CmdQuery::WithParam ? cmd_get_with(link, row.number, 0x0A0B, out)
                                                   : cmd_get(link, row.number, out);
    EXPECT_EQ(r, 2);
    ASSERT_EQ(dev.Frames().size(), 1u);
    EXPECT_EQ(dev.Frames()[0].word, row.number);
    const Bytes param = row.query == CmdQuery::WithParam ? Bytes{0x0B, 0x0A} : Bytes{};
    EXPECT_EQ(dev.Frames()[0].data, param);
    Bytes expected = reply;
    if (row.query == CmdQuery::Reversed) {
        for (int v = 0; v < 3; ++v)
            for (int w = 0; w < 4; ++w)
                for (int b = 0; b < 2; ++b) expected[v * 8 + w * 2 + b] = reply[v * 8 + (3 - w) * 2 + b];
    }
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + row.queryBytes, out.end(), [](uint8_t b) { return b == 0xCC; }))
        << "nothing beyond the fixed count";
}

std::vector<CmdTyped> Rows(bool sets) {
    std::vector<CmdTyped> rows;
    for (const CmdTyped& r : CmdTypedTable()) {
        if (sets ? r.set != CmdSetForm::None
                 : r.query != CmdQuery::None && r.query != CmdQuery::SendOnly && r.query != CmdQuery::UntilRecord)
            rows.push_back(r);
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Table, TypedQueries, ::testing::ValuesIn(Rows(false)),
                         [](const auto& info) { return "Number" + std::to_string(info.param.number); });

class TypedSets : public Requests, public ::testing::WithParamInterface<CmdTyped> {};

TEST_P(TypedSets, FormAndResult) {
    const CmdTyped row = GetParam();
    Bytes data(row.setBytes);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(0x80 + i);
    // Accepted; accepted although refused too (the refusal flag is not looked
    // at); neither flag.
    const uint16_t flags[] = {0x4000, 0x6000, 0x0000};
    const int results[] = {0, 0, -1};
    for (int i = 0; i < 3; ++i) {
        ScriptedDevice dev(peer, 1, [&](const SeenFrame&) { return Encode(uint16_t(flags[i] | row.number), {}); });
        EXPECT_EQ(cmd_set(link, row.number, data), results[i]) << "flags " << flags[i];
        ASSERT_EQ(dev.Frames().size(), 1u);
        const uint16_t form = row.set == CmdSetForm::A ? 0x4000 : 0x8000;
        EXPECT_EQ(dev.Frames()[0].word, form | row.number);
        EXPECT_EQ(dev.Frames()[0].data, data);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TypedSets, ::testing::ValuesIn(Rows(true)),
                         [](const auto& info) { return "Number" + std::to_string(info.param.number); });

TEST_F(Requests, TypedCommandsRefuseWhatTheTableDoesNotOffer) {
    Bytes small(4), data(3);
    EXPECT_EQ(cmd_get(link, 20, {}), kCmdBadArgument) << "20 has only a set";
    EXPECT_EQ(cmd_get(link, 22, {}), kCmdBadArgument) << "22 needs a parameter";
    EXPECT_EQ(cmd_get_with(link, 3, 1, {}), kCmdBadArgument);
    EXPECT_EQ(cmd_get(link, 2, small), kCmdBadArgument) << "place smaller than 20 bytes";
    EXPECT_EQ(cmd_get(link, 999, {}), kCmdBadArgument);
    EXPECT_EQ(cmd_set(link, 2, data), kCmdBadArgument) << "2 has no set";
    EXPECT_EQ(cmd_set(link, 9, data), kCmdBadArgument) << "set 9 takes 6 bytes";
    EXPECT_TRUE(peer.Drain().empty()) << "nothing was sent";
}

TEST_F(Requests, AQueryCopiesItsCountEvenFromAShorterReply) {
    int n = 0;
    ScriptedDevice dev(peer, 2, [&n](const SeenFrame& f) {
        return ++n == 1 ? Encode(f.word, Bytes(46, 0x77)) : Encode(f.word, {0x01, 0x02});
    });
    Bytes out(46, 0);
    EXPECT_EQ(cmd_get(link, 10, out), 2);
    EXPECT_EQ(cmd_get(link, 10, out), 2);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 0x02);
    EXPECT_TRUE(std::all_of(out.begin() + 2, out.end(), [](uint8_t b) { return b == 0x77; }))
        << "beyond the short reply: what the buffer held before";
}

TEST_F(Requests, SendOnlyCommandAndLockedSendsAwaitNoReply) {
    EXPECT_EQ(cmd_get(link, 43, {}), 0);
    EXPECT_EQ(cmd_send_value_locked(link, 0x0016, 0x0102), 0);
    EXPECT_EQ(peer.Drain(), Cat(Encode(43, {}), Encode(0x0016, {0x02, 0x01})));
}

struct LoopCase {
    const char* name;
    std::vector<Bytes> frames;  // sent in answer to the query
    int result;
    int lastData0;              // out[0] afterwards, or -1 for the 0xFF marker at byte 21
};

class QueryUntilRecord : public Requests, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(QueryUntilRecord, SkipsOtherFramesUntilTheAnswer) {
    ScriptedDevice dev(peer, 1, [&](const SeenFrame&) {
        Bytes all;
        for (const auto& f : GetParam().frames) all = Cat(all, f);
        return all;
    });
    Bytes out(32, 0x00);
    EXPECT_EQ(cmd_get(link, 11, out), GetParam().result);
    EXPECT_EQ(dev.Frames().at(0).word, 11);
    if (GetParam().lastData0 < 0)
        EXPECT_EQ(out[21], 0xFF);
    else
        EXPECT_EQ(out[0], GetParam().lastData0);
}

Bytes Record(int16_t first, uint8_t tag) {
    Bytes d(32, tag);
    d[0] = uint8_t(first);
    d[1] = uint8_t(uint16_t(first) >> 8);
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QueryUntilRecord,
    ::testing::Values(
        LoopCase{"Word11WithData", {Encode(0x0002, {1}), Encode(11, Record(5, 0x11))}, 2, 5},
        LoopCase{"Word11WithoutDataMarksTheRecord", {Encode(11, {})}, 2, -1},
        LoopCase{"Word4WithANegativeFirstWordIsSkipped",
                 {Encode(4, Record(-1, 0x22)), Encode(4, Record(0, 0x33))}, 2, 0},
        LoopCase{"Word4WithoutDataIsSkipped", {Encode(4, {}), Encode(11, Record(7, 0x44))}, 2, 7},
        LoopCase{"FlaggedWord11IsNotTheAnswer", {Encode(0x400B, Record(9, 0x55))}, -1, 9}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Requests, QueryUntilRecordIsBoundedByTheReplyTimeout) {
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        while (!stop) {
            peer.Send(Encode(0x0005, {1, 2}));
            std::this_thread::sleep_for(30ms);
        }
    });
    cmd_set_reply_timeout(link, 500);
    const auto start = std::chrono::steady_clock::now();
    const int r = cmd_get(link, 11, {});
    const int64_t ms = ElapsedMs(start);
    stop = true;
    chatter.join();
    EXPECT_EQ(r, -1);
    EXPECT_LT(ms, ScaledDeadlineMs(10000)) << "a device talking about other things does not hold the caller for ever";
}

}  // namespace
