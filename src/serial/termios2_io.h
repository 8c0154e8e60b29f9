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

}  // namespace qtx::detail
