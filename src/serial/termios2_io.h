// Private to the serial layer: access to the termios2 ioctls. The kernel's
// <asm/termbits.h> (needed for termios2 and BOTHER) clashes with <termios.h>,
// so everything that touches struct termios2 lives in termios2_io.cpp alone.
#pragma once

#include <cstdint>

#include "serial/comport.h"

namespace qtx::detail {

struct LineFlags {
    uint32_t cflag = 0, iflag = 0, oflag = 0, lflag = 0;
};

// Current flags of fd (TCGETS2); false with errno set when the ioctl fails.
bool GetLineFlags(int fd, LineFlags& out);

// Writes the settings to fd with TCSETS2, input and output at settings.baud,
// reads returning at once (VMIN 0, VTIME 0). False with errno set on failure.
bool ApplyLineSettings(int fd, const LineSettings& settings);

// Puts fd into binary transfer (no translation, echo or signals; reads return
// at once) and leaves its rate and framing alone. False with errno set.
bool ApplyRawMode(int fd);

// The whole termios2 record of fd, to put back later with RestoreLine.
bool SaveLine(int fd, SavedLine& out);
bool RestoreLine(int fd, const SavedLine& saved);

// Settings for format on a device whose current flags are cur: only the parts
// the format gives change, besides the rate and output flow control. Input
// flow control and the parity check keep what the device has. Needs a rate
// above 0.
LineSettings BuildFormatSettings(const LineFormat& format, const LineFlags& cur);

}  // namespace qtx::detail
