; ADD, ADDC, SUBB, DA, MUL, DIV and INC/DEC: every addressing mode, and the
; flags over operand pairs chosen to hit the carry, auxiliary carry and
; overflow edges.
        .include "prelude.inc"

        .org 0x0100
main:
        mov 0x30, #0x7F
        mov 0x31, #0x88
        mov 0x32, #0x0F
        mov r0, #0x31
        mov r1, #0x32
        mov r2, #0x01
        mov r3, #0x80
        mov r4, #0xFF
        mov r5, #0x99
        mov r6, #0x0A
        mov r7, #0x46
        .irp op, #0x35, 0x30, @r0, @r1, r0, r1, r2, r3, r4, r5, r6, r7
        clr c
        mov a, #0x79
        add a, op
        acall store
        setb c
        mov a, #0x88
        addc a, op
        acall store
        clr c
        mov a, #0x80
        addc a, op
        acall store
        setb c
        mov a, #0x10
        subb a, op
        acall store
        clr c
        mov a, #0x7F
        subb a, op
        acall store
        .endm

; operand pairs from the table: all 8 x 8 combinations
        mov r7, #8
1$:     mov r6, #8
2$:     mov a, r7
        acall value
        mov r2, a
        mov a, r6
        acall value
        mov r3, a
        clr c
        mov a, r2
        add a, r3
        acall store
        da a
        acall store
        setb c
        mov a, r2
        addc a, r3
        acall store
        da a
        acall store
        clr c
        mov a, r2
        subb a, r3
        acall store
        setb c
        mov a, r2
        subb a, r3
        acall store
        mov a, r2
        mov B, r3
        mul ab
        acall store
        mov a, B
        acall store
        mov a, r2
        mov B, r3
        setb c
        div ab
        jnb PSW.2, 3$
        ; divided by zero: A and B are undefined, only the flags are known
        mov a, PSW
        anl a, #0xFE
        mov B, #0
3$:     acall store
        mov a, B
        acall store
        djnz r6, 2$
        djnz r7, 1$

; DA after additions that leave AC or a high nibble above 9
        mov a, #0x38
        add a, #0x29
        da a
        acall store
        mov a, #0x99
        add a, #0x99
        da a
        acall store
        mov a, #0x50
        setb c
        da a
        acall store

; INC and DEC in every form, and INC DPTR across a page
        mov r0, #0x40
        mov r1, #0x41
        mov 0x40, #0xFF
        mov 0x41, #0x00
        inc a
        dec a
        inc 0x40
        dec 0x41
        inc @r0
        inc @r1
        dec @r0
        dec @r1
        .irp r, r0, r1, r2, r3, r4, r5, r6, r7
        inc r
        inc r
        dec r
        .endm
        mov a, 0x40
        acall store
        push DPL
        push DPH
        mov dptr, #0x12FF
        inc dptr
        mov a, DPH
        mov r2, DPL
        pop DPH
        pop DPL
        acall store
        mov a, r2
        acall store
done:   sjmp .

; value: A (1..8) -> table entry
value:  movc a, @a+pc
        ret
        .db 0x00, 0x01, 0x0F, 0x7F, 0x80, 0x99, 0xFF, 0x5A
