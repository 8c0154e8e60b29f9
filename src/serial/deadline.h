// The one factor by which a test rig may stretch the host's deadlines. A
// deadline is right for a real chip and stays as it is in the product; a rig
// that runs the boards' emulators several times slower (the sanitizer build)
// sets QTXFLASH_DEADLINE_SCALE so that a slow emulator never looks like a
// silent chip. Pauses the protocols prescribe are never scaled.
#pragma once

namespace qtx {

// ms times the factor in QTXFLASH_DEADLINE_SCALE (read once; a number of at
// least 1, anything else counts as 1), rounded up and saturated. ms <= 0 is
// returned unchanged.
int ScaledDeadlineMs(int ms);

}  // namespace qtx
