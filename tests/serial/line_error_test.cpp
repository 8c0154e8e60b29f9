// Line errors as a driver with error counters reports them, and settings a
// driver refuses. Ptys have no counters and take any settings, so this binary
// answers TIOCGICOUNT and refuses TCSETS2 itself by interposing ioctl (which
// is why <sys/ioctl.h>, declaring ioctl differently, is not included).
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <linux/serial.h>

#include <gtest/gtest.h>

#include "pty_rig.h"
#include "serial/comport.h"

namespace {
std::atomic<bool> g_fake{false};
serial_icounter_struct g_counts{};
std::atomic<bool> g_refuseSet{false};  // TCSETS2 fails as a driver refusing the settings would
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == TIOCGICOUNT && g_fake) {
        *static_cast<serial_icounter_struct*>(arg) = g_counts;
        return 0;
    }
    if (request == TCSETS2 && g_refuseSet) {
        errno = EINVAL;
        return -1;
    }
    using Real = int (*)(int, unsigned long, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    return real(fd, request, arg);
}

namespace qtx {
namespace {

class LineErrors : public ::testing::Test {
protected:
    void SetUp() override {
        g_counts = {};
        g_fake = true;
        dir.Link("COM1", pty.slave);
    }
    void TearDown() override { g_fake = false; }
    test::TempDir dir{true};
    test::Pty pty;
};

TEST_F(LineErrors, ClearErrorsReportsEachIncreaseOnce) {
    Comport port(PortRecord::Make("COM1", "8E1", 115200));
    using C = serial_icounter_struct;
    const std::pair<int C::*, uint32_t> cases[] = {{&C::frame, CE_FRAME},   {&C::overrun, CE_OVERRUN},
                                                   {&C::parity, CE_RXPARITY}, {&C::brk, CE_BREAK},
                                                   {&C::buf_overrun, CE_RXOVER}};
    for (const auto& [counter, flag] : cases) {
        g_counts.*counter += 3;
        EXPECT_EQ(port.ClearErrors(), flag);
        EXPECT_EQ(port.ClearErrors(), 0u) << "cleared by the first look";
    }
    // Errors that came with bytes Configure discards are not reported later.
    g_counts.overrun++;
    port.Configure(PortRecord::Make("COM1", "8N1", 9600));
    EXPECT_EQ(port.ClearErrors(), 0u);
}

TEST_F(LineErrors, ReadReportsTheErrorOnceThenReturnsTheQueuedBytes) {
    Comport port(PortRecord::Make("COM1", "8E1", 115200));
    pty.Send("abc");
    ASSERT_TRUE(port.WaitReadable(5000));
    g_counts.parity++;
    uint8_t buf[8];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0) << "bytes are queued, but the error comes first";
    std::string got;
    while (got.size() < 3 && port.WaitReadable(5000))
        got.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(port.Read(buf, sizeof buf)));
    EXPECT_EQ(got, "abc");
}

// A receive error during a long transmit leaves the transmit whole and is
// reported by the next look at the line.
TEST_F(LineErrors, AReceiveErrorNeitherCutsAWriteNorGetsLost) {
    Comport port(PortRecord::Make("COM1", "8N1", 115200));
    port.WriteStallTimeoutMs = 60000;
    const auto data = test::Pattern(4 * 1024 * 1024);  // far more than one write call takes
    const int total = static_cast<int>(data.size());
    test::MasterDrainer far(pty.master, data.size());
    g_counts.overrun++;
    EXPECT_EQ(port.Write(data.data(), total), total);
    EXPECT_EQ(far.Finish(), data);
    EXPECT_EQ(port.ClearErrors(), static_cast<uint32_t>(CE_OVERRUN));
}

// A refused setting is an error in both faces; a device that has gone is left
// to Gone(), which the engine looks at before every wait.
TEST(DriverRefusals, ARefusedLineIsAnErrorAndAGoneOneIsGone) {
    test::TempDir dir{true};
    test::Pty pty;
    dir.Link("COM1", pty.slave);
    g_refuseSet = true;
    EXPECT_THROW(Comport(PortRecord::Make("COM1", "8N1", 9600)), Comport::InitException);
    EXPECT_THROW(Comport("COM1"), Comport::InitException);
    g_refuseSet = false;

    Comport port(PortRecord::Make("COM1", "8N1", 9600));  // the failed opens let go of the port
    g_refuseSet = true;
    try {
        port.Configure(PortRecord::Make("COM1", "8E1", 57600));
        ADD_FAILURE() << "a refused record was taken";
    } catch (const Comport::InitException& e) {
        EXPECT_NE(e.reason.find("refused 8E1 at 57600 baud"), std::string::npos) << e.reason;
    }
    EXPECT_EQ(port.CharTime, 10416u) << "still the settings the line has";
    LineFormat format;
    format.baud = 115200;
    EXPECT_FALSE(port.ApplyFormat(format));
    g_refuseSet = false;

    pty.CloseMaster();
    EXPECT_NO_THROW(port.Configure(PortRecord::Make("COM1", "8N1", 57600)));
    EXPECT_TRUE(port.Gone());
}

}  // namespace
}  // namespace qtx
