/* The board around the GP4020: what the chip does not decide. Change this
 * file (and the simulated board, sim/gp4020_board.cpp) for another board.
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
#define FLASH_MPC_SETTING MPC_AREA1_FLASH16

#endif
