; Jumps and calls: AJMP and ACALL into all eight pages of a 2 KiB block,
; LJMP, LCALL, RET, RETI, SJMP, JMP @A+DPTR, the conditional jumps, CJNE in
; every form, DJNZ and NOP. R6 counts ACALLs, R7 AJMPs; R5 collects a bit
; per conditional jump taken.
        .include "prelude.inc"

        .org 0x0800
main:
        nop
        acall c0
        acall c1
        acall c2
        acall c3
        acall c4
        acall c5
        acall c6
        acall c7
        lcall j0
        lcall j1
        lcall j2
        lcall j3
        lcall j4
        lcall j5
        lcall j6
        lcall j7
        lcall via_reti
        mov dptr, #jumps
        mov a, #2
        jmp @a+dptr
after_table:
        mov r5, #0
        clr a
        jz 1$
        inc r5
1$:     jnz 2$
        orl 0x05, #0x02         ; r5 of bank 0
2$:     setb c
        jc 3$
        inc r5
3$:     jnc 4$
        orl 0x05, #0x04
4$:     mov 0x20, #0x81
        jb 0x00, 5$
        inc r5
5$:     jnb 0x01, 6$
        inc r5
6$:     jbc 0x07, 7$
        inc r5
7$:     jbc 0x07, 8$            ; now clear: falls through
        orl 0x05, #0x08
8$:     mov a, #0x40
        cjne a, #0x41, 9$
        inc r5
9$:     cjne a, #0x40, 10$
        orl 0x05, #0x10
10$:    mov 0x30, #0x10
        cjne a, 0x30, 11$
11$:    mov r0, #0x31
        mov 0x31, #0x80
        cjne @r0, #0x80, 12$
        mov r1, #0x31
        cjne @r1, #0x7F, 12$
12$:    mov a, PSW
        mov 0x32, a
        mov 0x3E, r5            ; R5 holds the jump bits: keep them aside
        mov r5, #0x31
        cjne r5, #0x30, . + 3
        mov 0x3F, PSW
        .irp r, r0, r1, r2, r3, r4, r6, r7
        cjne r, #0x31, . + 3
        mov a, PSW
        mov @r0, a
        inc 0x31
        .endm
        .irp r, r0, r1, r2, r3, r4, r5
        mov r, #3
        djnz r, .
        .endm
        mov r5, 0x3E
        mov 0x33, #3
14$:    djnz 0x33, 14$
        mov a, r5
        lcall store
        mov a, r6
        lcall store
        mov a, r7
        lcall store
        ljmp done

        .org 0x0A00
via_reti:
        push ACC                ; RETI returns like RET when no interrupt is served
        mov a, #0x77
        mov 0x34, a
        pop ACC
        reti
jumps:  sjmp bad
        sjmp good
bad:    mov 0x35, #0xBB
good:   ljmp after_table

        .org 0x08F8
c0:     inc r6
        ret
j0:     ajmp a0
a0:     inc r7
        ret
        .org 0x0980
c1:     inc r6
        ret
j1:     ajmp a1
a1:     inc r7
        ret
        .org 0x0A80
c2:     inc r6
        ret
j2:     ajmp a2
a2:     inc r7
        ret
        .org 0x0B80
c3:     inc r6
        ret
j3:     ajmp a3
a3:     inc r7
        ret
        .org 0x0C80
c4:     inc r6
        ret
j4:     ajmp a4
a4:     inc r7
        ret
        .org 0x0D80
c5:     inc r6
        ret
j5:     ajmp a5
a5:     inc r7
        ret
        .org 0x0E80
c6:     inc r6
        ret
j6:     ajmp a6
a6:     inc r7
        ret
        .org 0x0F80
c7:     inc r6
        ret
j7:     ajmp a7
a7:     inc r7
        ret
        .org 0x0FA0
done:   sjmp .
