// Line settings built from port records, and what Configure leaves on a pty.
// Reads termios2 itself, so it includes the kernel's termbits, not <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "pty_rig.h"
#include "serial/comport.h"

namespace qtx {
namespace {

TEST(LineSettings, BitsPerCharAndCharTime) {
    const struct {
        const char* framing;
        int32_t baud;
        uint32_t bits, charTime;
    } cases[] = {
        {"8N1", 57600, 10, 1736}, {"8N2", 9600, 11, 11458}, {"8E1", 115200, 11, 954}, {"7O2", 19200, 11, 5729},
        {"9N0", 9600, 10, 10416},  // other data-bits character: 7; other stop character: 2
        {"8X1", 57600, 10, 1736},  // unknown parity letter: no parity bit
        {"8O2", 1, 12, 120000000}, // the largest product still fits 32 bits
    };
    for (const auto& c : cases) {
        LineSettings s;
        ASSERT_TRUE(BuildLineSettings(PortRecord::Make("COM1", c.framing, c.baud), 0, 0, 0, 0, s, nullptr));
        EXPECT_EQ(s.BitsPerChar, c.bits) << c.framing;
        EXPECT_EQ(s.CharTime, c.charTime) << c.framing << " at " << c.baud;
    }
}

TEST(LineSettings, FramingFlagsRawModeAndRate) {
    const uint32_t mask = CSIZE | PARENB | PARODD | CSTOPB | CMSPAR | CBAUD | CIBAUD;
    const struct {
        const char* framing;
        int32_t baud;
        uint32_t device, want;  // cflag before, those bits after
    } cases[] = {
        {"8E1", 115200, CS7 | PARODD | B9600, CS8 | PARENB | B115200},
        {"7O2", 250000, CS8 | (B38400 << IBSHIFT), CS7 | PARENB | PARODD | CSTOPB | BOTHER},
        {"8N2", 76800, CS7 | PARENB | PARODD | CMSPAR, CS8 | CSTOPB | BOTHER},
        {"8X1", 9600, CS7 | PARENB | PARODD, CS8 | PARENB | PARODD | B9600},  // the device keeps its parity
        {"8X1", 134, CS8, CS8 | BOTHER},  // B134 means 134.5 baud
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.framing);
        LineSettings s;
        ASSERT_TRUE(BuildLineSettings(PortRecord::Make("COM1", c.framing, c.baud), c.device | CRTSCTS,
                                      ICRNL | IXON | IXOFF | IXANY | ISTRIP | INLCR | IGNCR | BRKINT | PARMRK | IGNPAR,
                                      OPOST | ONLCR, ICANON | ECHO | ECHOE | ISIG | IEXTEN | EXTPROC, s, nullptr));
        EXPECT_EQ(s.cflag & mask, c.want);
        EXPECT_EQ(s.usesBother, (c.want & CBAUD) == BOTHER);
        EXPECT_EQ(s.cflag & (CLOCAL | CREAD | CRTSCTS), static_cast<uint32_t>(CLOCAL | CREAD));
        EXPECT_EQ(s.iflag, (c.want & PARENB) ? static_cast<uint32_t>(INPCK) : 0u) << "raw; parity checked when on";
        EXPECT_EQ(s.oflag & OPOST, 0u);
        EXPECT_EQ(s.lflag, static_cast<uint32_t>(EXTPROC)) << "EXTPROC tells a board on the master of changes";
    }
}

TEST(LineSettings, NonPositiveBaudRefused) {
    for (int32_t baud : {0, -1, INT32_MIN}) {
        LineSettings s;
        std::string error;
        EXPECT_FALSE(BuildLineSettings(PortRecord::Make("COM2", "8N1", baud), CS8, 0, 0, 0, s, &error));
        EXPECT_NE(error.find("baud rate " + std::to_string(baud)), std::string::npos) << error;
    }
}

struct termios2 Termios2(int fd) {
    struct termios2 t {};
    EXPECT_EQ(::ioctl(fd, TCGETS2, &t), 0);
    return t;
}

TEST(ConfigureOnPty, ExactRatesReachTheLine) {
    test::TempDir dir(true);
    test::Pty pty;
    dir.Link("COM4", pty.slave);
    EXPECT_THROW(Comport(PortRecord::Make("COM4", "8N1", 0)), Comport::InitException);
    Comport port(PortRecord::Make("COM4", "8N1", 9600));  // the refused attempt let go of the port
    const int handle = port.Handle;
    for (int32_t baud : {250000, 76800, 115200}) {
        port.Configure(PortRecord::Make("COM4", "8N2", baud));
        EXPECT_EQ(port.Handle, handle);
        EXPECT_EQ(port.CharTime, 110000000u / static_cast<uint32_t>(baud));
        for (int fd : {port.Handle, pty.master}) {  // the master sees what a board would
            const struct termios2 t = Termios2(fd);
            EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(baud == 115200 ? B115200 : BOTHER)) << baud;
            EXPECT_EQ(t.c_ospeed, static_cast<speed_t>(baud));
            EXPECT_EQ(t.c_ispeed, static_cast<speed_t>(baud));
            EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        }
    }
    EXPECT_THROW(port.Configure(PortRecord::Make("COM4", "8N1", -9600)), Comport::InitException);
    EXPECT_EQ(Termios2(pty.master).c_ospeed, 115200u) << "a refused record changes nothing";
}

bool Same(const struct termios2& a, const struct termios2& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           a.c_ispeed == b.c_ispeed && a.c_ospeed == b.c_ospeed && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

// Both ways of opening put the line back as another program left it: cooked,
// echoing, slow, with blocking reads.
TEST(ConfigureOnPty, TheLineIsPutBackAtClose) {
    test::TempDir dir(true);
    test::Pty pty;
    dir.Link("COM4", pty.slave);
    const int other = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    struct termios2 t = Termios2(other);
    t.c_cflag = (t.c_cflag & ~(CBAUD | CIBAUD)) | B2400 | CSTOPB | CRTSCTS;
    t.c_ispeed = t.c_ospeed = 2400;
    t.c_iflag |= ICRNL | IXON | IXOFF;
    t.c_oflag |= OPOST | ONLCR;
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_cc[VMIN] = 3;
    t.c_cc[VTIME] = 7;
    ASSERT_EQ(::ioctl(other, TCSETS2, &t), 0);
    const struct termios2 before = Termios2(other);

    {
        Comport port(PortRecord::Make("COM4", "8E1", 250000));
        port.Configure(PortRecord::Make("COM4", "8N2", 57600));
        EXPECT_EQ(Termios2(other).c_ospeed, 57600u);
    }
    EXPECT_TRUE(Same(Termios2(other), before)) << "after a record and a switch";

    {
        Comport port("COM4");
        const struct termios2 open = Termios2(other);
        EXPECT_EQ(open.c_ospeed, 2400u) << "rate and framing as found";
        EXPECT_EQ(open.c_lflag & (ICANON | ECHO | ISIG), 0u) << "binary transfer";
        EXPECT_EQ(open.c_cc[VMIN], 0);
        LineFormat format;
        format.baud = 9600;
        format.dataBits = 7;
        ASSERT_TRUE(port.ApplyFormat(format));
        EXPECT_EQ(port.BitsPerChar, 10u) << "7 data bits, no parity and the two stop bits the line had";
        EXPECT_EQ(port.CharTime, 10416u);
        EXPECT_NE(Termios2(other).c_cflag & CSTOPB, 0u);
    }
    EXPECT_TRUE(Same(Termios2(other), before)) << "after an open by name";
    ::close(other);
}

}  // namespace
}  // namespace qtx
