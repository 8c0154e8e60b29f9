; MOV in every form, MOVC, MOVX, PUSH/POP, XCH, XCHD and register banks.
        .include "prelude.inc"

        .org 0x0100
main:
        mov a, #0x11
        mov 0x30, #0x22
        mov r0, #0x31
        mov r1, #0x32
        mov @r0, #0x33
        mov @r1, #0x34
        .irp r, r2, r3, r4, r5, r6, r7
        mov r, #0x40
        .endm
        mov 0x50, 0x30          ; direct to direct
        mov 0x51, @r0
        mov 0x52, @r1
        .irp r, r0, r1, r2, r3, r4, r5, r6, r7
        mov 0x58, r
        .endm
        mov r0, #0x60
        mov r1, #0x61
        mov @r0, 0x30
        mov @r1, 0x50
        .irp r, r2, r3, r4, r5, r6, r7
        mov r, 0x31
        .endm
        mov r0, 0x30            ; MOV Rn,direct for R0 and R1 too
        mov r1, 0x50
        mov 0x76, r0
        mov 0x77, r1
        mov r0, #0x60
        mov r1, #0x61
        mov a, 0x52
        mov 0x70, a
        mov a, @r0
        mov 0x71, a
        mov a, @r1
        mov 0x72, a
        .irp r, r0, r1, r2, r3, r4, r5, r6, r7
        mov a, r
        inc a
        mov r, a
        .endm
        mov @r0, a              ; r0 now holds 61h
        mov @r1, a
        mov 0x73, a

; register banks through RS1/RS0
        mov PSW, #0x08
        mov r0, #0xB1
        mov PSW, #0x10
        mov r7, #0xB2
        mov PSW, #0x18
        mov r3, #0xB3
        mov PSW, #0x00

; upper RAM through @Ri and the stack
        mov r0, #0x90
        mov @r0, #0x9A
        mov a, @r0
        acall store
        push 0x30
        push ACC
        pop 0x74
        pop 0x75
        push SP                 ; pushes the incremented SP

; XCH and XCHD
        mov a, #0x12
        mov 0x40, #0x34
        xch a, 0x40
        mov r0, #0x41
        mov 0x41, #0x56
        xch a, @r0
        mov r1, #0x42
        mov 0x42, #0x78
        xch a, @r1
        .irp r, r0, r1, r2, r3, r4, r5, r6, r7
        xch a, r
        .endm
        mov r0, #0x43
        mov r1, #0x44
        mov 0x43, #0xAB
        mov 0x44, #0xCD
        mov a, #0x12
        xchd a, @r0
        xchd a, @r1
        acall store

; MOVC through DPTR and PC
        push DPL
        push DPH
        mov dptr, #table
        mov a, #3
        movc a, @a+dptr
        mov 0x45, a
        pop DPH
        pop DPL
        mov a, #2
        acall fetch
        mov 0x46, a

; MOVX through @Ri with P2 as the page, and through DPTR
        mov P2, #0x07
        mov r0, #0x80
        mov r1, #0x81
        mov a, #0xE1
        movx @r0, a
        mov a, #0xE2
        movx @r1, a
        movx a, @r0
        mov 0x47, a
        movx a, @r1
        mov 0x48, a
        movx a, @dptr           ; the next log byte, still 0
        mov 0x49, a
        mov dptr, #0x1234
        mov a, DPL
        acall store
done:   sjmp .

fetch:  movc a, @a+pc
        ret
        .db 0x5A, 0xA5, 0x3C
table:  .db 0x10, 0x20, 0x30, 0x40
