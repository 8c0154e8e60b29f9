/* GP4020 facts the loader uses. Sources:
 *  [DM] "GP4020 GPS Baseband Processor Design Manual", Zarlink DM5280 Issue 3,
 *       section 4 "Boot ROM" and 4.2 "UART Download Data Protocol" (printed p.28).
 *  [GPL] gpl-gps-project, gpl-gps/gp4020.h and examples/gp4020_echo/gp4020_echo.s
 *       (register addresses and bits as used on GP4020 boards; facts only).
 *  [ECOS] eCos HAL for the GPS4020 board, include/gps4020.h (same UART layout). */
#ifndef QTX_ARM7_GP4020_H
#define QTX_ARM7_GP4020_H

#include <stdint.h>

#define REG8(a) (*(volatile uint8_t *)(a))
#define REG32(a) (*(volatile uint32_t *)(a))

/* UART1: byte registers on word spacing [GPL gp4020_echo.s, ECOS gps4020.h]. */
#define UART1_BASE 0xE0018000u
#define UART_CR 0x00u          /* control: bit 0 receiver, bit 1 transmitter enable */
#define UART_MR 0x04u          /* mode */
#define UART_BRR 0x08u         /* baud rate */
#define UART_SR 0x0Cu          /* status; reading it clears the error flags [GPL echo] */
#define UART_DR 0x10u          /* receive (read) and transmit (write) */
#define UART_CR_REN 0x01u
#define UART_CR_TEN 0x02u
#define UART_SR_RXFULL 0x01u
#define UART_SR_TXEMPTY 0x02u  /* transmit buffer free */
#define UART_SR_OE 0x40u
/* The boot ROM leaves UART1 running at 20 MHz / (16 x 22) = 56.8 kbaud, 8N1,
 * receiver and transmitter on [DM 4.2]; the loader keeps those settings. */

/* Memory Peripheral Controller: one configuration word per memory area [GPL
 * gp4020.h]. Area 1 is the area of chip select NCS[0]; 0x0200206D is the
 * setting that file gives for a 16-bit external flash there. */
#define MPC_AREA1 0xE0008000u
#define MPC_AREA1_FLASH16 0x0200206Du

/* After the download the boot ROM swaps the memory spaces: the internal RAM
 * appears from 0x00000000 and the NCS[0] space (boot ROM) from 0x60000000;
 * setting EXT_NCS0 in the PCL's IO_REV register makes NCS[0] select the
 * external device on NSCS[0] instead of the boot ROM [DM 4]. */
#define NCS0_AFTER_SWAP 0x60000000u
/* The PCL's registers start at 0x40101000 [GPL gp4020.h]. IO_REV's offset and
 * the EXT_NCS0 bit are in the design manual's PCL register table, which was
 * not available to us: both values below are UNCONFIRMED and must be checked
 * against that table before the loader is used on a chip. */
#define PCL_BASE 0x40101000u
#define PCL_IO_REV (PCL_BASE + 0x00u)
#define IO_REV_EXT_NCS0 0x01u

#endif
