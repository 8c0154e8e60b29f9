/* Entry of the GP4020 loader. The boot ROM swaps the internal RAM to address
 * 0 and starts the downloaded image there (GP4020 Design Manual, DM5280,
 * section 4 "Boot ROM"), so the image begins with the ARM exception vector
 * table: reset goes to the loader, every other exception stops in a loop of
 * its own (the loader enables no interrupts, so only a fault gets there).
 *
 * The chip set-up is here, one store per step, before any C code runs: the
 * memory controller's write protection off for IO_REV's area, then for the
 * flash's, then EXT_NCS0, then UART1 (facts and sources in gp4020.h). r10 and
 * r11 only, which the compiled code seldom uses, so that each step stays one
 * distinct instruction word in the image for the tests that remove it. */
#include "board.h"

    .syntax unified
    .arm
    .section .vectors, "ax"
    .global _start
_start:
    b reset             @ 0x00 reset
    b .                 @ 0x04 undefined instruction
    b .                 @ 0x08 software interrupt
    b .                 @ 0x0C prefetch abort
    b .                 @ 0x10 data abort
    b .                 @ 0x14 reserved
    b .                 @ 0x18 IRQ
    b .                 @ 0x1C FIQ

    .text
reset:
    msr cpsr_c, #0xD3   @ supervisor mode, IRQ and FIQ masked
    ldr r10, =MPC_BASE
    ldr r11, =MPC_AREA3_SETTING
    str r11, [r10, #MPC_AREA3]          @ 32-bit only; IO_REV's area writable
    ldr r11, =FLASH_MPC_SETTING
    str r11, [r10, #MPC_AREA1]          @ the flash's area writable, 16-bit bus
    ldr r10, =PCL_IO_REV
    ldrh r11, [r10]
    orr r11, r11, #IO_REV_EXT_NCS0
    strh r11, [r10]                     @ NCS[0] selects the flash, not the boot ROM
    ldr r10, =UART1_BASE
    mov r11, #UART_MR_57600_8N1
    strb r11, [r10, #UART_MR]           @ UART1 takes 8-bit accesses only
    mov r11, #UART_BRR_57600
    strb r11, [r10, #UART_BRR]
    mov r11, #(UART_CR_REN | UART_CR_TEN)
    strb r11, [r10, #UART_CR]
    ldr sp, =__stack_top
    ldr r0, =__bss_start
    ldr r1, =__bss_end
    mov r2, #0
1:  cmp r0, r1
    strlo r2, [r0], #4
    blo 1b
    bl loader_main
    b .
