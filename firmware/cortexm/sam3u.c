/* SAM3U4: two 128 KiB planes, IFLASH0 at 0x80000 behind EEFC0 and IFLASH1 at
 * 0x100000 behind EEFC1 (sam3u4e.h: IFLASH0_ADDR, IFLASH1_ADDR, EFC0, EFC1).
 * The host's bank 1 is plane 0, its bank 2 plane 1. Smaller SAM3U parts
 * (one plane) are not covered. */
#include "sam3.h"

static const struct sam3_plane planes[] = {
    {0x00080000u, 0x20000u, 0x400E0800u},
    {0x00100000u, 0x20000u, 0x400E0A00u},
};

const struct sam3_layout sam3_layout = {
    .bank1 = 0x00080000u,
    .bank2 = 0x00100000u,
    .capacity = 0x40000u,
    .planes = planes,
    .nplanes = 2,
};
