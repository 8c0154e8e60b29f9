/* Fast data: the rate change of the loader protocol (loader.c). After its
 * 0x53 answer at the current rate the line runs at the new rate; a sync
 * 0x55 within SYNC_MS is echoed there, anything else or nothing puts the
 * line back, and the host, which then hears no echo, goes back too. */
#include "chip.h"

#define ANSWER_REFUSED 0x01u
#define CMD_RATE 0x53u
#define RATE_SYNC 0x55u
/* Long enough for a host behind a USB adapter (16 ms latency timer) and a
 * busy scheduler to see the answer, switch and send the sync. */
#define SYNC_MS 500u

/* The Cortex-M system timer (ARMv7-M ARM B3.3), on the core clock, for the
 * sync time-out. */
#define SYST_CSR (*(volatile uint32_t *)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t *)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t *)0xE000E018u)
#define SYST_ENABLE_CORE_CLOCK 5u
#define SYST_COUNTFLAG (1u << 16)

static uint32_t get_u32(void)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= (uint32_t)uart_get() << (8 * i);
    return v;
}

/* One byte within ms milliseconds; 0 when none came. */
static int get_within(uint8_t *b, uint32_t ms)
{
    SYST_RVR = chip_core_hz() / 1000u - 1u;
    SYST_CVR = 0;
    SYST_CSR = SYST_ENABLE_CORE_CLOCK;
    while (ms != 0) {
        if (uart_rx_ready()) {
            *b = uart_get();
            SYST_CSR = 0;
            return 1;
        }
        if (SYST_CSR & SYST_COUNTFLAG)
            --ms;
    }
    SYST_CSR = 0;
    return 0;
}

void fast_rate(void)
{
    const uint32_t rate = get_u32();
    const uint32_t current = get_u32();
    uint8_t sync = 0;

    if (!chip_rate_ok(rate, current)) {
        uart_put(ANSWER_REFUSED);
        return;
    }
    uart_put(CMD_RATE);
    uart_flush();
    chip_rate_switch(1);
    if (get_within(&sync, SYNC_MS) && sync == RATE_SYNC) {
        uart_put(RATE_SYNC);
        return;
    }
    uart_flush();
    chip_rate_switch(0);
}

