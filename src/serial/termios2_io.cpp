// The one translation unit that includes <asm/termbits.h>; see termios2_io.h.
#include "serial/termios2_io.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstring>
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

// Input and output at the same rate: CIBAUD zero means "as output".
uint32_t WithRate(uint32_t cflag, uint32_t rate) {
    return (cflag & ~static_cast<uint32_t>(CBAUD | CIBAUD)) | RateCodeFor(rate);
}

// No hardware flow control; ignore modem status lines; enable the receiver.
uint32_t WithoutHandshake(uint32_t cflag) { return (cflag & ~static_cast<uint32_t>(CRTSCTS)) | CLOCAL | CREAD; }

// Binary transfer, which every face of the port wants: no break, CR/NL or
// case translation, no stripping or marking, no output processing, no
// canonical mode, echo or signals. EXTPROC is left as it is: a simulated board
// on the pty master relies on it to learn of line changes.
detail::LineFlags Raw(detail::LineFlags f) {
    f.iflag &= ~static_cast<uint32_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY |
                                      IMAXBEL | IUTF8);
    f.oflag &= ~static_cast<uint32_t>(OPOST | OLCUC | ONLCR | OCRNL | ONOCR | ONLRET | OFILL | OFDEL);
    f.lflag &= ~static_cast<uint32_t>(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ISIG |
                                      IEXTEN | XCASE | TOSTOP);
    return f;
}

uint32_t CharTimeFor(uint32_t bits, uint32_t baud) { return bits * 10000000u / baud; }

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

    cflag = WithRate(WithoutHandshake(cflag), s.baud);
    s.usesBother = (cflag & CBAUD) == BOTHER;

    // Raw, and no software flow control either way. Parity errors are checked
    // (and counted by the driver) only when parity is on; IGNPAR off so a bad
    // byte is not hidden.
    const detail::LineFlags raw = Raw({cflag, curIflag, curOflag, curLflag});
    uint32_t iflag = raw.iflag & ~static_cast<uint32_t>(IGNPAR | IXON | IXOFF);
    if (cflag & PARENB)
        iflag |= INPCK;
    else
        iflag &= ~static_cast<uint32_t>(INPCK);

    s.cflag = cflag;
    s.iflag = iflag;
    s.oflag = raw.oflag;
    s.lflag = raw.lflag;
    s.BitsPerChar = bits;
    s.CharTime = CharTimeFor(bits, s.baud);
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

namespace {

bool Apply(int fd, const LineFlags& flags, const uint32_t* baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag = flags.cflag;
    t.c_iflag = flags.iflag;
    t.c_oflag = flags.oflag;
    t.c_lflag = flags.lflag;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (baud) t.c_ispeed = t.c_ospeed = *baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace

bool ApplyLineSettings(int fd, const LineSettings& settings) {
    return Apply(fd, {settings.cflag, settings.iflag, settings.oflag, settings.lflag}, &settings.baud);
}

bool ApplyRawMode(int fd) {
    LineFlags cur;
    return GetLineFlags(fd, cur) && Apply(fd, Raw(cur), nullptr);
}

static_assert(sizeof(SavedLine::bytes) == sizeof(struct termios2), "a saved line holds one termios2 record");

bool SaveLine(int fd, SavedLine& out) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    std::memcpy(out.bytes, &t, sizeof t);
    return true;
}

bool RestoreLine(int fd, const SavedLine& saved) {
    struct termios2 t {};
    std::memcpy(&t, saved.bytes, sizeof t);
    return ioctl(fd, TCSETS2, &t) == 0;
}

LineSettings BuildFormatSettings(const LineFormat& format, const LineFlags& cur) {
    uint32_t cflag = cur.cflag;
    if (format.dataBits == 7 || format.dataBits == 8)
        cflag = (cflag & ~static_cast<uint32_t>(CSIZE)) | (format.dataBits == 8 ? CS8 : CS7);
    switch (format.parity) {
    case 'N': cflag &= ~static_cast<uint32_t>(PARENB | PARODD | CMSPAR); break;
    case 'O': cflag = (cflag | PARENB | PARODD) & ~static_cast<uint32_t>(CMSPAR); break;
    case 'E': cflag = (cflag | PARENB) & ~static_cast<uint32_t>(PARODD | CMSPAR); break;
    default: break;
    }
    if (format.stopBits == 1) cflag &= ~static_cast<uint32_t>(CSTOPB);
    if (format.stopBits == 2) cflag |= CSTOPB;

    LineSettings s;
    s.baud = static_cast<uint32_t>(format.baud);
    s.cflag = WithRate(WithoutHandshake(cflag), s.baud);
    s.usesBother = (s.cflag & CBAUD) == BOTHER;
    // Output waits for no XON; XON/XOFF on input and the parity check stay.
    s.iflag = cur.iflag & ~static_cast<uint32_t>(IXON);
    s.oflag = cur.oflag;
    s.lflag = cur.lflag;
    // What the line carries now, framing kept from the device included.
    uint32_t dataBits = 8;
    switch (s.cflag & CSIZE) {
    case CS5: dataBits = 5; break;
    case CS6: dataBits = 6; break;
    case CS7: dataBits = 7; break;
    default: break;
    }
    s.BitsPerChar = 1 + dataBits + ((s.cflag & PARENB) ? 1 : 0) + ((s.cflag & CSTOPB) ? 2 : 1);
    s.CharTime = CharTimeFor(s.BitsPerChar, s.baud);
    return s;
}

}  // namespace detail

}  // namespace qtx
