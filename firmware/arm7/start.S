/* Entry of the GP4020 loader. The boot ROM swaps the internal RAM to address
 * 0 and starts the downloaded image there (GP4020 Design Manual, DM5280,
 * section 4 "Boot ROM"), so the image begins with the ARM exception vector
 * table: reset goes to the loader, every other exception stops in a loop of
 * its own (the loader enables no interrupts, so only a fault gets there). */
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
    ldr sp, =__stack_top
    ldr r0, =__bss_start
    ldr r1, =__bss_end
    mov r2, #0
1:  cmp r0, r1
    strlo r2, [r0], #4
    blo 1b
    bl loader_main
    b .
