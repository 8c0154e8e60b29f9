/* STM32F405/407/415/417 (RM0090, DocID018909; datasheet DS8626 for the
 * electrical limits). The ROM boot loader (AN3155, started through AN2606's
 * boot pins) leaves USART1 configured for the host's rate in 8E1; we use it
 * as we find it. Assumed supply: 2.7-3.6 V, which allows x32 programming. */
#include "chip.h"

#define REG32(a) (*(volatile uint32_t *)(a))
#define REG16(a) (*(volatile uint16_t *)(a))

/* RM0090 2.3 "Memory map": USART1 on APB2, flash interface on AHB1. */
#define USART1_BASE 0x40011000u
#define USART_SR REG32(USART1_BASE + 0x00u)    /* RM0090 30.6.1 */
#define USART_DR REG32(USART1_BASE + 0x04u)    /* RM0090 30.6.2 */
#define USART_BRR REG32(USART1_BASE + 0x08u)   /* RM0090 30.6.3 */
#define USART_CR3 REG32(USART1_BASE + 0x14u)   /* RM0090 30.6.6 */
#define USART_CR3_DMAR (1u << 6)
#define USART_SR_TC (1u << 6)
#define USART_SR_ORE (1u << 3)
#define USART_SR_RXNE (1u << 5)
#define USART_SR_TXE (1u << 7)

#define FLASH_IF 0x40023C00u
#define FLASH_KEYR REG32(FLASH_IF + 0x04u)     /* RM0090 3.9.2 */
#define FLASH_SR REG32(FLASH_IF + 0x0Cu)       /* RM0090 3.9.4 */
#define FLASH_CR REG32(FLASH_IF + 0x10u)       /* RM0090 3.9.5 */
#define FLASH_KEY1 0x45670123u                 /* RM0090 3.5.1 "Unlocking the Flash control register" */
#define FLASH_KEY2 0xCDEF89ABu
#define SR_EOP (1u << 0)
#define SR_OPERR (1u << 1)
#define SR_WRPERR (1u << 4)
#define SR_PGAERR (1u << 5)
#define SR_PGPERR (1u << 6)
#define SR_PGSERR (1u << 7)
#define SR_BSY (1u << 16)
#define SR_ERRORS (SR_OPERR | SR_WRPERR | SR_PGAERR | SR_PGPERR | SR_PGSERR)
#define CR_PG (1u << 0)
#define CR_SER (1u << 1)
#define CR_SNB_SHIFT 3u
#define CR_PSIZE_X32 (2u << 8)                 /* RM0090 3.6.2: x32 needs 2.7-3.6 V */
#define CR_STRT (1u << 16)
#define CR_LOCK (1u << 31)

/* Fast data comes through DMA2 stream 2, channel 4 = USART1_RX (RM0090 Table
 * 43), into a circular buffer: the core stops for every word it programs
 * (16 us), longer than a character at 1 Mbaud. */
#define RCC_AHB1ENR REG32(0x40023830u)         /* RM0090 7.3.10 */
#define RCC_DMA2EN (1u << 22)
#define DMA2_BASE 0x40026400u                  /* RM0090 2.3 */
#define DMA_STREAM 2u
#define DMA_SCR REG32(DMA2_BASE + 0x10u + 0x18u * DMA_STREAM)    /* RM0090 10.5.5 */
#define DMA_SNDTR REG32(DMA2_BASE + 0x14u + 0x18u * DMA_STREAM)  /* 10.5.6 */
#define DMA_SPAR REG32(DMA2_BASE + 0x18u + 0x18u * DMA_STREAM)   /* 10.5.7 */
#define DMA_SM0AR REG32(DMA2_BASE + 0x1Cu + 0x18u * DMA_STREAM)  /* 10.5.8 */
#define DMA_SFCR REG32(DMA2_BASE + 0x24u + 0x18u * DMA_STREAM)   /* 10.5.10 */
#define DMA_LIFCR REG32(DMA2_BASE + 0x08u)                       /* 10.5.3 */
#define SCR_EN (1u << 0)
#define SCR_CIRC (1u << 8)
#define SCR_MINC (1u << 10)
#define SCR_CHSEL_4 (4u << 25)
#define RING 1024u

/* RM0090 39.2 "Flash size": 16 bits, KiB. */
#define FLASH_SIZE_KIB REG16(0x1FFF7A22u)
#define FLASH_BASE 0x08000000u
#define SECTORS 12u

const struct chip chip = {.unit = 4, .block_ack = 0, .hello = 0, .erase_command = 1};

/* RM0090 3.3 Table 5: sectors 0-3 of 16 KiB, 4 of 64 KiB, 5-11 of 128 KiB. */
static uint32_t sector_start(uint32_t s)
{
    return s <= 4u ? s * 0x4000u : (s - 4u) * 0x20000u;
}

static uint32_t boot_brr;   /* as the ROM left it for the host's rate */
static uint32_t fast_brr;
static uint32_t core_hz;
static volatile uint8_t ring[RING];
static uint32_t ring_tail;
static int ring_on;

void chip_init(void)
{
    boot_brr = USART_BRR;
}

static uint32_t ring_head(void)
{
    /* NDTR counts down from RING and reloads there (circular mode). */
    return (RING - DMA_SNDTR) % RING;
}

int uart_rx_ready(void)
{
    if (ring_on)
        return ring_head() != ring_tail;
    return (USART_SR & USART_SR_RXNE) != 0;
}

uint8_t uart_get(void)
{
    if (ring_on) {
        while (ring_head() == ring_tail)
            ;
        const uint8_t b = ring[ring_tail];
        ring_tail = (ring_tail + 1u) % RING;
        return b;
    }
    /* A lost byte (ORE) cannot be asked for again; the content check tells
     * the host. Reading SR then DR clears ORE (RM0090 30.6.1). */
    while (!(USART_SR & USART_SR_RXNE))
        ;
    return (uint8_t)USART_DR;
}

void uart_flush(void)
{
    while (!(USART_SR & USART_SR_TC))
        ;
}

/* The ROM measured the host's rate into BRR (AN3155 2), so BRR x rate is
 * the USART's clock, PCLK2, to the ROM's rounding. With OVER8 = 0 the rate
 * is fCK / BRR, BRR at least 16 (RM0090 30.3.4). */
int chip_rate_ok(uint32_t rate, uint32_t current)
{
    if (rate == 0 || current == 0 || boot_brr < 16u || boot_brr > 0xFFFFu)
        return 0;
    core_hz = boot_brr * current;
    const uint32_t d = (core_hz + rate / 2u) / rate;
    if (d < 16u || d > 0xFFFFu)
        return 0;
    const uint32_t made = core_hz / d;
    const uint32_t off = made > rate ? made - rate : rate - made;
    if (off > rate / 1000u * 15u)
        return 0;
    fast_brr = d;
    return 1;
}

uint32_t chip_core_hz(void)
{
    return core_hz;  /* PCLK2 = HCLK: the APB2 prescaler is 1 after reset (RM0090 7.3.3) */
}

void chip_rate_switch(int fast)
{
    USART_CR3 = 0;
    DMA_SCR = 0;
    while (DMA_SCR & SCR_EN)
        ;
    ring_on = 0;
    USART_BRR = fast ? fast_brr : boot_brr;
    if (!fast)
        return;
    RCC_AHB1ENR |= RCC_DMA2EN;
    DMA_LIFCR = 0x3Du << 16;  /* stream 2's flags (RM0090 10.5.3) */
    DMA_SPAR = USART1_BASE + 0x04u;
    DMA_SM0AR = (uint32_t)ring;
    DMA_SNDTR = RING;
    DMA_SFCR = 0;             /* direct mode */
    ring_tail = 0;
    DMA_SCR = SCR_CHSEL_4 | SCR_MINC | SCR_CIRC | SCR_EN;
    USART_CR3 = USART_CR3_DMAR;
    ring_on = 1;
}

void uart_put(uint8_t byte)
{
    while (!(USART_SR & USART_SR_TXE))
        ;
    USART_DR = byte;
}

/* 1 MiB and smaller parts only: the 2 MiB STM32F42x/43x number the sectors of
 * their second bank differently (RM0090 3.3 Table 6), so there every size is
 * refused rather than written to the wrong sectors. */
int chip_size_ok(uint32_t size)
{
    const uint32_t kib = FLASH_SIZE_KIB;
    if (kib > 1024u)
        return 0;
    return size <= kib * 1024u;
}

static void wait_ready(void)
{
    while (FLASH_SR & SR_BSY)
        ;
}

static void unlock(void)
{
    if (FLASH_CR & CR_LOCK) {
        FLASH_KEYR = FLASH_KEY1;
        FLASH_KEYR = FLASH_KEY2;
    }
}

/* RM0090 3.5.3 "Erase": sector by sector, only those the image reaches. */
int chip_erase(uint32_t size)
{
    int result = 0;
    wait_ready();
    unlock();
    FLASH_SR = SR_ERRORS | SR_EOP;  /* write 1 to clear */
    for (uint32_t s = 0; s < SECTORS && sector_start(s) < size; ++s) {
        FLASH_CR = CR_PSIZE_X32 | CR_SER | (s << CR_SNB_SHIFT);
        FLASH_CR = CR_PSIZE_X32 | CR_SER | (s << CR_SNB_SHIFT) | CR_STRT;
        wait_ready();
        if (FLASH_SR & SR_ERRORS) {
            result = -1;
            break;
        }
    }
    FLASH_CR = 0;
    return result;
}

/* RM0090 3.5.4 "Programming": PG set, one word access per x32 write, BSY. */
int chip_program(uint32_t index, const uint8_t *buf, uint32_t n, uint32_t keep, struct verify_fail *f)
{
    uint8_t want[4];
    const uint32_t addr = FLASH_BASE + index;
    for (uint32_t i = 0; i < 4u; ++i)
        want[i] = i < keep ? buf[i] : 0xFFu;  /* the pad byte is never programmed */
    (void)n;
    const uint32_t word = (uint32_t)want[0] | (uint32_t)want[1] << 8 | (uint32_t)want[2] << 16 |
                          (uint32_t)want[3] << 24;
    wait_ready();
    unlock();
    FLASH_CR = CR_PSIZE_X32 | CR_PG;
    REG32(addr) = word;
    wait_ready();
    FLASH_CR = 0;
    FLASH_SR = SR_ERRORS | SR_EOP;
    for (uint32_t i = 0; i < 4u; i += 2) {
        const uint16_t expected = (uint16_t)(want[i] | want[i + 1] << 8);
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

const volatile uint8_t *chip_flash(uint32_t index)
{
    return (const volatile uint8_t *)(FLASH_BASE + index);
}

void chip_finish(void)
{
    wait_ready();
    FLASH_CR = CR_LOCK;
}
