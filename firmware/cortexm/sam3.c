/* UART and EEFC code shared by the SAM3U and SAM3S preloaders. */
#include "chip.h"
#include "sam3.h"

#define REG32(a) (*(volatile uint32_t *)(a))
#define REG16(a) (*(volatile uint16_t *)(a))

/* UART registers at 0x00, 0x14, 0x18, 0x1C (sam3u instance/uart.h; SAM3X/A 34.6). */
#define UART_CR REG32(SAM3_UART + 0x00u)
#define UART_SR REG32(SAM3_UART + 0x14u)
#define UART_RHR REG32(SAM3_UART + 0x18u)
#define UART_THR REG32(SAM3_UART + 0x1Cu)
#define UART_BRGR REG32(SAM3_UART + 0x20u)
#define UART_SR_TXEMPTY (1u << 9)
#define UART_SR_RXRDY (1u << 0)
#define UART_SR_TXRDY (1u << 1)
#define UART_SR_OVRE (1u << 5)
#define UART_CR_RSTSTA (1u << 8)

/* EEFC registers FMR, FCR, FSR at offsets 0, 4, 8 (sam3u instance/efc0.h, efc1.h). */
#define EEFC_FMR(e) REG32((e) + 0x00u)
#define EEFC_FCR(e) REG32((e) + 0x04u)
#define EEFC_FSR(e) REG32((e) + 0x08u)
#define FMR_FWS_MASK (0xFu << 8)
#define FKEY (0x5Au << 24)          /* FCR key; any other value is refused (FCMDE) */
#define FCMD_EWP 0x03u              /* erase page and write page */
#define FSR_FRDY (1u << 0)
#define PAGE 256u                   /* IFLASH_PAGE_SIZE in sam3u4e.h / sam3s4c.h */
#define BANK1_BYTES 0x20000u        /* the host's first bank */

/* The SAM3 erratum on flash programming asks for 6 wait states while the
 * EEFC writes (named in OpenOCD's SAM4S support commit, "still suffer from
 * the 6 waitstates needed to program device"); 6 is also enough for every
 * clock the chips run at, so it is set once and kept. */
#define FWS_PROGRAM 6u

const struct chip chip = {.unit = PAGE, .block_ack = PAGE, .hello = 1, .erase_command = 0};

static uint32_t boot_cd;   /* as the monitor left it for 115200 */
static uint32_t fast_cd;
static uint32_t core_hz;

void chip_init(void)
{
    boot_cd = UART_BRGR & 0xFFFFu;
    for (uint32_t i = 0; i < sam3_layout.nplanes; ++i) {
        const uint32_t e = sam3_layout.planes[i].efc;
        EEFC_FMR(e) = (EEFC_FMR(e) & ~FMR_FWS_MASK) | (FWS_PROGRAM << 8);
    }
}

uint8_t uart_get(void)
{
    uint32_t sr;
    while (!((sr = UART_SR) & UART_SR_RXRDY))
        ;
    if (sr & UART_SR_OVRE)
        UART_CR = UART_CR_RSTSTA;  /* lost bytes show in the content check */
    return (uint8_t)UART_RHR;
}

int uart_rx_ready(void)
{
    return (UART_SR & UART_SR_RXRDY) != 0;
}

void uart_flush(void)
{
    while (!(UART_SR & UART_SR_TXEMPTY))
        ;
}

/* The rate is MCK / (16 x CD) (SAM3X/A 34.5.1, "Baud Rate Generator"), so
 * 16 x CD x rate tells MCK, to the rounding of the monitor's CD. */
int chip_rate_ok(uint32_t rate, uint32_t current)
{
    if (rate == 0 || current == 0 || boot_cd == 0)
        return 0;
    core_hz = 16u * boot_cd * current;
    const uint32_t cd = (core_hz + 8u * rate) / (16u * rate);
    if (cd == 0 || cd > 0xFFFFu)
        return 0;
    const uint32_t made = core_hz / (16u * cd);
    const uint32_t off = made > rate ? made - rate : rate - made;
    if (off > rate / 1000u * 15u)
        return 0;
    fast_cd = cd;
    return 1;
}

uint32_t chip_core_hz(void)
{
    return core_hz;
}

void chip_rate_switch(int fast)
{
    UART_BRGR = fast ? fast_cd : boot_cd;
}

void uart_put(uint8_t byte)
{
    while (!(UART_SR & UART_SR_TXRDY))
        ;
    UART_THR = byte;
}

int chip_size_ok(uint32_t size)
{
    return size <= sam3_layout.capacity;
}

int chip_erase(uint32_t size)
{
    (void)size;  /* each page is erased by the command that writes it */
    return 0;
}

static const struct sam3_plane *plane_of(uint32_t addr)
{
    for (uint32_t i = 0; i < sam3_layout.nplanes; ++i) {
        const struct sam3_plane *p = &sam3_layout.planes[i];
        if (addr - p->base < p->size)
            return p;
    }
    return 0;
}

/* One page: the latch buffer is filled with 32-bit writes in ascending order
 * at the page's own addresses (it is not initialised after power-up, so all
 * 64 words are written), then EWP with the key (SAM4E datasheet 21.4.3.2
 * "Write Commands", the same EEFC). */
static uint32_t address_of(uint32_t index)
{
    return index < BANK1_BYTES ? sam3_layout.bank1 + index : sam3_layout.bank2 + (index - BANK1_BYTES);
}

const volatile uint8_t *chip_flash(uint32_t index)
{
    return (const volatile uint8_t *)address_of(index);
}

int chip_program(uint32_t index, const uint8_t *buf, uint32_t n, uint32_t keep, struct verify_fail *f)
{
    const uint32_t addr = address_of(index);
    const struct sam3_plane *p = plane_of(addr);
    uint8_t want[4];
    (void)n;
    if (!p) {
        f->address = addr;
        f->expected = (uint16_t)(buf[0] | buf[1] << 8);
        f->reread = 0xFFFFu;
        return -1;
    }
    for (uint32_t w = 0; w < PAGE; w += 4) {
        for (uint32_t i = 0; i < 4; ++i)
            want[i] = w + i < keep ? buf[w + i] : 0xFFu;
        REG32(addr + w) = (uint32_t)want[0] | (uint32_t)want[1] << 8 | (uint32_t)want[2] << 16 |
                          (uint32_t)want[3] << 24;
    }
    while (!(EEFC_FSR(p->efc) & FSR_FRDY))
        ;
    EEFC_FCR(p->efc) = FKEY | (((addr - p->base) / PAGE) << 8) | FCMD_EWP;
    /* FCMDE and FLOCKE clear when FSR is read; a refused command leaves the
     * page as it was, which the read-back below reports. */
    while (!(EEFC_FSR(p->efc) & FSR_FRDY))
        ;
    for (uint32_t i = 0; i < PAGE; i += 2) {
        const uint16_t expected = (uint16_t)((i < keep ? buf[i] : 0xFFu) | (i + 1 < keep ? buf[i + 1] : 0xFFu) << 8);
        const uint16_t reread = REG16(addr + i);
        if (reread != expected) {
            f->address = addr + i;
            f->expected = expected;
            f->reread = reread;
            return -1;
        }
    }
    return 0;
}

void chip_finish(void) {}
