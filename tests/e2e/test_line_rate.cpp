// Every target through the command-line tool at line rate: the boards take
// the host's bytes at the rate and framing of the real line, answer after a
// USB adapter's turnaround, and the host has filled its queue with data well
// ahead of them. And every target refuses to call a damaged transfer a success.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "sim_board.h"

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

// Runs the tool in the board's private directory, where no flash.stp lies.
ProcessResult FlashWithCli(SimBoard& board, const Target& t, const Bytes& fw) {
    const std::string path = board.PortsDir() + "/fw.bin";
    WriteFileBytes(path, fw);
    char old[4096];
    const std::string back = getcwd(old, sizeof old) ? old : "/";
    EXPECT_EQ(chdir(board.PortsDir().c_str()), 0);
    ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"-t", t.item, "-p", "COM1", path}, 120000);
    EXPECT_EQ(chdir(back.c_str()), 0);
    return r;
}

// The image at its place; everything else erased but the pad cell after an odd image.
void ExpectFlashHolds(const Bytes& flash, const Bytes& fw, std::size_t bank2From = 0) {
    Bytes want(flash.size(), 0xFF);
    ASSERT_GE(flash.size(), bank2From ? 0x20000 + fw.size() - bank2From : fw.size());
    if (bank2From) {
        std::copy(fw.begin(), fw.begin() + 0x20000, want.begin());
        std::copy(fw.begin() + bank2From, fw.end(), want.begin() + bank2From);
    } else {
        std::copy(fw.begin(), fw.end(), want.begin());
    }
    if (fw.size() & 1) want[fw.size()] = flash[fw.size()];
    const auto diff = std::mismatch(flash.begin(), flash.end(), want.begin());
    EXPECT_TRUE(diff.first == flash.end()) << "flash differs at offset " << (diff.first - flash.begin());
}

class LineRate : public ::testing::TestWithParam<Target> {};

TEST_P(LineRate, TheBoardHoldsTheImage) {
    const Target& t = GetParam();
    SimOptions o;
    o.board = t.board;
    o.pace = true;
    o.latencyMs = 16;
    SimBoard board(o);
    const Bytes fw = PatternBytes(t.size, 29);
    const ProcessResult r = FlashWithCli(board, t, fw);
    ASSERT_EQ(r.status, 0) << r.err << "\n" << board.Log();
    board.Wait();
    ExpectFlashHolds(board.Flash(), fw, std::string(t.board) == "sam3u" ? 0x80000 : 0);
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
        SimOptions o;
        o.board = t.board;
        o.pace = true;
        o.latencyMs = 16;
        o.extraArgs = {"--queue", "65536"};
        SimBoard board(o);
        const Bytes fw = PatternBytes(t.size, 31);
        const ProcessResult r = FlashWithCli(board, t, fw);
        ASSERT_EQ(r.status, 0) << r.err << "\n" << board.Log();
        board.Wait();
        ExpectFlashHolds(board.Flash(), fw);
    }
}

// Bytes the host sent in a whole run, from the board's closing line.
std::size_t BytesInARun(const std::string& log) {
    std::smatch m;
    const std::regex closed("host closed COM1 after ([0-9]+) bytes");
    return std::regex_search(log, m, closed) ? std::stoul(m[1]) : 0;
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
        const ProcessResult r = FlashWithCli(clean, t, fw);
        ASSERT_EQ(r.status, 0) << r.err;
        clean.Wait();
        total = BytesInARun(clean.Log());
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
        const ProcessResult r = FlashWithCli(board, t, fw);
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
