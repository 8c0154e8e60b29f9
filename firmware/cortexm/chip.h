/* What the protocol core (loader.c) needs from a chip file. Each image is
 * built from loader.c and exactly one chip file. */
#ifndef QTX_CORTEXM_CHIP_H
#define QTX_CORTEXM_CHIP_H

#include <stdint.h>

/* Data bytes the core collects before it asks the chip to program them:
 * one flash word on STM32F4, one 256-byte page on SAM3. */
#define UNIT_MAX 256u

struct chip {
    uint32_t unit;          /* bytes per chip_program call (a power of two) */
    uint32_t block_ack;     /* answer 0x00 after every this many data bytes; 0: none */
    uint8_t hello;          /* send 0x00 when the loader starts */
    uint8_t erase_command;  /* 0x62 erases (else the chip erases as it programs) */
};

extern const struct chip chip;

/* The byte that failed its read-back, as the 9-byte report names it. */
struct verify_fail {
    uint32_t address;       /* of the half-word that differs */
    uint16_t expected;
    uint16_t reread;
};

void chip_init(void);
uint8_t uart_get(void);
void uart_put(uint8_t byte);
/* Nonzero when uart_get would return at once. */
int uart_rx_ready(void);
/* Waits until the last byte put has left the line. */
void uart_flush(void);
/* Fast data. Nonzero when the UART makes rate within 1.5 % from the clock
 * that the divider left for the boot rate current tells; the switch is then
 * prepared. */
int chip_rate_ok(uint32_t rate, uint32_t current);
/* To the prepared rate (fast), or back to the boot rate; the line must be idle. */
void chip_rate_switch(int fast);
/* The core clock as the boot divider tells it, in Hz (after chip_rate_ok). */
uint32_t chip_core_hz(void);
/* Nonzero when size data bytes fit the flash this loader can program. */
int chip_size_ok(uint32_t size);
/* Erases what size data bytes need; 0 on success. */
int chip_erase(uint32_t size);
/* Programs buf[0..n) as data bytes index..index+n, of which the first keep
 * belong to the image (the rest is the host's pad byte and stays erased),
 * and reads them back; 0 on success, else f says what differs. */
int chip_program(uint32_t index, const uint8_t *buf, uint32_t n, uint32_t keep, struct verify_fail *f);
/* Where data byte index lies in the flash, to read it back. */
const volatile uint8_t *chip_flash(uint32_t index);
/* The host is done (0x01). */
void chip_finish(void);

#endif
