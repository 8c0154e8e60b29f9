/* The board around the GP4020: what the chip does not decide. Change this
 * file (and the simulated board, sim/gp4020_board.cpp) for another board.
 * Usable from C and from start.S.
 *
 * Flash: one 16-bit AMD-command-set CFI NOR on NSCS[0], the chip select the
 * GP4020 boots its firmware from; the simulated board carries an Am29LV400BB
 * (256K x 16, bottom boot). The loader takes the size and the sector layout
 * from the chip's CFI query, so any CFI part with the AMD command set (CFI
 * primary command set 0x0002) in 16-bit mode works without a change here. */
#ifndef QTX_ARM7_BOARD_H
#define QTX_ARM7_BOARD_H

#include "gp4020.h"

#define FLASH_BASE NCS0_AFTER_SWAP
/* MPC Area 1 for that flash, in Mode 0 [DM5003 Table 26]: access waits 15 and
 * stop waits 15 (the reset values: slow enough for any flash at the 20 MHz
 * bus clock, and the loader is bound by its line, not by the bus), mode 00,
 * wait control 1 (internal), read only 0, sub-memory writes 0 (a flash in
 * word mode has no byte select), access type 1 (memory: the loader reads the
 * flash with 32-bit loads), data size 01 (16 bits). Table 27: a 16-bit memory
 * with no 8-bit writes. It is the reset value 0xFF000035 [DM5280 11.2] with the
 * read-only bit cleared. */
#define FLASH_MPC_SETTING 0xFF000025

#endif
