// The command protocol's access to a serial port: its functions and integer
// results over the serial core (Comport), which opens and locks the device,
// puts the line back as it was at close, applies rate and framing, reads what
// is queued without waiting, waits for bytes and writes everything.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serial/comport.h"

namespace qtx {

inline constexpr int kCmdInvalidHandle = -1;

struct CmdPort {
    int handle = kCmdInvalidHandle;  // the open device's descriptor
    std::unique_ptr<Comport> line;   // null while closed
};

// 0, or -1 when the name is not in the port map or the device cannot be opened
// (missing, in use, not a terminal). An open record is closed first.
int cmd_port_open(CmdPort& port, const std::string& name);
// Lets written bytes leave, restores the line settings the port had before the
// open and closes; always 0.
int cmd_port_close(CmdPort& port);
// Applies baud and framing ("8N1", any order, either case; 7 8 N O E 1 2) plus
// the fixed flow-control settings. -3 for an invalid framing text, -1 for a
// closed port or a baud rate of 0 or less; in these cases nothing is changed.
// -1 as well when the driver refuses the settings.
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
// Milliseconds until the bytes written so far can have left the line at its
// rate and framing (0 for a closed port): drivers and adapters that report an
// empty queue at once cannot say it.
int cmd_port_owed_ms(const CmdPort& port);

// The serial core's monotonic clock in 100-ns units: the time base of every
// protocol deadline.
uint64_t cmd_now_100ns();
// A protocol deadline in milliseconds as the test rig may stretch it
// (serial/deadline.h); the product's own value otherwise.
uint32_t cmd_deadline_ms(uint32_t ms);

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
