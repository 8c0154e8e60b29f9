/* Protocol core of the Cortex-M preloaders (STM32F4, SAM3U, SAM3S): the
 * loader protocol the host speaks once the ROM boot loader has started us.
 *
 *   0x22 + 4-byte little-endian size  -> 0x00, or 0x01 when it does not fit
 *   0x62 (chips with erase_command)   -> erase what the size needs, 0x00 (0x01 on failure)
 *   0x42 + data                       -> block answers, final 0x00 0x00, or a 9-byte report
 *   0x43                              -> 0x43 and the CRC-32 of the data as the flash
 *                                        holds it (the pad byte as received), LSB first
 *   0x01                              -> finished
 *   0x53 + rate + current rate (4-byte little-endian each)
 *                                     -> 0x01 when the UART cannot make rate (the line
 *                                        stays), else 0x53 at the current rate; then the
 *                                        line runs at rate, and a sync 0x55 within
 *                                        SYNC_MS is echoed there. Anything else, or
 *                                        nothing, puts the line back at the current rate.
 */
#include "chip.h"

#define ANSWER_OK 0x00u
#define ANSWER_REFUSED 0x01u
#define CMD_SIZE 0x22u
#define CMD_ERASE 0x62u
#define CMD_DATA 0x42u
#define CMD_CHECK 0x43u
#define CMD_FINISH 0x01u
#define REPORT_VERIFY 0x02u
#define CMD_RATE 0x53u   /* fast.c */

static uint32_t crc_table[16];
static uint32_t crc;
static uint32_t crc_at;  /* data index of the next byte for the CRC */
static uint8_t unit_buf[UNIT_MAX] __attribute__((aligned(4)));

/* CRC-32 of zlib and Ethernet (reflected 0xEDB88320), four bits at a time:
 * 64 bytes of table and a few cycles per byte keep up with any line rate. */
static void crc_init(void)
{
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 4; ++k)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        crc_table[i] = c;
    }
}

static void crc_add(uint8_t b)
{
    uint32_t c = crc ^ b;
    c = (c >> 4) ^ crc_table[c & 15u];
    c = (c >> 4) ^ crc_table[c & 15u];
    crc = c;
}

/* The rate change (fast.c), built into the chips that offer fast data. */
void fast_rate(void);

static uint32_t get_u32(void)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= (uint32_t)uart_get() << (8 * i);
    return v;
}

static void put_u32(uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        uart_put((uint8_t)(v >> (8 * i)));
}

static void send_report(const struct verify_fail *f)
{
    put_u32(f->address);
    uart_put((uint8_t)f->expected);
    uart_put((uint8_t)(f->expected >> 8));
    uart_put((uint8_t)f->reread);
    uart_put((uint8_t)(f->reread >> 8));
    uart_put(REPORT_VERIFY);
}

/* The host sends the data in pairs, an odd size followed by one pad byte.
 * After a failed read-back the rest is taken but no longer programmed.
 * The CRC is taken over the flash read back once a unit is programmed, not
 * over the bytes received, at an index counted apart from the one programmed:
 * a unit that differs from the line (this program's own buffers included) or
 * went to a wrong place then shows in the content check. */
static void receive_data(uint32_t size)
{
    const uint32_t total = (size + 1u) & ~1u;
    uint32_t fill = 0;
    int failed = 0;
    struct verify_fail f;

    crc = 0xFFFFFFFFu;
    crc_at = 0;
    for (uint32_t i = 1; i <= total; ++i) {
        unit_buf[fill++] = uart_get();
        const int last = i == total;
        if (fill < chip.unit && !last)
            continue;
        const uint32_t start = i - fill;
        const uint32_t keep = size - start < fill ? size - start : fill;
        if (last)
            uart_put(ANSWER_OK);  /* the last pair arrived */
        if (!failed && chip_program(start, unit_buf, fill, keep, &f) != 0) {
            /* A block answer still comes first: the host is waiting for it
             * and looks for the report while it sends the next block. */
            if (!last && chip.block_ack && i % chip.block_ack == 0)
                uart_put(ANSWER_OK);
            send_report(&f);
            failed = 1;
        } else if (!failed) {
            const volatile uint8_t *at = chip_flash(crc_at);
            for (uint32_t k = 0; k < fill; ++k)
                crc_add(k < keep ? at[k] : unit_buf[k]);
            crc_at += fill;
            if (!last && chip.block_ack && i % chip.block_ack == 0)
                uart_put(ANSWER_OK);
        } else if (!last && chip.block_ack && i % chip.block_ack == 0) {
            uart_put(ANSWER_OK);
        }
        fill = 0;
    }
    if (!failed)
        uart_put(ANSWER_OK);      /* all of it is in flash */
    crc = ~crc;
}

void loader_main(void)
{
    uint32_t size = 0;

    chip_init();
    crc_init();
    crc = 0;
    if (chip.hello)
        uart_put(ANSWER_OK);
    for (;;) {
        switch (uart_get()) {
        case CMD_SIZE: {
            const uint32_t s = get_u32();
            if (chip_size_ok(s)) {
                size = s;
                uart_put(ANSWER_OK);
            } else {
                size = 0;
                uart_put(ANSWER_REFUSED);
            }
            break;
        }
        case CMD_ERASE:
            if (chip.erase_command)
                uart_put(chip_erase(size) == 0 ? ANSWER_OK : ANSWER_REFUSED);
            break;
        case CMD_DATA:
            receive_data(size);
            break;
        case CMD_CHECK:
            uart_put(CMD_CHECK);
            put_u32(crc);
            break;
        case CMD_FINISH:
            chip_finish();
            break;
#ifdef QTX_FAST_DATA
        case CMD_RATE:
            fast_rate();
            break;
#endif
        default:
            break;  /* noise on the line: wait for a command */
        }
    }
}
