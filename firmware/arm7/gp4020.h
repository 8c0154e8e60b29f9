/* GP4020 facts the loader uses, for loader.c and start.S. Sources:
 *  [DM5280] "GP4020 GPS Baseband Processor Design Manual", Zarlink DM5280
 *           Issue 3 (January 2002).
 *  [DM5003] "Firefly MF1 Core Design Manual", Zarlink DM5003 (November 2003):
 *           the core inside the GP4020 (memory controller, UART1). */
#ifndef QTX_ARM7_GP4020_H
#define QTX_ARM7_GP4020_H

#ifndef __ASSEMBLER__
#include <stdint.h>
#define REG8(a) (*(volatile uint8_t *)(a))
#endif

/* UART1 at 0xE0018000 [DM5280 17.3]: byte registers on word spacing; any
 * access that is not 8 bits wide is a data abort [DM5003 4.4.1, Table 35]. */
#define UART1_BASE 0xE0018000
#define UART_CR 0x00           /* control [DM5003 Table 36] */
#define UART_MR 0x04           /* mode [DM5003 Table 37] */
#define UART_BRR 0x08          /* baud rate [DM5003 Table 38] */
#define UART_SR 0x0C           /* status, flags cleared by the read [DM5003 Table 39] */
#define UART_DR 0x10           /* receive (read), transmit (write) */
#define UART_CR_REN 0x01       /* receive channel enable */
#define UART_CR_TEN 0x02       /* transmit channel enable; reset value of CR is 0 */
#define UART_SR_RXFULL 0x01    /* receive register full */
#define UART_SR_TXEMPTY 0x02   /* transmit register free */
#define UART_SR_TXBUSY 0x08    /* transmitting: the shift register still sends */
/* 57600 baud from the 20 MHz BuILD_CLK: division select 1 (MR[7:4] = 0),
 * BRR = 21, 56 818 baud, 1.36 % slow [DM5280 17.2, Table 17.1]; MR[3:0] = 0
 * is 8 data bits, no parity, 1 stop bit [DM5003 Table 37]. The boot ROM
 * receives at that rate [DM5280 4.2] but documents nothing else it leaves in
 * UART1, so the loader sets all three registers itself. */
#define UART_MR_57600_8N1 0x00
#define UART_BRR_57600 0x15
/* BRR takes 0...255, a divider of 1...256 [DM5280 17.2, Table 17.1]. */
#define UART_BRR_DIVIDERS 256u

/* Memory Peripheral Controller: one configuration register per chip select,
 * 32-bit accesses only (byte and half-word accesses are bus errors)
 * [DM5280 11.1, Table 11.2; DM5003 3.4.1, Table 25]. */
#define MPC_BASE 0xE0008000
#define MPC_AREA1 0x0          /* NCS[0]: the boot ROM or the device on NSCS[0] */
#define MPC_AREA3 0x8          /* NCS[2]: correlator and the PCL (IO_REV) */
/* Bit 4, Read Only Status [DM5003 Tables 26 and 28], is set out of reset in
 * both areas (Area 1 0xFF000035 [DM5280 11.2], Area 3 0xFF000034 [DM5280
 * 11.4]); a write into such an area is a data abort [DM5003 3.3.4.3]. */
#define MPC_READ_ONLY 0x10
/* Area 3 as DM5280 11.4 says to set it after boot, 0x3303306E; fields in
 * Mode 1 [DM5003 Table 28]: start write waits 3, access write waits 3, stop
 * write waits 0, start read waits 3, access read waits 3, stop read waits 0,
 * configuration 01 (Mode 1), wait control 1 (internal), read only 0, access
 * sub-memory type 11, data size 10 (32 bits, which the internal peripherals
 * need [DM5280 11.4]); Table 29: a 32-bit memory that takes 8- and 16-bit
 * writes, so IO_REV's 16-bit store is allowed. */
#define MPC_AREA3_SETTING 0x3303306E

/* After the download the boot ROM swaps the memory spaces: the internal RAM
 * appears from 0x00000000 and the NCS[0] space from 0x60000000 [DM5280 4.1]. */
#define NCS0_AFTER_SWAP 0x60000000
/* IO_REV: the PCL's 16-bit Input/Output control register at PCL base
 * 0x40101000 + 0x00C [DM5280 12.7, Table 12.4]. EXT_NCS0, bit 9, resets to 0;
 * set, it makes NCS[0] select the external device on NSCS[0] instead of the
 * boot ROM [DM5280 Table 12.6, 12.7.2, 4.1]. Bits 15:10 are the read-only chip
 * revision, so the loader sets the bit with a 16-bit read-modify-write. */
#define PCL_IO_REV 0x4010100C
#define IO_REV_EXT_NCS0 0x0200

#endif
