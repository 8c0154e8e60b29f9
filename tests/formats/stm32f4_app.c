/* A small program for the firmware-file tests, linked for the STM32F4's flash
   (stm32f4_app.ld): a vector table, code, constant data, initialised data kept
   in flash and copied to RAM, and a table past a gap. A file made from it
   places data by load (physical) address, not by where it runs, and leaves a
   gap that reads as erased flash. */
#include <stdint.h>

extern uint32_t _estack[], _sidata[], _sdata[], _edata[];
int main(void);

void Reset(void) {
    for (uint32_t *from = _sidata, *to = _sdata; to < _edata;) *to++ = *from++;
    main();
    for (;;) {
    }
}

__attribute__((section(".vectors"), used)) void* const kVectors[] = {_estack, (void*)Reset};

static const char kMessage[] = "QTX Flash: a program for the firmware-file tests";
uint32_t counter = 0x12345678u;
uint8_t scratch[64];

__attribute__((section(".table"), used)) const uint32_t kTable[16] = {
    0x00000001u, 0x00000002u, 0x00000004u, 0x00000008u, 0x00000010u, 0x00000020u, 0x00000040u, 0x00000080u,
    0xDEADBEEFu, 0xCAFEF00Du, 0x0BADC0DEu, 0x8BADF00Du, 0xFEEDFACEu, 0x00C0FFEEu, 0x5A5A5A5Au, 0xA5A5A5A5u};

int main(void) {
    for (unsigned i = 0; i < sizeof kMessage; ++i) {
        counter = counter * 31u + (uint8_t)kMessage[i] + kTable[i % 16];
        scratch[i % sizeof scratch] = (uint8_t)counter;
    }
    return (int)counter;
}
