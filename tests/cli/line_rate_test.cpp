// Every target through the command-line tool at line rate: the boards take
// the host's bytes at the rate and framing of the real line, answer after a
// USB adapter's turnaround, and the host has filled its queue with data well
// ahead of them. And every target refuses to call a damaged transfer a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "run_checks.h"

using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

struct Target {
    const char* item;    // -t
    const char* board;
    std::size_t size;    // at line rate: enough to fill the host's queue where the target takes it
    friend void PrintTo(const Target& t, std::ostream* os) { *os << t.board; }
};

std::string Name(const ::testing::TestParamInfo<Target>& info) { return info.param.board; }

ProcessResult Cli(const SimBoard& board, const Target& t, const Bytes& fw) {
    return FlashWithCli(board, {"-t", t.item, "-p", "COM1"}, fw);
}

// The image at its place; everything else erased but the pad cell after an odd image.
FlashLayout Layout(const Target& t) {
    if (std::string(t.board) == "sam3u") return {OddPad::Any, 0, 0x20000, 0x80000, 0x80000};
    if (std::string(t.board) == "xe167") return {.pad = OddPad::Any, .erased = 0x00};   // erased cells read 0000h
    return {OddPad::Any};
}

class LineRate : public ::testing::TestWithParam<Target> {};

TEST_P(LineRate, TheBoardHoldsTheImage) {
    const Target& t = GetParam();
    SimOptions o = Paced();
    o.board = t.board;
    SimBoard board(o);
    Bytes fw = PatternBytes(t.size, 29);
    // A two-bank file holds nothing where the chip has no flash.
    if (t.size > 0x80000) std::fill(fw.begin() + 0x20000, fw.begin() + 0x80000, 0xFF);
    const ProcessResult r = Cli(board, t, fw);
    ASSERT_EQ(r.status, 0) << r.err << "\n" << board.Log();
    board.Wait();
    EXPECT_TRUE(FlashHolds(board.Flash(), fw, Layout(t)));
}

// Without block acknowledgements the data fill the host's queue (a pseudo-terminal
// holds 14 to 20 KiB); with them the loader image or the monitor's write commands do.
INSTANTIATE_TEST_SUITE_P(
    Paced, LineRate,
    ::testing::Values(Target{"C509", "c509", 20001},         // 9600 8N2: 23 s
                      Target{"C166/167", "c167", 24001},     // 57600: 4.6 s
                      Target{"C163", "c163", 24000},         // 19200: 13 s
                      Target{"GP4020", "gp4020", 24001},
                      Target{"XC164/167", "xc164", 4097},    // the image at 19200, blocks of 128
                      Target{"T89C5xACx", "t89c5xacx", 4000},
                      Target{"XE167", "xe167", 4097},
                      Target{"SAM3U", "sam3u", 0x80000 + 3001},  // two banks: 131 KiB on the line
                      Target{"SAM3S", "sam3s", 40001},
                      Target{"STM32F4", "stm32f4", 120001}),  // 8E1: 11.5 s
    Name);

// A USB adapter that buffers far more than the pseudo-terminal: the host's
// waits must still count from when its bytes can have left.
TEST(LineRateQueue, ALargeAdapterQueueStillEndsInSuccess) {
    for (const Target& t : {Target{"STM32F4", "stm32f4", 90001}, Target{"C166/167", "c167", 24001}}) {
        SCOPED_TRACE(t.board);
        SimOptions o = Paced();
        o.board = t.board;
        o.extraArgs = {"--queue", "65536"};
        SimBoard board(o);
        const Bytes fw = PatternBytes(t.size, 31);
        const ProcessResult r = Cli(board, t, fw);
        ASSERT_EQ(r.status, 0) << r.err << "\n" << board.Log();
        board.Wait();
        EXPECT_TRUE(FlashHolds(board.Flash(), fw, Layout(t)));
    }
}

class DamagedData : public ::testing::TestWithParam<Target> {};

// A byte corrupted or lost on the line is programmed and verified as the loader
// received it; only the content check (or T89C5xACx's record checksums) sees it.
TEST_P(DamagedData, NeverEndsInSuccess) {
    const Target& t = GetParam();
    const Bytes fw = PatternBytes(t.size, 37);
    std::size_t total = 0;
    {
        SimOptions o;
        o.board = t.board;
        SimBoard clean(o);
        const ProcessResult r = Cli(clean, t, fw);
        ASSERT_EQ(r.status, 0) << r.err;
        clean.Wait();
        total = BytesReceived(clean.Log());
        ASSERT_GT(total, 400u) << clean.Log();
    }
    // 200 bytes before the end lies in the data: only the content check, Finish
    // and control bytes, or the fuse and reset records follow them.
    const std::string at = std::to_string(total - 200);
    for (const std::string& fault : {"corrupt@" + at, "drop@" + at}) {
        SCOPED_TRACE(fault);
        SimOptions o;
        o.board = t.board;
        o.faults = {fault};
        SimBoard board(o);
        const ProcessResult r = Cli(board, t, fw);
        EXPECT_EQ(r.status, 5) << r.err << "\n" << board.Log();
        if (fault[0] == 'c') {
            EXPECT_NE(r.err.find("PROG ERR"), std::string::npos) << r.err;
            if (std::string(t.board) != "t89c5xacx") {
                EXPECT_NE(r.err.find("content check failed"), std::string::npos) << r.err;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllTargets, DamagedData,
    ::testing::Values(Target{"C509", "c509", 2001}, Target{"C166/167", "c167", 2001}, Target{"C163", "c163", 2001},
                      Target{"GP4020", "gp4020", 2001}, Target{"XC164/167", "xc164", 2001},
                      Target{"T89C5xACx", "t89c5xacx", 2001}, Target{"XE167", "xe167", 2001},
                      Target{"SAM3U", "sam3u", 2001}, Target{"SAM3S", "sam3s", 2001},
                      Target{"STM32F4", "stm32f4", 2001}),
    Name);

}  // namespace
