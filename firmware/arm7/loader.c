/* GP4020 loader: started by the boot ROM after the download, it speaks the
 * base loader protocol on UART1 and programs the 16-bit CFI NOR flash.
 *
 *   on start                 -> 0x00
 *   0x62                     -> erase every sector that is not blank; 0x00, or 0x01 when an erase fails
 *   0x22 + 4-byte LE size    -> 0x00, or 0x01 when the size is odd or does not fit the flash
 *   0x42 + size data bytes   -> 0x00 when all is programmed and read back, or the
 *                               9-byte report (address LE32, expected LE16, re-read LE16, 0x02)
 *   0x43                     -> 0x43 and the CRC-32 of the data as read back from
 *                               the flash, LSB first
 *   0x01                     -> finished: the flash back in read mode
 *   0x53 + rate + current rate (4-byte little-endian each)
 *                            -> 0x01 when UART1 cannot make rate within 1.5 % (the line
 *                               stays), else 0x53 at the current rate; then the line runs
 *                               at rate, and a sync 0x55 there is echoed; anything else,
 *                               or nothing within about 500 ms, puts the line back
 *
 * The erase comes before the size, so it cannot be limited to the image:
 * it erases what is not already blank. No byte may be lost: the UART holds
 * one received byte, so every wait (transmitter, flash busy) keeps draining
 * the receiver into a small ring. Only aligned 16- and 32-bit accesses are
 * used, as the ARM7TDMI rotates unaligned loads. */
#include <stdint.h>

#include "board.h"

#define ANSWER_OK 0x00u
#define ANSWER_REFUSED 0x01u
#define CMD_SIZE 0x22u
#define CMD_ERASE 0x62u
#define CMD_DATA 0x42u
#define CMD_CHECK 0x43u
#define CMD_FINISH 0x01u
#define CMD_RATE 0x53u
#define RATE_SYNC 0x55u
#define REPORT_VERIFY 0x02u

/* AMD command set in word mode: unlock cycles at word addresses 555h and 2AAh,
 * program A0h, erase 80h then 30h at the sector, reset F0h (Am29F400B data
 * sheet, pub. 21505, "Command Definitions"); CFI query 98h at word address 55h
 * (Am29LV160D data sheet, pub. 22358, Table 9). Word address n is byte offset 2n. */
#define FLASH_WORD(w) (*(volatile uint16_t *)(FLASH_BASE + 2u * (uint32_t)(w)))
#define DQ7 0x80u
#define DQ5 0x20u

/* CFI query offsets, in words (Am29LV116B data sheet, "Common Flash Memory
 * Interface", Tables 5-8): "QRY" at 10h, primary command set at 13h, device
 * size 2^n bytes at 27h, erase block regions at 2Ch, each region four bytes
 * from 2Dh: blocks - 1 (16 bits), block size / 256 (16 bits). */
#define CFI_QRY 0x10u
#define CFI_COMMAND_SET 0x13u
#define CFI_SIZE 0x27u
#define CFI_REGIONS 0x2Cu
#define CFI_REGION0 0x2Du
#define AMD_COMMAND_SET 0x0002u
#define MAX_REGIONS 4u

#define RING 64u   /* > 9 report bytes + what arrives during the longest program wait */

struct region {
    uint32_t blocks;
    uint32_t bytes;
};

static struct {
    uint8_t ring[RING];
    uint32_t head, tail;
    uint32_t flash_bytes;           /* 0: no CFI flash found */
    uint32_t nregions;
    struct region regions[MAX_REGIONS];
    uint32_t crc;
    uint32_t crc_at;                /* flash offset of the next word for the CRC */
    uint32_t crc_table[16];
} s;

/* ---- UART1 ------------------------------------------------------------------ */

static void uart_poll(void)
{
    if ((REG8(UART1_BASE + UART_SR) & UART_SR_RXFULL) && s.head - s.tail < RING)
        s.ring[s.head++ % RING] = REG8(UART1_BASE + UART_DR);
}

static uint8_t uart_get(void)
{
    while (s.head == s.tail)
        uart_poll();
    return s.ring[s.tail++ % RING];
}

static void uart_put(uint8_t b)
{
    while (!(REG8(UART1_BASE + UART_SR) & UART_SR_TXEMPTY))
        uart_poll();
    REG8(UART1_BASE + UART_DR) = b;
}

static void put_u32(uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        uart_put((uint8_t)(v >> (8 * i)));
}

static uint32_t get_u32(void)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= (uint32_t)uart_get() << (8 * i);
    return v;
}

/* Until the last byte has left the shift register, not just the transmit
 * register: a new divider must not cut it short. */
static void uart_flush(void)
{
    while ((REG8(UART1_BASE + UART_SR) & (UART_SR_TXEMPTY | UART_SR_TXBUSY)) != UART_SR_TXEMPTY)
        uart_poll();
}

/* ---- fast data ------------------------------------------------------------------ */

/* The sync wait counts polls of the status register: the loader sets up no
 * timer of the chip for one wait. A pass is five instructions (ldrb, tst,
 * bne, subs, bne), which the simulated board charges three cycles each at
 * the 20 MHz BuILD_CLK (sim/gp4020_board.cpp): 0.75 us, so 500 ms. The
 * ARM7TDMI's own timings (Technical Reference Manual, "Instruction Cycle
 * Timings") give 9 cycles a pass plus the bus's wait states: on the chip the
 * wait is at least 300 ms, time enough for a host to see the answer and send
 * the sync. */
#define SYNC_POLLS 666667u

/* UART1's rate is (UART clock / 2^MR[7:4]) / (16 x (BRR + 1)) [DM5280 17.2,
 * Table 17.1], so (BRR + 1) x the current rate is the UART clock / 16 of the
 * division select in use, to the rounding of the divider in place. The new
 * divider keeps the division select. No division: the core has none, and
 * the library's would not fit the image. */
static void fast_rate(void)
{
    const uint32_t rate = get_u32();
    const uint32_t current = get_u32();
    const uint32_t boot = REG8(UART1_BASE + UART_BRR);
    const uint32_t clock16 = (boot + 1u) * current;
    uint32_t d = 1;

    /* The divider nearest clock16 / rate: the least with d + 1/2 >= clock16 / rate. */
    while (d < UART_BRR_DIVIDERS && d * rate + rate / 2u < clock16)
        ++d;
    /* The rate made, clock16 / d, within 1.5 % of rate. */
    const uint32_t at = d * rate;
    const uint32_t off = at > clock16 ? at - clock16 : clock16 - at;
    if (rate == 0 || rate > clock16 || off * 1000u > at * 15u) {
        uart_put(ANSWER_REFUSED);
        return;
    }
    uart_put(CMD_RATE);
    uart_flush();
    REG8(UART1_BASE + UART_BRR) = (uint8_t)(d - 1u);
    for (uint32_t n = SYNC_POLLS; n != 0; --n) {
        if (REG8(UART1_BASE + UART_SR) & UART_SR_RXFULL) {
            if (REG8(UART1_BASE + UART_DR) == RATE_SYNC) {
                uart_put(RATE_SYNC);
                return;
            }
            break;
        }
    }
    REG8(UART1_BASE + UART_BRR) = (uint8_t)boot;
}

/* ---- CRC-32 (zlib/Ethernet, reflected 0xEDB88320), four bits at a time --------- */

static void crc_init(void)
{
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 4; ++k)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        s.crc_table[i] = c;
    }
}

static void crc_add(uint8_t b)
{
    uint32_t c = s.crc ^ b;
    c = (c >> 4) ^ s.crc_table[c & 15u];
    c = (c >> 4) ^ s.crc_table[c & 15u];
    s.crc = c;
}

/* ---- flash ------------------------------------------------------------------------ */

static void flash_unlock(void)
{
    FLASH_WORD(0x555) = 0xAA;
    FLASH_WORD(0x2AA) = 0x55;
}

static void flash_reset(void)
{
    FLASH_WORD(0) = 0xF0;
}

/* Data# polling (Am29F400B "Write Operation Status"): DQ7 reads the complement
 * of the written bit until the operation ends; DQ5 set means it exceeded its
 * time, and a last read of DQ7 decides. Returns 0 when done. */
static int flash_wait(volatile uint16_t *p, uint16_t want)
{
    for (;;) {
        const uint16_t v = *p;
        if (((v ^ want) & DQ7) == 0)
            return 0;
        if (v & DQ5) {
            if (((*p ^ want) & DQ7) == 0)
                return 0;
            flash_reset();
            return -1;
        }
        uart_poll();
    }
}

/* Reads the geometry from the CFI query; leaves flash_bytes 0 when the chip
 * does not answer as a 16-bit AMD-command-set CFI device. */
static void flash_probe(void)
{
    FLASH_WORD(0x55) = 0x98;
    const int qry = (FLASH_WORD(CFI_QRY) & 0xFF) == 'Q' && (FLASH_WORD(CFI_QRY + 1) & 0xFF) == 'R' &&
                    (FLASH_WORD(CFI_QRY + 2) & 0xFF) == 'Y';
    const uint32_t set = (FLASH_WORD(CFI_COMMAND_SET) & 0xFF) | (FLASH_WORD(CFI_COMMAND_SET + 1) & 0xFF) << 8;
    const uint32_t log2 = FLASH_WORD(CFI_SIZE) & 0xFF;
    uint32_t n = FLASH_WORD(CFI_REGIONS) & 0xFF;
    uint32_t total = 0;
    if (n > MAX_REGIONS)
        n = 0;
    for (uint32_t r = 0; r < n; ++r) {
        const uint32_t w = CFI_REGION0 + 4 * r;
        s.regions[r].blocks = ((FLASH_WORD(w) & 0xFF) | (FLASH_WORD(w + 1) & 0xFF) << 8) + 1;
        s.regions[r].bytes = ((FLASH_WORD(w + 2) & 0xFF) | (FLASH_WORD(w + 3) & 0xFF) << 8) * 256u;
        total += s.regions[r].blocks * s.regions[r].bytes;
    }
    flash_reset();
    /* The regions must tile the whole chip, or a sector would be left out. */
    if (qry && set == AMD_COMMAND_SET && log2 >= 16 && log2 <= 24 && total == (1u << log2)) {
        s.nregions = n;
        s.flash_bytes = total;
    }
}

static int sector_blank(uint32_t offset, uint32_t bytes)
{
    const volatile uint32_t *p = (const volatile uint32_t *)(FLASH_BASE + offset);
    for (uint32_t i = 0; i < bytes / 4; ++i) {
        if (p[i] != 0xFFFFFFFFu)
            return 0;
        if ((i & 255u) == 0)
            uart_poll();
    }
    return 1;
}

static int flash_erase(void)
{
    if (!s.flash_bytes)
        return -1;
    uint32_t offset = 0;
    for (uint32_t r = 0; r < s.nregions; ++r) {
        for (uint32_t b = 0; b < s.regions[r].blocks; ++b, offset += s.regions[r].bytes) {
            if (sector_blank(offset, s.regions[r].bytes))
                continue;
            volatile uint16_t *sector = (volatile uint16_t *)(FLASH_BASE + offset);
            flash_unlock();
            FLASH_WORD(0x555) = 0x80;
            flash_unlock();
            *sector = 0x30;
            if (flash_wait(sector, 0xFFFF) != 0 || !sector_blank(offset, s.regions[r].bytes))
                return -1;
        }
    }
    return 0;
}

/* Programs one word and reads it back; 0 when it holds value. */
static int flash_program(uint32_t offset, uint16_t value, uint16_t *reread)
{
    volatile uint16_t *p = (volatile uint16_t *)(FLASH_BASE + offset);
    if (value != 0xFFFF) {
        flash_unlock();
        FLASH_WORD(0x555) = 0xA0;
        *p = value;
        (void)flash_wait(p, value);
    }
    *reread = *p;
    return *reread == value ? 0 : -1;
}

/* ---- protocol ------------------------------------------------------------------------ */

static void send_report(uint32_t address, uint16_t expected, uint16_t reread)
{
    put_u32(address);
    uart_put((uint8_t)expected);
    uart_put((uint8_t)(expected >> 8));
    uart_put((uint8_t)reread);
    uart_put((uint8_t)(reread >> 8));
    uart_put(REPORT_VERIFY);
}

/* After a failed read-back the rest is taken but no longer programmed: the
 * host stops at the report. The CRC is over the words as the flash reads
 * them back, at an offset counted apart from the one programmed, so that a
 * word that differs from the line or went to a wrong place shows in the
 * content check. */
static void receive_data(uint32_t size)
{
    int failed = 0;
    s.crc = 0xFFFFFFFFu;
    s.crc_at = 0;
    for (uint32_t i = 0; i < size; i += 2) {
        const uint8_t lo = uart_get();
        const uint8_t hi = uart_get();
        const uint16_t word = (uint16_t)(lo | hi << 8);
        uint16_t reread;
        if (!failed && flash_program(i, word, &reread) != 0) {
            send_report(i, word, reread);
            failed = 1;
        } else if (!failed) {
            const uint16_t back = *(volatile const uint16_t *)(FLASH_BASE + s.crc_at);
            s.crc_at += 2;
            crc_add((uint8_t)back);
            crc_add((uint8_t)(back >> 8));
        }
    }
    if (!failed)
        uart_put(ANSWER_OK);
    s.crc = ~s.crc;
}

void loader_main(void)
{
    uint32_t size = 0;

    /* start.S has set up the memory controller, IO_REV and UART1. */
    crc_init();
    flash_probe();
    uart_put(ANSWER_OK);
    for (;;) {
        switch (uart_get()) {
        case CMD_ERASE:
            uart_put(flash_erase() == 0 ? ANSWER_OK : ANSWER_REFUSED);
            break;
        case CMD_SIZE: {
            const uint32_t v = get_u32();
            const int fits = s.flash_bytes && (v & 1u) == 0 && v <= s.flash_bytes;
            size = fits ? v : 0;
            uart_put(fits ? ANSWER_OK : ANSWER_REFUSED);
            break;
        }
        case CMD_DATA:
            receive_data(size);
            break;
        case CMD_CHECK:
            uart_put(CMD_CHECK);
            put_u32(s.crc);
            break;
        case CMD_FINISH:
            flash_reset();
            break;
        case CMD_RATE:
            fast_rate();
            break;
        default:
            break;   /* noise on the line: wait for a command */
        }
    }
}
