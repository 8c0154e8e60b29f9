/* STM32F101/103 medium- and high-density parts, up to 512 KiB (RM0008 Rev 21;
 * flash interface from PM0075 Rev 2). The ROM boot loader (AN3155, started
 * through AN2606's boot pins) leaves USART1 configured for the host's rate in
 * 8E1 and the core on the 8 MHz HSI (RM0008 3.4 "Embedded boot loader"); we
 * use both as we find them. */
#include "chip.h"

#define REG32(a) (*(volatile uint32_t *)(a))
#define REG16(a) (*(volatile uint16_t *)(a))

/* RM0008 3.3 Table 3: USART1 on APB2, flash interface on AHB. */
#define USART1_BASE 0x40013800u
#define USART_SR REG32(USART1_BASE + 0x00u)    /* RM0008 27.6.1 */
#define USART_DR REG32(USART1_BASE + 0x04u)    /* RM0008 27.6.2 */
#define USART_SR_ORE (1u << 3)
#define USART_SR_RXNE (1u << 5)
#define USART_SR_TXE (1u << 7)

/* PM0075 3: the interface registers take 32-bit accesses only. */
#define FLASH_IF 0x40022000u
#define FLASH_ACR REG32(FLASH_IF + 0x00u)      /* PM0075 3.1 */
#define FLASH_KEYR REG32(FLASH_IF + 0x04u)     /* PM0075 3.2 */
#define FLASH_SR REG32(FLASH_IF + 0x0Cu)       /* PM0075 3.4 */
#define FLASH_CR REG32(FLASH_IF + 0x10u)       /* PM0075 3.5 */
#define FLASH_AR REG32(FLASH_IF + 0x14u)       /* PM0075 3.6 */
#define FLASH_KEY1 0x45670123u                 /* PM0075 2.3.1 */
#define FLASH_KEY2 0xCDEF89ABu
#define ACR_PRFTBE (1u << 4)
#define ACR_LATENCY_0WS 0u                     /* PM0075 3.1: 0 < SYSCLK <= 24 MHz */
#define SR_BSY (1u << 0)
#define SR_PGERR (1u << 2)
#define SR_WRPRTERR (1u << 4)
#define SR_EOP (1u << 5)
#define SR_ERRORS (SR_PGERR | SR_WRPRTERR)
#define CR_PG (1u << 0)
#define CR_PER (1u << 1)
#define CR_STRT (1u << 6)
#define CR_LOCK (1u << 7)

/* RM0008 30.1.1 "Flash size register": 16 bits, KiB. */
#define FLASH_SIZE_KIB REG16(0x1FFFF7E0u)
#define FLASH_BASE 0x08000000u

const struct chip chip = {.unit = 2, .block_ack = 0, .hello = 0, .erase_command = 1};

void chip_init(void)
{
    /* The ROM runs us on HSI, 8 MHz: zero wait states, prefetch on as after
     * reset (RM0008 3.3.3 FLASH_ACR). Set explicitly, not trusted. */
    FLASH_ACR = ACR_PRFTBE | ACR_LATENCY_0WS;
}

uint8_t uart_get(void)
{
    /* A lost byte (ORE) cannot be asked for again; the content check tells
     * the host. Reading SR then DR clears ORE (RM0008 27.6.1). */
    while (!(USART_SR & USART_SR_RXNE))
        ;
    return (uint8_t)USART_DR;
}

void uart_put(uint8_t byte)
{
    while (!(USART_SR & USART_SR_TXE))
        ;
    USART_DR = byte;
}

/* 512 KiB and smaller parts only: XL density puts its second bank behind
 * registers of its own (RM0008 3.3.3 Table 8), so there every size is refused
 * rather than written through the wrong ones. */
int chip_size_ok(uint32_t size)
{
    const uint32_t kib = FLASH_SIZE_KIB;
    if (kib > 512u)
        return 0;
    return size <= kib * 1024u;
}

/* RM0008 3.3.3: 1 KiB pages up to 128 KiB, 2 KiB on high density. A 2 KiB-page
 * part taken for a 1 KiB one (connectivity line, RM0008 Table 7) only has its
 * pages erased twice; the other way round would leave half of them. */
static uint32_t page_size(void)
{
    return FLASH_SIZE_KIB <= 128u ? 0x400u : 0x800u;
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

/* PM0075 2.3.4 "Page Erase": only the pages the image reaches. EOP is set
 * only by an operation that succeeded (PM0075 3.4). */
int chip_erase(uint32_t size)
{
    const uint32_t page = page_size();
    int result = 0;
    wait_ready();
    unlock();
    FLASH_SR = SR_ERRORS | SR_EOP;  /* write 1 to clear */
    for (uint32_t at = 0; at < size; at += page) {
        FLASH_CR = CR_PER;
        FLASH_AR = FLASH_BASE + at;
        FLASH_CR = CR_PER | CR_STRT;
        wait_ready();
        const uint32_t sr = FLASH_SR;
        FLASH_SR = SR_ERRORS | SR_EOP;
        if ((sr & SR_ERRORS) || !(sr & SR_EOP)) {
            result = -1;
            break;
        }
    }
    FLASH_CR = 0;
    return result;
}

/* PM0075 2.3.3: PG set, one half-word write, BSY, then read back. PG is
 * cleared again at once: STRT and PG must not meet (PM0075 3.4 PGERR note). */
int chip_program(uint32_t index, const uint8_t *buf, uint32_t n, uint32_t keep, struct verify_fail *f)
{
    const uint32_t addr = FLASH_BASE + index;
    const uint8_t lo = keep > 0u ? buf[0] : 0xFFu;  /* the pad byte is never programmed */
    const uint8_t hi = keep > 1u ? buf[1] : 0xFFu;
    const uint16_t expected = (uint16_t)(lo | hi << 8);
    uint32_t sr = 0;
    (void)n;
    if (expected != 0xFFFFu) {  /* erased already: 52 us saved per blank half-word */
        wait_ready();
        unlock();
        FLASH_CR = CR_PG;
        REG16(addr) = expected;
        wait_ready();
        sr = FLASH_SR;
        FLASH_CR = 0;
        FLASH_SR = SR_ERRORS | SR_EOP;
    }
    const uint16_t reread = REG16(addr);
    if (reread != expected || (sr & SR_ERRORS)) {
        f->address = addr;
        f->expected = expected;
        f->reread = reread;
        return -1;
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
    if (!(FLASH_CR & CR_LOCK))  /* a locked FLASH_CR takes no writes (PM0075 2.3.2) */
        FLASH_CR = CR_LOCK;
}
