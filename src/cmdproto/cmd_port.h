// The command protocol's own access to a serial port, apart from Comport: open
// by COMn name through the port map, remember the line as it was and put it
// back at close, apply a rate with a framing text such as "8N1", read what is
// queued without waiting, wait for bytes against a deadline, write everything.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qtx {

inline constexpr int kCmdInvalidHandle = -1;

// A write that cannot hand over a single byte for this long gives up, and so
// does the drain before close: a stalled adapter must not hang the program.
inline constexpr int kCmdStallTimeoutMs = 10000;

// The termios2 record of a port as read at open (kept here without the kernel
// header, which clashes with <termios.h>).
struct CmdLineSettings {
    uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    uint8_t line = 0;
    uint8_t cc[19] = {};
    uint32_t ispeed = 0, ospeed = 0;
};

// What stands for read timeouts on a tty: VMIN and VTIME.
struct CmdTimeouts {
    uint8_t vmin = 0, vtime = 0;
};

// Totals of the driver's error counters; a change between two looks is a line error.
struct CmdErrorCounts {
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    bool operator==(const CmdErrorCounts&) const = default;
};

struct CmdPort {
    int handle = kCmdInvalidHandle;
    CmdLineSettings savedLine;
    CmdTimeouts savedTimeouts;
    // Error counters as last seen; haveCounters is false for drivers without
    // them (pseudo-terminals), which then never report a line error.
    CmdErrorCounts counts;
    bool haveCounters = false;
};

// 0, or -1 when the name is not in the port map or the device cannot be opened
// (missing, in use, not a terminal). An open record is closed first.
int cmd_port_open(CmdPort& port, const std::string& name);
// Restores the saved line settings and timeouts and closes; always 0.
int cmd_port_close(CmdPort& port);
// Applies baud and framing ("8N1", any order, either case; 7 8 N O E 1 2) plus
// the fixed flow-control settings. -3 for an invalid framing text, -1 for a
// closed port or a baud rate of 0 or less; in both cases nothing is changed.
int cmd_port_set_line(CmdPort& port, int32_t baud, const std::string& framing);
// Bytes read without waiting (0 when nothing is queued), or -1 after a line
// error (reported once; the queued bytes stay), a failed read or a hang-up.
int cmd_port_read(CmdPort& port, uint8_t* buffer, int maxCount);
// Writes until all count bytes are out, a write fails, a line error shows or
// the line stalls; returns the bytes written.
int cmd_port_write(CmdPort& port, const uint8_t* data, int count);
// At least one byte, -1 on a line error or read failure, -2 when timeoutMs passed
// without a byte. Bytes already queued are returned even for a timeout of 0.
int cmd_port_read_timed(CmdPort& port, uint8_t* buffer, int maxCount, uint32_t timeoutMs);
// Waits until everything written has left the driver (bounded by the stall
// timeout); false when the line stalled or the device is gone.
bool cmd_port_flush(CmdPort& port);

// Monotonic clock in 100-ns units: the time base of every protocol deadline.
uint64_t cmd_now_100ns();

// Ports that can be opened, COM1..COMhighest in ascending order: n names in n + 1
// nodes, the last one without a name; no node at all when none was found.
struct CmdPortNode {
    std::string name;
    std::unique_ptr<CmdPortNode> next;
    ~CmdPortNode();  // releases the chain without recursion
};
int cmd_port_list(std::unique_ptr<CmdPortNode>& list, int highest);
void cmd_port_list_free(std::unique_ptr<CmdPortNode>& list);

}  // namespace qtx
