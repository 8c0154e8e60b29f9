// qtxsim on the wire: a raw termios client talks to the board through the
// port map link, as the flasher would. Waits use generous deadlines; time is
// only ever checked as a lower bound (a loaded machine can only make it longer).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "raw_client.h"
#include "sim/line.h"
#include "run_checks.h"

namespace qtx::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string Port(const SimBoard& b, const std::string& name = "COM1") { return b.PortsDir() + "/" + name; }
bool LinkExists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

SimOptions Options(std::vector<std::string> faults = {}) {
    SimOptions o;
    o.faults = std::move(faults);
    o.eraseMs = 20;
    return o;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes SizeCommand(uint32_t n) { return {0x22, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}; }

void Boot(RawClient& c) {
    c.Write(0x00);
    ASSERT_EQ(c.Read(1), Bytes{0x55});
    c.Write(C166Image());
    ASSERT_EQ(c.Read(1), Bytes{0x00});
}

void EraseAndSize(RawClient& c, uint32_t size) {
    c.Write(0x62);
    ASSERT_EQ(c.Read(1), Bytes{0x00});
    c.Write(SizeCommand(size));
    ASSERT_EQ(c.Read(1), Bytes{0x00});
}

void SendData(RawClient& c, const Bytes& data) {
    c.Write(0x42);
    for (std::size_t i = 0; i < data.size(); i += 2) c.Write(Bytes(data.begin() + i, data.begin() + i + 2));
}

// ---- a whole run -------------------------------------------------------------------

TEST(Wire, FullRunProgramsTheFlashAndOnceEndsAfterTheClose) {
    SimBoard board(Options());
    EXPECT_EQ(board.DevicePath().rfind("/dev/pts/", 0), 0u);
    const Bytes data = PatternBytes(6000, 7);
    {
        RawClient c(Port(board), 57600);
        Boot(c);
        EraseAndSize(c, uint32_t(data.size()));
        SendData(c, data);
        EXPECT_EQ(c.Read(1), Bytes{0x00});
        c.Write(0x01);
        EXPECT_TRUE(c.Read(1, 200).empty()) << "finish has no answer";
    }
    ASSERT_EQ(board.Wait(), 0) << board.Log();
    EXPECT_FALSE(LinkExists(Port(board))) << "the link goes with the board";
    const Bytes flash = board.Flash();
    ASSERT_EQ(flash.size(), 512u * 1024);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + data.size(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_NE(board.Log().find("3000 words programmed"), std::string::npos) << board.Log();
}

TEST(Wire, AnImageOneByteShortLeavesTheLoaderSilent) {
    SimBoard board(Options());
    RawClient c(Port(board));
    c.Write(0x00);
    ASSERT_EQ(c.Read(1), Bytes{0x55});
    Bytes image = C166Image();
    image.pop_back();
    c.Write(image);
    EXPECT_TRUE(c.Read(1, 400).empty()) << "the first stage still waits for its last byte";
}

TEST(Wire, SizeBeyondTheFlashIsAnsweredOne) {
    SimBoard board(Options());
    RawClient c(Port(board));
    Boot(c);
    c.Write(SizeCommand(512 * 1024 + 2));
    EXPECT_EQ(c.Read(1), Bytes{0x01});
}

// ---- faults ------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    std::vector<std::string> faults;
    Bytes send;
    Bytes answers;        // everything the host should receive, in order
    std::string logged;   // a line the board must log ("" for none)
};

class WireFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(WireFault, AnswersAsInjected) {
    const FaultCase& fc = GetParam();
    SimBoard board(Options(fc.faults));
    RawClient c(Port(board));
    c.Write(fc.send);
    EXPECT_EQ(c.Read(fc.answers.size()), fc.answers);
    EXPECT_TRUE(c.Read(1, 300).empty()) << "no further answer";
    if (!fc.logged.empty()) {
        EXPECT_TRUE(WaitForLog(board, fc.logged)) << board.Log();
    }
}

const Bytes kZero{0x00};

INSTANTIATE_TEST_SUITE_P(
    Faults, WireFault,
    ::testing::Values(
        FaultCase{"Silent", {"silent"}, Concat({kZero, C166Image()}), {}, "silent fault"},
        FaultCase{"BadId", {"bad-id"}, kZero, {0xD5}, "(bad-id fault)"},
        // The lost or damaged zero byte goes unanswered; the second wakes the board,
        // and the image then lines up (it would not, had the first counted).
        FaultCase{"DropZero", {"drop@0"}, Concat({kZero, kZero, C166Image()}), {0x55, 0x00}, "drop fault: byte 0"},
        FaultCase{"CorruptZero", {"corrupt@0"}, Concat({kZero, kZero, C166Image()}), {0x55, 0x00}, "ignored 0x01"},
        // Image byte 8 is the first stage's JNB opcode: flipped, it is undefined and the core stops.
        FaultCase{"CorruptImageByte", {"corrupt@9"}, Concat({kZero, C166Image()}), {0x55}, "the core stopped"},
        FaultCase{"BadAckOfId", {"bad-ack@1"}, Concat({kZero, C166Image()}), {0x54, 0x00}, ""},
        FaultCase{"BadAckOfImage", {"bad-ack@811"}, Concat({kZero, C166Image()}), {0x55, 0x01}, ""},
        FaultCase{"DropAndBadAck", {"drop@0,bad-ack@2"}, Concat({kZero, kZero, C166Image()}), {0x54, 0x00}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Wire, VerifyErrorFaultSendsTheReportAndThenNothing) {
    SimBoard board(Options({"verify-error@0x101"}));
    RawClient c(Port(board));
    Boot(c);
    const Bytes data = PatternBytes(1024, 3);
    EraseAndSize(c, uint32_t(data.size()));
    SendData(c, data);
    // The weak cell keeps its lowest bit that should have become 0.
    const uint8_t cleared = uint8_t(~data[0x101]);
    ASSERT_NE(cleared, 0);
    const Bytes report = {0x00, 0x01, 0x00, 0x00, data[0x100], data[0x101], data[0x100],
                          uint8_t(data[0x101] | (cleared & -cleared)), 0x02};
    EXPECT_EQ(c.Read(9), report);
    EXPECT_TRUE(c.Read(1, 300).empty());
}

TEST(Wire, UnplugHangsUpTheClientAndRemovesTheLink) {
    SimBoard board(Options({"unplug@1"}));
    RawClient c(Port(board));
    c.Write(0x00);
    EXPECT_TRUE(c.WaitHangup());
    EXPECT_EQ(board.Wait(), 0) << board.Log();
    EXPECT_FALSE(LinkExists(Port(board)));
    EXPECT_EQ(board.Flash().size(), 512u * 1024) << "the flash is written when the board ends";
}

// ---- the line -------------------------------------------------------------------------

TEST(Wire, BytesAtAnotherRateArriveGarbled) {
    SimBoard board(Options());
    RawClient c(Port(board), 57600);
    c.Write(0x00);
    ASSERT_EQ(c.Read(1), Bytes{0x55});
    c.SetBaud(19200);
    c.Write(C166Image());
    EXPECT_TRUE(c.Read(1, 300).empty());
    EXPECT_TRUE(WaitForLog(board, "host sends at 19200 baud")) << board.Log();
}

TEST(Wire, AnswersArriveGarbledWhenTheHostListensAtAnotherRate) {
    SimBoard board(Options());
    RawClient c(Port(board), 57600, 9600);   // sends at 57600, receives at 9600
    c.Write(0x00);
    EXPECT_EQ(c.Read(1), Bytes{qtx::sim::Garble(0x55, 57600, 9600)});
}

class WirePace : public ::testing::TestWithParam<uint32_t> {};

TEST_P(WirePace, ImageTakesAtLeastItsLineTime) {
    const uint32_t baud = GetParam();
    SimOptions o = Options();
    o.pace = true;
    SimBoard board(o);
    RawClient c(Port(board), baud);
    c.Write(0x00);
    ASSERT_EQ(c.Read(1), Bytes{0x55});
    const auto start = Clock::now();
    c.Write(C166Image());
    ASSERT_EQ(c.Read(1, 10000), Bytes{0x00});
    const double lineSeconds = 810.0 * 10 / baud;
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(took, 0.95 * lineSeconds);
}

INSTANTIATE_TEST_SUITE_P(Rates, WirePace, ::testing::Values(57600u, 230400u));

TEST(Wire, LatencyDelaysTheAnswer) {
    SimOptions o = Options();
    o.latencyMs = 200;
    SimBoard board(o);
    RawClient c(Port(board));
    const auto start = Clock::now();
    c.Write(0x00);
    ASSERT_EQ(c.Read(1), Bytes{0x55});
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(195));
}

// ---- sessions and lifetime ---------------------------------------------------------------

TEST(Wire, OnceIgnoresABareProbe) {
    SimBoard board(Options());
    RawClient(Port(board)).Close();   // open and close without data
    ASSERT_TRUE(WaitForLog(board, "after 0 bytes"));
    RawClient c(Port(board));
    c.Write(0x00);
    EXPECT_EQ(c.Read(1), Bytes{0x55}) << "the board must still be there";
    c.Close();
    EXPECT_EQ(board.Wait(), 0);
}

TEST(Wire, WithoutOnceEachOpenFindsAFreshRawBoard) {
    SimOptions o = Options();
    o.once = false;
    SimBoard board(o);
    {
        RawClient c(Port(board));
        Boot(c);
        c.Write({0x06, 'N', 'A', 'M', 'E', 0, 0, 0, 0});
        ASSERT_TRUE(c.Readable()) << "the name is answered";
        c.SetCooked();   // leave the answer unread and the line cooked, with echo
    }
    ASSERT_TRUE(WaitForLog(board, "host closed COM1 after 820 bytes")) << board.Log();
    {
        const int fd = ::open(Port(board).c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u) << "the board sets raw mode after every close";
        ::close(fd);
    }
    RawClient c(Port(board));
    EXPECT_TRUE(c.Read(1, 200).empty()) << "nothing left over from the last run";
    Boot(c);   // back in the ROM boot loader
    c.Close();
    board.Stop();
    EXPECT_EQ(board.Wait(), 0);
    EXPECT_FALSE(LinkExists(Port(board)));
}

class WireReopen : public ::testing::TestWithParam<bool> {};

TEST_P(WireReopen, AHostThatReopensAtOnceStillFindsTheBoardReset) {
    // The host's close and reopen may both happen before the board looks.
    SimOptions o = Options();
    o.once = false;
    o.pace = GetParam();
    SimBoard board(o);
    for (int run = 0; run < 25; ++run) {
        RawClient c(Port(board));
        c.Write(0x00);
        ASSERT_EQ(c.Read(1), Bytes{0x55}) << "run " << run << "\n" << board.Log();
        c.Write(0x01);   // left for the board to find after the close
    }
}

INSTANTIATE_TEST_SUITE_P(Pacing, WireReopen, ::testing::Values(false, true));

TEST(Wire, StopEndsTheBoardCleanly) {
    SimOptions o = Options();
    o.once = false;
    SimBoard board(o);
    board.Stop();
    EXPECT_EQ(board.Wait(), 0) << board.Log();
    EXPECT_FALSE(LinkExists(Port(board)));
    const Bytes flash = board.Flash();
    EXPECT_EQ(flash.size(), 512u * 1024);
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

// ---- the command line ----------------------------------------------------------------------

TEST(Program, UsageErrorsExitTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--board", "c167"},
        {"--board", "z80", "--port", "COM1"},
        {"--board", "c167", "--port", "COMX"},
        {"--board", "c167", "--port", "COM1", "--fault", "explode@3"},
        {"--board", "c167", "--port", "COM1", "--latency-ms", "soon"},
    };
    for (const auto& args : cases) {
        const ProcessResult r = RunProgram(QTXSIM_PATH, args, 10000);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << r.err;
        EXPECT_NE(r.err.find("qtxsim: "), std::string::npos);
    }
    const ProcessResult help = RunProgram(QTXSIM_PATH, {"--help"}, 10000);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("c167"), std::string::npos);
}

TEST(Program, PortLinksAreReplacedOnlyWhenStale) {
    const std::string dir = MakeTempDir("links");
    const std::vector<std::string> args = {"--board", "c167", "--port", "COM1", "--ports-dir", dir,
                                           "--fault", "unplug@0"};
    fs::create_symlink("/dev/pts/no-such-pty", dir + "/COM1");
    ProcessResult r = RunProgram(QTXSIM_PATH, args, 10000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("qtxsim: board c167 on COM1 -> /dev/pts/"), std::string::npos) << r.out;
    EXPECT_FALSE(LinkExists(dir + "/COM1"));

    fs::create_symlink("/dev/null", dir + "/COM1");
    r = RunProgram(QTXSIM_PATH, args, 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already links to /dev/null"), std::string::npos) << r.err;
    EXPECT_EQ(fs::read_symlink(dir + "/COM1"), "/dev/null") << "a live link is left alone";
    fs::remove_all(dir);
}

}  // namespace
}  // namespace qtx::test
