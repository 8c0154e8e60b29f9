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

void chip_init(void) {}

uint8_t uart_get(void)
{
    /* A lost byte (ORE) cannot be asked for again; the content check tells
     * the host. Reading SR then DR clears ORE (RM0090 30.6.1). */
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
