/* Entry of the preloaders. The ROM loads the stack pointer from the first
 * word of the image and enters at the second (AN3155 3.5 "Go command"; the
 * SAM3 monitor's "G" is given the same vector-table layout), so the table
 * below is all a start needs. The stack pointer is set again anyway: it
 * costs one instruction and protects against a ROM that only branches. */
#include <stdint.h>

extern uint32_t __stack_top[];
extern uint32_t __bss_start[], __bss_end[];
void loader_main(void);
void reset_handler(void);

__attribute__((section(".vectors"), used)) static const void *const vectors[2] = {
    __stack_top,
    (const void *)reset_handler,
};

__attribute__((naked, noreturn)) void reset_handler(void)
{
    __asm__ volatile(
        "ldr r0, =__stack_top\n"
        "mov sp, r0\n"
        "ldr r0, =__bss_start\n"
        "ldr r1, =__bss_end\n"
        "movs r2, #0\n"
        "1: cmp r0, r1\n"
        "bhs 2f\n"
        "str r2, [r0], #4\n"
        "b 1b\n"
        "2: bl loader_main\n"
        "b .\n");
}
