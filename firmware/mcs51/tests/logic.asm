; ORL, ANL, XRL in every form, the accumulator rotates, SWAP, CLR/CPL A and
; the bit instructions on RAM bits and on SFR bits.
        .include "prelude.inc"

        .org 0x0100
main:
        mov 0x30, #0x3C
        mov 0x31, #0xA5
        mov 0x32, #0x0F
        mov r0, #0x31
        mov r1, #0x32
        mov r2, #0x01
        mov r3, #0x80
        mov r4, #0xFF
        mov r5, #0x99
        mov r6, #0x00
        mov r7, #0x6E
        .irp op, #0x35, 0x30, @r0, @r1, r0, r1, r2, r3, r4, r5, r6, r7
        mov a, #0x5A
        orl a, op
        acall store
        mov a, #0xC3
        anl a, op
        acall store
        mov a, #0x96
        xrl a, op
        acall store
        .endm
        mov a, #0x0F
        mov 0x40, #0x33
        orl 0x40, a
        mov 0x41, #0x33
        anl 0x41, a
        mov 0x42, #0x33
        xrl 0x42, a
        orl 0x40, #0xC0
        anl 0x41, #0x0E
        xrl 0x42, #0xFF
        orl P1, #0x0F           ; read-modify-write on a port latch
        anl P1, #0x3C
        xrl B, #0x81

        mov a, #0x81
        rl a
        acall store
        rr a
        rr a
        acall store
        setb c
        rlc a
        acall store
        clr c
        rrc a
        acall store
        rrc a
        acall store
        swap a
        acall store
        cpl a
        acall store
        clr a
        acall store

; bit instructions
        mov 0x20, #0x55
        mov 0x2F, #0x00
        clr 0x00
        setb 0x7F
        cpl 0x01
        cpl 0x02
        setb c
        anl c, 0x04             ; 1 and 1
        anl c, /0x04            ; 1 and not 1
        orl c, 0x06             ; 0 or 1
        orl c, /0x07            ; 1 or not 0
        mov 0x10, c             ; bit 10h: byte 22h
        cpl c
        mov 0x11, c
        mov c, 0x00
        mov 0x12, c
        cpl c
        mov ACC.3, c
        mov PSW.1, c            ; user flag
        setb B.7
        clr P1.2
        cpl P1.4
        mov c, P1.4
        mov 0x13, c
        clr c
        cpl c
        clr c
        setb c
        acall store
        mov a, 0x20
        acall store
        mov a, 0x22
        acall store
        mov a, 0x2F
        acall store
done:   sjmp .
