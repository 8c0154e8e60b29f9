/* SAM3S4: one 256 KiB plane at 0x400000 behind the single EEFC at 0x400E0A00
 * (sam3s4c.h: IFLASH_ADDR, IFLASH_SIZE, EFC). The host's bank 1 is the lower
 * half; its "bank 2" is the upper half from 0x420000, so a two-bank file
 * lands contiguously. Smaller SAM3S parts are not covered. */
#include "sam3.h"

static const struct sam3_plane planes[] = {
    {0x00400000u, 0x40000u, 0x400E0A00u},
};

const struct sam3_layout sam3_layout = {
    .bank1 = 0x00400000u,
    .bank2 = 0x00420000u,
    .capacity = 0x40000u,
    .planes = planes,
    .nplanes = 1,
};
