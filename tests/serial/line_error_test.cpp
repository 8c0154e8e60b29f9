// Line errors as a driver with error counters reports them. Ptys have no
// counters, so this binary answers TIOCGICOUNT itself by interposing ioctl
// (which is why <sys/ioctl.h>, declaring ioctl differently, is not included).
#include <asm/ioctls.h>
#include <cstdarg>
#include <dlfcn.h>
#include <linux/serial.h>

#include <gtest/gtest.h>

#include "pty_rig.h"
#include "serial/comport.h"

namespace {
std::atomic<bool> g_fake{false};
serial_icounter_struct g_counts{};
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

TEST_F(LineErrors, WriteStopsAfterTheWriteThatSawTheError) {
    Comport port(PortRecord::Make("COM1", "8N1", 115200));
    port.WriteStallTimeoutMs = 60000;
    const auto data = test::Pattern(4 * 1024 * 1024);  // far more than one write call takes
    const int total = static_cast<int>(data.size());
    test::MasterDrainer far(pty.master, data.size());
    g_counts.overrun++;
    const int first = port.Write(data.data(), total);
    EXPECT_GT(first, 0);
    EXPECT_LT(first, total);
    EXPECT_EQ(port.Write(data.data() + first, total - first), total - first) << "flags cleared: the next write goes on";
    EXPECT_EQ(far.Finish(), data);
}

}  // namespace
}  // namespace qtx
