// Every target through the command-line tool at line rate: the boards take
// the host's bytes at the rate and framing of the real line, answer after a
// USB adapter's turnaround, and the host has filled its queue with data well
// ahead of them. And every target refuses to call a damaged transfer a success.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "engine/target_table.h"
#include "run_checks.h"

using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

struct Target {
    const char* item;    // -t
    const char* board;
    std::size_t size;    // at line rate: enough to fill the host's queue where the target takes it
    uint8_t erased;
    friend void PrintTo(const Target& t, std::ostream* os) { *os << t.board; }
};

std::string Name(const ::testing::TestParamInfo<Target>& info) { return info.param.board; }

// Without block acknowledgements the data fill the host's queue (a pseudo-terminal
// holds 14 to 20 KiB): 24001 bytes do, unless the target holds less. Some
// targets are tuned: the loader image or the monitor's write commands fill the
// queue where blocks are acknowledged, and a two-bank image crosses the gap.
std::size_t LineRateSize(const qtx::TargetRow& row) {
    const std::string b = row.simBoard;
    if (b == "c509") return 20001;        // 9600 8N2: 23 s
    if (b == "xc164" || b == "xe167") return 4097;  // the image at 19200, blocks of 128
    if (b == "t89c5xacx") return 4000;
    if (b == "sam3u") return 0x80000 + 3001;  // two banks: 131 KiB on the line
    if (b == "sam3s") return 40001;
    if (b == "stm32f4") return 120001;    // 8E1: 11.5 s
    return std::min<std::size_t>(24001, row.maxImageSize);
}

std::vector<Target> AllTargets(bool lineRateSizes) {
    std::vector<Target> targets;
    for (const qtx::TargetRow* row : qtx::Catalogue())
        targets.push_back({row->itemText, row->simBoard, lineRateSizes ? LineRateSize(*row) : 2001, row->erasedValue});
    return targets;
}

ProcessResult Cli(const SimBoard& board, const Target& t, const Bytes& fw) {
    return FlashWithCli(board, {"-t", t.item, "-p", "COM1"}, fw);
}

// The image at its place; everything else erased but the pad cell after an odd image.
FlashLayout Layout(const Target& t) {
    if (std::string(t.board) == "sam3u") return {OddPad::Any, 0, 0x20000, 0x80000, 0x80000};
    return {.pad = OddPad::Any, .erased = t.erased};
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

INSTANTIATE_TEST_SUITE_P(Paced, LineRate, ::testing::ValuesIn(AllTargets(true)), Name);

// A USB adapter that buffers far more than the pseudo-terminal: the host's
// waits must still count from when its bytes can have left.
TEST(LineRateQueue, ALargeAdapterQueueStillEndsInSuccess) {
    for (const Target& t : {Target{"STM32F4", "stm32f4", 90001, 0xFF}, Target{"C166/167", "c167", 24001, 0xFF}}) {
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

INSTANTIATE_TEST_SUITE_P(AllTargets, DamagedData, ::testing::ValuesIn(AllTargets(false)), Name);

}  // namespace
