// The command-line tool against what a user or a tester throws at it: bad
// input of every kind is refused before the board hears a single byte, the
// settings file is only ever a regular file, and signals end a run through its
// abort path with the port released.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "engine/catalogue.h"
#include "serial/deadline.h"
#include "settings/setup_file.h"
#include "child.h"
#include "sim_board.h"

using namespace qtx::test;
namespace fs = std::filesystem;

namespace {

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What the board heard: the rig reports each host session when the port
// closes, and the count of received bytes when it is stopped.
void ExpectNothingReceived(SimBoard& board, const std::string& what) {
    const std::string log = board.Log();
    EXPECT_FALSE(Has(log, "host ")) << what << ": the port was opened\n" << log;
}

class CliRefusals : public ::testing::Test {
protected:
    void SetUp() override { old_ = fs::current_path(); }
    void TearDown() override { fs::current_path(old_); }
    fs::path old_;
};

struct BadInput {
    std::string what;
    std::vector<std::string> args;
    std::string says;  // part of the message
};

TEST_F(CliRefusals, BadInputIsExitOneWithAMessageAndTheBoardHearsNothing) {
    SimBoard board;
    fs::current_path(board.PortsDir());
    WriteFileBytes("fw.bin", PatternBytes(100));
    WriteFileBytes("empty.bin", {});
    ASSERT_EQ(mkfifo("fifo.bin", 0644), 0);
    ASSERT_EQ(mkfifo("fifo.stp", 0644), 0);
    qtx::Setup zeroBaud = qtx::DefaultImage();
    zeroBaud.Ports[qtx::PortRecordIndex(1)].SetBaudRate(0);
    ASSERT_TRUE(qtx::WriteSetupFile("zero-baud.stp", zeroBaud));
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "sock.bin");
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    std::vector<BadInput> cases = {
        {"empty file", {"empty.bin"}, "empty.bin"},
        {"/dev/null", {"/dev/null"}, "/dev/null"},
        {"/dev/zero", {"/dev/zero"}, "/dev/zero"},
        {"FIFO", {"fifo.bin"}, "fifo.bin"},
        {"socket", {"sock.bin"}, "sock.bin"},
        {"/proc file", {"/proc/self/status"}, "/proc/self/status"},
        {"directory", {"."}, "."},
        {"missing file", {"missing.bin"}, "missing.bin"},
        {"no file", {}, "no firmware file given"},
        {"empty -t", {"-t", "", "fw.bin"}, "-t needs a value"},
        {"empty -p", {"-p", "", "fw.bin"}, "-p needs a value"},
        {"empty -b", {"-b", "", "fw.bin"}, "-b needs a value"},
        {"blank -b", {"-b", "  ", "fw.bin"}, "-b needs a value"},
        {"empty --settings", {"--settings", "", "fw.bin"}, "--settings needs a value"},
        {"baud with a letter", {"-b", "96OO", "fw.bin"}, "not a positive number"},
        {"baud zero", {"-b", "0", "fw.bin"}, "not a positive number"},
        {"baud with a sign", {"-b", "+9600", "fw.bin"}, "not a positive number"},
        {"port past COM999", {"-p", "COM1000", "fw.bin"}, "COM1 to COM999"},
        {"port LPT1", {"-p", "LPT1", "fw.bin"}, "COM1 to COM999"},
        {"unknown target", {"-t", "Z80", "fw.bin"}, "unknown target"},
        {"unknown option", {"--bogus", "fw.bin"}, "unknown option"},
        {"settings FIFO", {"--settings", "fifo.stp", "fw.bin"}, "fifo.stp"},
        {"settings device, saved", {"--settings", "/dev/null", "--save", "fw.bin"}, "/dev/null"},
        {"settings with baud 0", {"--settings", "zero-baud.stp", "-t", "C166/167", "fw.bin"},
         "zero-baud.stp gives COM1 the baud rate 0"},
        {"settings to save where none can be written", {"--settings", "no-dir/flash.stp", "--save", "fw.bin"},
         "no-dir/flash.stp cannot be written"},
    };
    // One byte more than each target holds.
    for (const qtx::TargetRow* row : qtx::Catalogue()) {
        const std::string file = std::string("big-") + row->simBoard + ".bin";
        WriteFileBytes(file, std::vector<uint8_t>(row->maxImageSize + 1, 0x5A));
        cases.push_back({std::string("oversize for ") + row->itemText, {"-t", row->itemText, file}, file});
    }

    for (const BadInput& c : cases) {
        const auto t0 = std::chrono::steady_clock::now();
        const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, c.args, 20000);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << c.what << ": " << r.err;
        EXPECT_LT(ms.count(), qtx::ScaledDeadlineMs(5000)) << c.what << " took long: something waited";
        ExpectNothingReceived(board, c.what);
    }
    ::close(sock);

    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/null was replaced";
    EXPECT_FALSE(fs::exists("flash.stp"));

    board.Stop();
    EXPECT_TRUE(Has(board.Log(), "stopped after 0 bytes received")) << board.Log();
    for (uint8_t b : board.Flash()) ASSERT_EQ(b, 0xFF);
}

// Set but empty is a mistake, never "detect the real ports" (that reached the
// machine's console port once).
TEST_F(CliRefusals, AnEmptyPortMapVariableIsAnError) {
    SimBoard board;
    fs::current_path(board.PortsDir());
    WriteFileBytes("fw.bin", PatternBytes(10));
    const std::string saved = std::getenv("QTXFLASH_PORTS");
    ::setenv("QTXFLASH_PORTS", "", 1);
    const ProcessResult run = RunProgram(QTXFLASH_CLI_PATH, {"fw.bin"}, 20000);
    const ProcessResult list = RunProgram(QTXFLASH_CLI_PATH, {"--list-ports"}, 20000);
    ::setenv("QTXFLASH_PORTS", saved.c_str(), 1);
    for (const ProcessResult* r : {&run, &list}) {
        EXPECT_EQ(r->status, 1) << r->err;
        EXPECT_TRUE(Has(r->err, "QTXFLASH_PORTS is set but empty")) << r->err;
        EXPECT_FALSE(Has(r->out, "/dev/tty")) << r->out;
    }
    ExpectNothingReceived(board, "empty QTXFLASH_PORTS");
}

TEST_F(CliRefusals, BlanksAroundTheBaudRateCountAlikeOnBothSides) {
    for (const char* baud : {" 38400", "38400 ", "\t38400 "}) {
        SimBoard board;
        fs::current_path(board.PortsDir());
        WriteFileBytes("fw.bin", PatternBytes(64));
        const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"-b", baud, "fw.bin"}, 30000);
        EXPECT_EQ(r.status, 0) << "[" << baud << "] " << r.err;
        EXPECT_TRUE(Has(r.err, "(8N1, 38400 baud)")) << r.err;
        fs::current_path(old_);
    }
}

// flash.stp in the working directory that is no settings file: a FIFO is
// skipped with a word (it used to hang the tool), garbage is never printed raw.
TEST_F(CliRefusals, AStrangeFlashStpIsSkippedOrShownSafely) {
    {
        SimBoard board;
        fs::current_path(board.PortsDir());
        WriteFileBytes("fw.bin", PatternBytes(64));
        ASSERT_EQ(mkfifo("flash.stp", 0644), 0);
        const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"fw.bin"}, 20000);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(Has(r.err, "ignoring flash.stp here: not a regular file")) << r.err;
        const ProcessResult save = RunProgram(QTXFLASH_CLI_PATH, {"--save", "fw.bin"}, 20000);
        EXPECT_EQ(save.status, 1) << save.err;
        struct stat st {};
        ASSERT_EQ(::stat("flash.stp", &st), 0);
        EXPECT_TRUE(S_ISFIFO(st.st_mode));
        fs::current_path(old_);
    }
    SimBoard board;
    fs::current_path(board.PortsDir());
    WriteFileBytes("fw.bin", PatternBytes(64));
    // A record of the right size whose C166/167 port name is a terminal escape
    // sequence and bytes that are no text.
    std::vector<uint8_t> stp(14570, 0);
    const uint8_t name[7] = {0x1B, '[', '2', 'J', 0x9B, 0xFF, 0};
    std::copy(name, name + 7, stp.begin() + 15);
    stp[1266] = 1;
    WriteFileBytes("flash.stp", stp);
    const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"fw.bin"}, 20000);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.err.find('\x1B'), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\x9B'), std::string::npos);
    EXPECT_EQ(r.err.find('\xFF'), std::string::npos);
    EXPECT_TRUE(Has(r.err, "\\x1B[2J\\x9B\\xFF")) << r.err;
}

// ---- signals ---------------------------------------------------------------------

// SIGINT, SIGHUP and SIGTERM end a run like the Abort button: the port is
// released (the board sees the host close) and the status says which.
TEST_F(CliRefusals, SignalsAbortTheRunAndReleaseThePort) {
    const std::pair<int, int> cases[] = {{SIGINT, 130}, {SIGHUP, 130}, {SIGTERM, 143}};
    for (const auto& [sig, status] : cases) {
        // Paced, so that the run lasts seconds whatever the loader's erase takes.
        SimOptions o;
        o.pace = true;
        SimBoard board(o);
        fs::current_path(board.PortsDir());
        WriteFileBytes("fw.bin", PatternBytes(64 * 1024));
        Child child({"fw.bin"});
        ASSERT_TRUE(child.WaitFor("ERASE: running", 20000)) << child.text;
        const auto sent = std::chrono::steady_clock::now();
        ::kill(child.pid, sig);
        EXPECT_EQ(child.Exit(5000), status) << strsignal(sig) << "\n" << child.text;
        EXPECT_LT(MsSince(sent), qtx::ScaledDeadlineMs(2000)) << strsignal(sig);
        EXPECT_TRUE(Has(child.text, ": ABORT")) << child.text;
        EXPECT_EQ(board.Wait(5000), 0) << "the board never saw the port closed\n" << board.Log();
        fs::current_path(old_);
    }
}

// The switch of a running device into its boot loader takes seconds (130
// texts, 50 ms each at least); Ctrl-C there must not wait for it.
TEST_F(CliRefusals, CtrlCDuringTheBootModeSwitchEndsTheRunAtOnce) {
    SimOptions o;
    o.board = "sam3u";
    o.extraArgs = {"--app-running"};
    o.once = false;
    SimBoard board(o);
    fs::current_path(board.PortsDir());
    WriteFileBytes("fw.bin", PatternBytes(256));
    Child child({"-t", "SAM3U", "fw.bin"});
    ASSERT_TRUE(child.WaitFor("Autobauding", 30000)) << child.text;
    ::usleep(300000);  // well into the broadcast
    const auto sent = std::chrono::steady_clock::now();
    ::kill(child.pid, SIGINT);
    EXPECT_EQ(child.Exit(5000), 130) << child.text;
    EXPECT_LT(MsSince(sent), qtx::ScaledDeadlineMs(2000)) << child.text;
    board.Stop();
    const std::string log = board.Log();
    std::size_t texts = 0;
    for (auto at = log.find("host session of 5 bytes"); at != std::string::npos; at = log.find("host session of 5 bytes", at + 1))
        ++texts;
    EXPECT_LT(texts, 130u) << "the broadcast went on after the signal\n" << log;
    EXPECT_EQ(log.find("boot-mode command"), std::string::npos) << log;
}

// A reader of the output that goes away must not end the run: the board is
// programmed and the tool says so in its status.
TEST_F(CliRefusals, AClosedOutputPipeDoesNotEndTheRun) {
    SimBoard board;
    fs::current_path(board.PortsDir());
    const auto fw = PatternBytes(20000, 3);
    WriteFileBytes("fw.bin", fw);
    const ProcessResult r = RunProgram(
        "/bin/bash", {"-c", "\"$0\" fw.bin 2>&1 | head -1 >/dev/null; exit ${PIPESTATUS[0]}", QTXFLASH_CLI_PATH}, 60000);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(board.Wait(), 0);
    const auto flash = board.Flash();
    ASSERT_GE(flash.size(), fw.size());
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
}

}  // namespace
