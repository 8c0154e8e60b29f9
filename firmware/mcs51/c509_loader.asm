; C509 flash loader. The boot ROM stores this image in the XRAM from F400h
; and starts it at F420h. It speaks the loader protocol over serial
; interface 0 exactly as the ROM left it set up (rate and framing):
;   02h            erase the flash; answers 02h (EEh when an erase fails)
;   04h lo hi      program lo+256*hi bytes from flash address 0; echoes lo
;                  and hi, answers 03h, takes the bytes, answers 04h; a
;                  byte that does not verify is reported with 9 bytes
;   43h            content check: answers 43h and the CRC-32 of the data
;                  of the last program command as the flash reads it back,
;                  least significant first
; No interrupts are used; every wait polls RI0/TI0 or the flash status.

        .include "c509_board.inc"

; Internal RAM
CRC0    = 0x30          ; running CRC-32, least significant byte first
CRC1    = 0x31
CRC2    = 0x32
CRC3    = 0x33
SIZE_LO = 0x34          ; the size of the last program command
SIZE_HI = 0x35
REPORT  = 0x38          ; 9-byte verify-error report being sent
STACK   = 0x48

ANSWER_ERASED  = 0x02
ANSWER_READY   = 0x03
ANSWER_DONE    = 0x04
ANSWER_ERASE_FAILED = 0xEE
ERROR_VERIFY   = 0x02   ; error code of the report: a byte read back differs

        .area LOADER (ABS,CODE)
        .org IMAGE_BASE
; Header: bytes 2 and 3 hold the image length, least significant first.
        .db 0, 0, <IMAGE_SIZE, >IMAGE_SIZE
        .ds 28

        .org IMAGE_BASE + 0x20
start:
        mov SP, #STACK
        mov PSW, #0
        clr BANK
        acall crc_init
command:
        acall getc
        cjne a, #0x02, 1$
        acall erase
        acall putc
        sjmp command
1$:     cjne a, #0x04, 2$
        acall program
        sjmp command
2$:     cjne a, #0x43, command
        acall putc
        mov r0, #CRC0
3$:     mov a, @r0
        cpl a
        acall putc
        inc r0
        cjne r0, #CRC3+1, 3$
        sjmp command

; ---- serial interface 0 ----------------------------------------------------------
; getc: waits for a byte and returns it in A.
getc:   jnb RI0, getc
        clr RI0
        mov a, S0BUF
        ret

; putc: sends A and waits until it has left, so the next write never
; overwrites a byte still being shifted out.
putc:   clr TI0
        mov S0BUF, a
1$:     jnb TI0, 1$
        ret

; ---- CRC-32 (reflected polynomial EDB88320h), one bit at a time ----------------
crc_init:
        mov a, #0xFF
        mov CRC0, a
        mov CRC1, a
        mov CRC2, a
        mov CRC3, a
        ret

; crc_byte: folds A into the CRC; uses R3.
crc_byte:
        xrl CRC0, a
        mov r3, #8
1$:     clr c
        mov a, CRC3
        rrc a
        mov CRC3, a
        mov a, CRC2
        rrc a
        mov CRC2, a
        mov a, CRC1
        rrc a
        mov CRC1, a
        mov a, CRC0
        rrc a
        mov CRC0, a
        jnc 2$
        xrl CRC3, #0xED
        xrl CRC2, #0xB8
        xrl CRC1, #0x83
        xrl CRC0, #0x20
2$:     djnz r3, 1$
        ret

; ---- flash ---------------------------------------------------------------------
; unlock: the two unlock cycles of every command.
unlock:
        mov P2, #UNLOCK1_HI
        mov r0, #UNLOCK1_LO
        mov a, #CMD_UNLOCK1
        movx @r0, a
        mov P2, #UNLOCK2_HI
        mov r1, #UNLOCK2_LO
        mov a, #CMD_UNLOCK2
        movx @r1, a
        mov P2, #UNLOCK1_HI     ; the third cycle goes to 5555h again
        ret

; erase: erases sectors 0 to 3, one after the other, and returns the answer
; in A. A sector is done when DQ7 reads 1 (erased data); DQ5 high while DQ7
; still reads 0 means the erase failed (data sheet, "Write Operation Status").
erase:
        mov r6, #SECTORS
        mov dptr, #0
        clr BANK
1$:     acall unlock
        mov a, #CMD_ERASE
        movx @r0, a
        acall unlock
        mov a, #CMD_SECTOR
        movx @dptr, a
2$:     movx a, @dptr
        jb ACC7, 3$
        jnb ACC5, 2$
        movx a, @dptr           ; DQ5 and DQ7 may change together: look once more
        jb ACC7, 3$
        mov a, #CMD_RESET
        movx @dptr, a
        mov a, #ANSWER_ERASE_FAILED
        ret
3$:     mov a, dph
        add a, #SECTOR_HI
        mov dph, a
        cjne a, #WINDOW_END_HI, 4$
        mov dph, #0
        setb BANK
4$:     djnz r6, 1$
        clr BANK
        mov a, #ANSWER_ERASED
        ret

; program: size in, echo, 03h, then every byte is programmed at the next
; address, polled with DQ7/DQ5 and read back. R4/R5 count the bytes left.
program:
        acall getc
        mov r4, a
        acall getc
        mov r5, a
        mov SIZE_LO, r4
        mov SIZE_HI, r5
        mov a, r4
        acall putc
        mov a, r5
        acall putc
        acall crc_init
        mov dptr, #0
        clr BANK
        mov a, #ANSWER_READY
        acall putc
next:   mov a, r4
        orl a, r5
        jz done
        acall getc
        mov r2, a
        acall unlock
        mov a, #CMD_PROGRAM
        movx @r0, a
        mov a, r2
        movx @dptr, a
1$:     movx a, @dptr           ; DQ7 reads the complement until the byte is in
        mov r7, a
        xrl a, r2
        jnb ACC7, 2$
        mov a, r7               ; DQ5 of the status itself, not of the comparison
        jnb ACC5, 1$
        movx a, @dptr
        xrl a, r2
        jnb ACC7, 2$
        mov a, #CMD_RESET       ; program failed: back to reading array data
        movx @dptr, a
2$:     movx a, @dptr           ; verify what the flash now holds
        mov r3, a
        xrl a, r2
        jnz failed
        ; The CRC takes what the flash holds. The byte's address is worked
        ; out again from the size and the bytes left (R5:R4); a byte that
        ; went elsewhere spoils the CRC, so the content check fails.
        clr c
        mov a, SIZE_LO
        subb a, r4
        xrl a, dpl
        mov r6, a               ; 0 when the low byte agrees
        mov a, SIZE_HI
        subb a, r5
        jnb BANK, 3$
        xrl a, #0x80            ; A15 comes from BANK, not from DPH
3$:     xrl a, dph
        orl a, r6
        jz 4$
        mov a, #0xFF
4$:     xrl a, r3
        acall crc_byte
        acall count_down
        inc dptr
        mov a, dph
        cjne a, #WINDOW_END_HI, next
        mov dph, #0
        setb BANK
        sjmp next
done:   mov a, #ANSWER_DONE
        acall putc
        ret

; count_down: one byte fewer left in R4/R5.
count_down:
        dec r4
        cjne r4, #0xFF, 1$
        dec r5
1$:     ret

; failed: sends the 9-byte report (address, expected and read-back words,
; error code; all least significant byte first), then takes the rest of the
; data unprogrammed so that none of it is taken for a command.
failed:
        acall count_down
        mov r0, #REPORT
        mov @r0, dpl
        inc r0
        mov a, dph
        jnb BANK, 1$
        orl a, #0x80
1$:     mov @r0, a
        inc r0
        clr a
        mov @r0, a
        inc r0
        mov @r0, a
        inc r0
        mov a, r2
        mov @r0, a
        inc r0
        clr a
        mov @r0, a
        inc r0
        mov a, r3
        mov @r0, a
        inc r0
        clr a
        mov @r0, a
        inc r0
        mov @r0, #ERROR_VERIFY
        mov r0, #REPORT
2$:     mov a, @r0
        clr TI0
        mov S0BUF, a
3$:     jbc TI0, 4$             ; while a report byte leaves, keep taking data
        acall drain
        sjmp 3$
4$:     inc r0
        cjne r0, #REPORT+9, 2$
5$:     mov a, r4
        orl a, r5
        jz 6$
        acall drain
        sjmp 5$
6$:     ret

; drain: takes one waiting data byte, if any, and counts it.
drain:  jnb RI0, 1$
        clr RI0
        mov a, r4
        orl a, r5
        jz 1$
        acall count_down
1$:     ret
