// The one translation unit that includes <asm/termbits.h>; see termios2_io.h.
#include "serial/termios2_io.h"

#include <asm/termbits.h>
#include <cerrno>
#include <string>
#include <sys/ioctl.h>

namespace qtx {

namespace {

struct RateCode {
    uint32_t rate;
    uint32_t code;
};

// Rates the kernel knows by a B-constant. 134 is left out on purpose: B134
// means 134.5 baud, and a record asking for 134 gets exactly that via BOTHER.
constexpr RateCode kRateCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
    {4000000, B4000000},
};

uint32_t RateCodeFor(uint32_t rate) {
    for (const auto& rc : kRateCodes)
        if (rc.rate == rate) return rc.code;
    return BOTHER;
}

}  // namespace

bool BuildLineSettings(const PortRecord& record, uint32_t curCflag, uint32_t curIflag, uint32_t curOflag,
                       uint32_t curLflag, LineSettings& out, std::string* error) {
    const int32_t baud = record.BaudRate();
    if (baud <= 0) {
        if (error)
            *error = "baud rate " + std::to_string(baud) + " of " + record.Name() +
                     " is not valid: it must be above 0";
        return false;
    }

    LineSettings s;
    s.baud = static_cast<uint32_t>(baud);
    uint32_t cflag = curCflag;
    uint32_t bits = 1;  // start bit

    cflag &= ~static_cast<uint32_t>(CSIZE);
    if (record.Framing[0] == '8') {
        cflag |= CS8;
        bits += 8;
    } else {
        cflag |= CS7;
        bits += 7;
    }

    switch (record.Framing[1]) {
    case 'E':
        cflag = (cflag | PARENB) & ~static_cast<uint32_t>(PARODD | CMSPAR);
        bits += 1;
        break;
    case 'O':
        cflag = (cflag | PARENB | PARODD) & ~static_cast<uint32_t>(CMSPAR);
        bits += 1;
        break;
    case 'N':
        cflag &= ~static_cast<uint32_t>(PARENB | PARODD | CMSPAR);
        break;
    default:
        break;  // the device keeps the parity it has; no bit is counted
    }

    if (record.Framing[2] == '1') {
        cflag &= ~static_cast<uint32_t>(CSTOPB);
        bits += 1;
    } else {
        cflag |= CSTOPB;
        bits += 2;
    }

    // No hardware flow control; ignore modem status lines; enable the receiver.
    cflag &= ~static_cast<uint32_t>(CRTSCTS);
    cflag |= CLOCAL | CREAD;

    // Input and output at the same rate: CIBAUD zero means "as output".
    const uint32_t code = RateCodeFor(s.baud);
    cflag &= ~static_cast<uint32_t>(CBAUD | CIBAUD);
    cflag |= code;
    s.usesBother = code == BOTHER;

    // Raw input: no break or CR/NL translation, no stripping, no software flow
    // control. Parity errors are checked (and counted by the driver) only when
    // parity is on; PARMRK and IGNPAR off so a bad byte is neither marked nor hidden.
    uint32_t iflag = curIflag;
    iflag &= ~static_cast<uint32_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                    IUCLC | IXON | IXOFF | IXANY | IMAXBEL | IUTF8);
    if (cflag & PARENB)
        iflag |= INPCK;
    else
        iflag &= ~static_cast<uint32_t>(INPCK);

    uint32_t oflag = curOflag;
    oflag &= ~static_cast<uint32_t>(OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET | OFILL | OFDEL);

    // No canonical mode, echo or signals. EXTPROC is left as it is: a simulated
    // board on the pty master relies on it to learn of line changes.
    uint32_t lflag = curLflag;
    lflag &= ~static_cast<uint32_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ISIG |
                                    IEXTEN | XCASE | TOSTOP);

    s.cflag = cflag;
    s.iflag = iflag;
    s.oflag = oflag;
    s.lflag = lflag;
    s.BitsPerChar = bits;
    s.CharTime = bits * 10000000u / s.baud;
    out = s;
    return true;
}

namespace detail {

bool GetLineFlags(int fd, LineFlags& out) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    out.cflag = t.c_cflag;
    out.iflag = t.c_iflag;
    out.oflag = t.c_oflag;
    out.lflag = t.c_lflag;
    return true;
}

bool ApplyLineSettings(int fd, const LineSettings& settings) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag = settings.cflag;
    t.c_iflag = settings.iflag;
    t.c_oflag = settings.oflag;
    t.c_lflag = settings.lflag;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_ispeed = settings.baud;
    t.c_ospeed = settings.baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace detail

}  // namespace qtx
