// The protocol's port layer on pseudo-terminals. A pty drops data bits and
// parity and has no error counters, so this binary interposes ioctl: it keeps
// the settings each TCSETS2 asked for and can answer TIOCGICOUNT itself.
// (<sys/ioctl.h>, which declares ioctl differently, is therefore not included.)
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "cmdproto/cmd_port.h"
#include "pty_peer.h"

namespace {
std::mutex g_lock;
std::map<int, termios2> g_requested;  // last TCSETS2 per descriptor
int g_setCalls = 0;
std::atomic<bool> g_fakeCounts{false};
serial_icounter_struct g_counts{};
std::atomic<bool> g_refuseSet{false};  // TCSETS2 fails as a driver refusing the settings would
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == TIOCGICOUNT && g_fakeCounts) {
        *static_cast<serial_icounter_struct*>(arg) = g_counts;
        return 0;
    }
    if (request == TCSETS2) {
        std::lock_guard<std::mutex> hold(g_lock);
        g_requested[fd] = *static_cast<const termios2*>(arg);
        ++g_setCalls;
        if (g_refuseSet) {
            errno = EINVAL;
            return -1;
        }
    }
    using Real = int (*)(int, unsigned long, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace qtx {
namespace {

using test::PtyPeer;
using Bytes = std::vector<uint8_t>;

termios2 Requested(int fd) {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_requested.at(fd);
}
int SetCalls() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_setCalls;
}
termios2 Current(int fd) {
    termios2 t{};
    EXPECT_EQ(ioctl(fd, TCGETS2, &t), 0);
    return t;
}
bool Same(const termios2& a, const termios2& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           a.c_ispeed == b.c_ispeed && a.c_ospeed == b.c_ospeed && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

// Waits (up to 10 s) until the driver has n bytes queued for reading.
bool WaitQueued(int fd, int n) {
    for (int i = 0; i < 1000; ++i) {
        int queued = 0;
        if (ioctl(fd, TIOCINQ, &queued) == 0 && queued >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class Port : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(cmd_port_open(port, "COM1"), 0); }
    void TearDown() override {
        cmd_port_close(port);
        g_fakeCounts = false;
    }
    PtyPeer peer{"COM1"};
    CmdPort port;
};

struct FramingCase {
    const char* text;
    tcflag_t size, parity;  // CSIZE bits; PARENB | PARODD bits
    bool twoStop;
};

class Framing : public Port, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(Framing, SetsDataBitsParityAndStopBits) {
    const FramingCase c = GetParam();
    ASSERT_EQ(cmd_port_set_line(port, 57600, c.text), 0);
    const termios2 t = Requested(port.handle);
    EXPECT_EQ(t.c_cflag & CSIZE, c.size);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), c.parity);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
    EXPECT_EQ(t.c_ospeed, 57600u);
    EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t(B57600));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Framing,
    ::testing::Values(FramingCase{"8N1", CS8, 0, false}, FramingCase{"8n1", CS8, 0, false},
                      FramingCase{"1N8", CS8, 0, false}, FramingCase{"7E2", CS7, PARENB, true},
                      FramingCase{"7o1", CS7, PARENB | PARODD, false}, FramingCase{"2e8", CS8, PARENB, true},
                      // A later character of the same kind wins.
                      FramingCase{"8O1EN27", CS7, 0, true}),
    [](const auto& info) {
        std::string n = info.param.text;
        for (char& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return "Text_" + n;
    });

TEST_F(Port, AnInvalidFramingTextChangesNothing) {
    ASSERT_EQ(cmd_port_set_line(port, 9600, "7E2"), 0);
    const termios2 before = Current(port.handle);
    const int calls = SetCalls();
    for (const char* text : {"8X1", "8N1 ", "X", "8-N-1", "9N1"}) {
        EXPECT_EQ(cmd_port_set_line(port, 115200, text), -3) << text;
    }
    EXPECT_EQ(SetCalls(), calls) << "nothing was applied";
    EXPECT_TRUE(Same(Current(port.handle), before));
    EXPECT_EQ(Current(port.handle).c_ospeed, 9600u);
}

TEST_F(Port, AnEmptyTextChangesOnlyTheRateAndFlowControl) {
    // Start from a line with hardware and software flow control, 7E2.
    termios2 t = Current(port.handle);
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF | INPCK;
    ASSERT_EQ(ioctl(port.handle, TCSETS2, &t), 0);
    const termios2 before = Current(port.handle);  // what the driver kept of it

    ASSERT_EQ(cmd_port_set_line(port, 230400, ""), 0);
    const termios2 after = Requested(port.handle);
    const tcflag_t rateAndFlow = CBAUD | CIBAUD | CRTSCTS | CLOCAL | CREAD;
    EXPECT_EQ(after.c_cflag & ~rateAndFlow, before.c_cflag & ~rateAndFlow) << "data bits, parity, stop bits kept";
    EXPECT_EQ(after.c_cflag & CRTSCTS, 0u) << "no CTS flow control";
    EXPECT_NE(after.c_cflag & CLOCAL, 0u) << "modem status lines ignored";
    EXPECT_EQ(after.c_iflag & IXON, 0u) << "no XON/XOFF on output";
    EXPECT_EQ(after.c_iflag & ~tcflag_t(IXON), before.c_iflag & ~tcflag_t(IXON)) << "XON/XOFF input, parity check kept";
    EXPECT_EQ(after.c_ospeed, 230400u);
    EXPECT_EQ(after.c_ispeed, 230400u);
}

TEST_F(Port, RatesWithoutAConstantAndInvalidRates) {
    ASSERT_EQ(cmd_port_set_line(port, 123457, "8N1"), 0);
    EXPECT_EQ(Requested(port.handle).c_cflag & CBAUD, tcflag_t(BOTHER));
    EXPECT_EQ(Current(port.handle).c_ospeed, 123457u);
    const int calls = SetCalls();
    EXPECT_EQ(cmd_port_set_line(port, 0, "8N1"), -1) << "rate 0 would hang the line up";
    EXPECT_EQ(cmd_port_set_line(port, -9600, "8N1"), -1);
    EXPECT_EQ(SetCalls(), calls);
    CmdPort closed;
    EXPECT_EQ(cmd_port_set_line(closed, 9600, "8N1"), -1);
}

TEST(PortSettings, AreRestoredAtClose) {
    PtyPeer peer{"COM1"};
    // A line left behind by some other program: cooked, echoing, slow, blocking reads.
    const int other = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios2 t = Current(other);
    t.c_cflag = (t.c_cflag & ~(CBAUD | CIBAUD)) | B2400 | CSTOPB | CRTSCTS;
    t.c_ispeed = t.c_ospeed = 2400;
    t.c_iflag |= ICRNL | IXON | IXOFF;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_cc[VMIN] = 3;
    t.c_cc[VTIME] = 7;
    ASSERT_EQ(ioctl(other, TCSETS2, &t), 0);
    const termios2 before = Current(other);

    CmdPort port;
    ASSERT_EQ(cmd_port_open(port, "COM1"), 0);
    const termios2 open = Current(port.handle);
    EXPECT_EQ(open.c_cc[VMIN], 0);
    EXPECT_EQ(open.c_cc[VTIME], 0);
    EXPECT_EQ(open.c_lflag & (ICANON | ECHO | ISIG), 0u) << "binary transfer";
    EXPECT_EQ(open.c_oflag & OPOST, 0u);
    ASSERT_EQ(cmd_port_set_line(port, 115200, "8N1"), 0);
    const uint8_t text[] = {'\n', 'x', '\n'};
    EXPECT_EQ(cmd_port_write(port, text, 3), 3);
    EXPECT_EQ(peer.Receive(3), Bytes({'\n', 'x', '\n'})) << "no newline translation";
    EXPECT_EQ(cmd_port_close(port), 0);
    EXPECT_EQ(port.handle, kCmdInvalidHandle);
    EXPECT_TRUE(Same(Current(other), before)) << "line settings and timeouts as before the open";
    EXPECT_EQ(cmd_port_close(port), 0) << "closing again does nothing";
    ::close(other);
}

TEST(PortSettings, ADriverThatRefusesThemIsAnError) {
    PtyPeer peer{"COM1"};
    CmdPort port;
    g_refuseSet = true;
    EXPECT_EQ(cmd_port_open(port, "COM1"), -1) << "binary transfer refused";
    EXPECT_EQ(port.handle, kCmdInvalidHandle);
    g_refuseSet = false;
    ASSERT_EQ(cmd_port_open(port, "COM1"), 0);
    g_refuseSet = true;
    EXPECT_EQ(cmd_port_set_line(port, 115200, "8N1"), -1);
    g_refuseSet = false;
    EXPECT_EQ(cmd_port_set_line(port, 115200, "8N1"), 0) << "the port is still usable";
    cmd_port_close(port);
}

TEST(PortOpen, ThroughThePortMap) {
    PtyPeer peer{"COM12"};
    CmdPort port;
    EXPECT_EQ(cmd_port_open(port, "COM12"), 0) << "names above COM9 open the same way";
    cmd_port_close(port);
    for (const char* name : {"COM1", "", "COM", "LPT1", "/dev/null"}) {
        EXPECT_EQ(cmd_port_open(port, name), -1) << name;
        EXPECT_EQ(port.handle, kCmdInvalidHandle);
        EXPECT_EQ(cmd_port_close(port), 0);
    }
    // Not a terminal.
    std::filesystem::create_symlink("/dev/null", peer.Dir() + "/COM3");
    EXPECT_EQ(cmd_port_open(port, "COM3"), -1);
}

TEST(PortOpen, APortHeldByAnotherProgramIsInUse) {
    PtyPeer peer{"COM1"};
    const int holder = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    CmdPort port;
    EXPECT_EQ(cmd_port_open(port, "COM1"), -1);
    ::flock(holder, LOCK_UN);
    EXPECT_EQ(cmd_port_open(port, "COM1"), 0);
    cmd_port_close(port);
    ::close(holder);
}

TEST(PortList, NamesInAscendingOrderEndedByAnEmptyNode) {
    std::unique_ptr<CmdPortNode> list;
    {
        PtyPeer none{"COM40"};
        std::filesystem::remove(none.Dir() + "/COM40");
        EXPECT_EQ(cmd_port_list(list, 30), 0);
        EXPECT_EQ(list, nullptr) << "an empty list";
    }
    PtyPeer a{"COM12"};
    test::PtyPeer b{"COM2"};  // its directory is the map now; give it COM12's pty as well
    std::filesystem::create_symlink(a.SlavePath(), b.Dir() + "/COM12");
    std::filesystem::create_symlink("/nonexistent/tty", b.Dir() + "/COM3");
    EXPECT_EQ(cmd_port_list(list, 20), 2);
    std::vector<std::string> names;
    int nodes = 0;
    for (const CmdPortNode* n = list.get(); n; n = n->next.get(), ++nodes) names.push_back(n->name);
    EXPECT_EQ(nodes, 3);
    EXPECT_EQ(names, (std::vector<std::string>{"COM2", "COM12", ""}));
    EXPECT_EQ(cmd_port_list(list, 5), 1) << "only up to the highest number";
    cmd_port_list_free(list);
    EXPECT_EQ(list, nullptr);
}

TEST(PortList, ALongListIsReleasedWithoutRecursion) {
    auto head = std::make_unique<CmdPortNode>();
    CmdPortNode* last = head.get();
    for (int i = 0; i < 200000; ++i) {
        last->next = std::make_unique<CmdPortNode>();
        last = last->next.get();
    }
    cmd_port_list_free(head);
    EXPECT_EQ(head, nullptr);
}

TEST_F(Port, ReadsNeverWait) {
    uint8_t buf[16];
    EXPECT_EQ(cmd_port_read(port, buf, sizeof buf), 0);
    peer.Send({1, 2, 3, 4, 5});
    ASSERT_TRUE(WaitQueued(port.handle, 5));
    EXPECT_EQ(cmd_port_read_timed(port, buf, 3, 0), 0 + 3) << "queued bytes even with timeout 0";
    EXPECT_EQ(cmd_port_read_timed(port, buf, 16, 5000), 2);
    EXPECT_EQ(buf[1], 5);
}

TEST_F(Port, TimedReadEndsAfterItsTimeout) {
    uint8_t b;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cmd_port_read_timed(port, &b, 1, 150), -2);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(ms.count(), 150);
    EXPECT_LT(ms.count(), 5000);
    EXPECT_EQ(cmd_port_read_timed(port, &b, 1, 0), -2) << "nothing waiting, timeout 0";
}

TEST_F(Port, TimedReadReturnsAByteThatArrivesDuringTheWait) {
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.Send({0x42});
    });
    uint8_t b = 0;
    EXPECT_EQ(cmd_port_read_timed(port, &b, 1, 20000), 1);
    EXPECT_EQ(b, 0x42);
    later.join();
}

TEST_F(Port, AHangUpIsAFailureNotSilence) {
    peer.Close();
    uint8_t b;
    EXPECT_EQ(cmd_port_read(port, &b, 1), -1);
    EXPECT_EQ(cmd_port_read_timed(port, &b, 1, 20000), -1) << "at once, not after the timeout";
    EXPECT_EQ(cmd_port_write(port, &b, 1), 0);
}

TEST(PortLineErrors, ALineErrorIsReportedOnceAndTheBytesStay) {
    PtyPeer peer{"COM1"};
    g_counts = {};
    g_fakeCounts = true;
    CmdPort port;
    ASSERT_EQ(cmd_port_open(port, "COM1"), 0);
    peer.Send({7, 8});
    ASSERT_TRUE(WaitQueued(port.handle, 2));
    using C = serial_icounter_struct;
    for (int C::*counter : {&C::frame, &C::overrun, &C::parity, &C::brk, &C::buf_overrun}) {
        g_counts.*counter += 1;
        uint8_t buf[4];
        EXPECT_EQ(cmd_port_read(port, buf, 4), -1) << "even with bytes waiting";
        g_counts.*counter += 1;
        EXPECT_EQ(cmd_port_read_timed(port, buf, 4, 1000), -1);
    }
    uint8_t buf[4];
    EXPECT_EQ(cmd_port_read(port, buf, 4), 2) << "the error state was cleared; the bytes are still there";
    EXPECT_EQ(buf[0], 7);

    cmd_port_close(port);
    g_fakeCounts = false;
}

TEST(PortLineErrors, ErrorsFromBeforeTheOpenDoNotCount) {
    PtyPeer peer{"COM1"};
    g_counts = {};
    g_counts.parity = 17;
    g_fakeCounts = true;
    CmdPort port;
    ASSERT_EQ(cmd_port_open(port, "COM1"), 0);
    uint8_t b;
    EXPECT_EQ(cmd_port_read(port, &b, 1), 0);
    cmd_port_close(port);
    g_fakeCounts = false;
}

}  // namespace
}  // namespace qtx
