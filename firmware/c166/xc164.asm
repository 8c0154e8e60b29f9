; Loader for the XC164/167 target: 1854 bytes through the ROM bootstrap
; loader, the on-chip program flash as in xc16x.inc. The wire protocol is the
; C166 family's (protocol.inc) plus a 0x00 after every 128-byte block and the
; line switch from 19200 to 57600 baud after the first 0x00.
;
; The commands, the flash job and the CRC are shared with the XE167 loader
; (xc16x_body.inc); this file holds what is the XC164's own: the first stage,
; the start-up and the ASC0.
;
; Layout: the ROM loader stores the first 32 bytes from 0E0'0004h in the
; PSRAM and runs them there; they pull the rest of the image (to 0E0'0741h,
; the offset the length word names) and fall into it. Code runs in segment
; 0E0h: JMPA/CALLA stay in it, data addresses go through DPP3 (reset value 3,
; 00'C000h..00'FFFFh) or EXTS.
;
; Registers as in xc16x_body.inc.

IMAGE_SIZE  EQU 1854
IMAGE_START EQU 0x0004              ; within segment 0E0h
        INCLUDE "xc16x.inc"

; ---- first stage: 32 bytes ---------------------------------------------------
        ORG     IMAGE_START
start:  JMPR    cc_UC, stage1
        DW      IMAGE_START + IMAGE_SIZE - 1   ; offset of the last byte in its 64 KiB page
stage1: MOV     R0, #IMAGE_START + 32
s1wait: JNB     S0RIR, s1wait
        BCLR    S0RIR
        MOVB    RL1, S0RBUF
        EXTS    #PSRAM_SEG, #1
        MOVB    [R0], RL1
        CMPI1   R0, #IMAGE_START + IMAGE_SIZE - 1
        JMPR    cc_ULT, s1wait
        NOP                             ; and on into the second stage
        ASSERT  $ == IMAGE_START + 32

; ---- second stage --------------------------------------------------------------
        INCLUDE "xc16x_start.inc"
        MOVB    RL1, #0                 ; the loader runs: still at the ROM loader's rate
        CALLA   cc_UC, putc
        ; The host switches to 57600 once it has this byte and sends the next
        ; command at once: the new rate is set as soon as the byte has left.
        MOV     S0BG, #S0BG_57600

        INCLUDE "xc16x_body.inc"

; ---- ASC0 (C167CR UM ch.11: S0RIR/S0TIR in S0RIC/S0TIC, kept by the XC16x) -----------

; rxtest: Z clear when a received byte waits in S0RBUF. Keeps all but R0.
rxtest: MOV     R0, S0RIC
        AND     R0, #0x0080             ; S0RIR
        RET

; rxtake: the waiting byte into R1.
rxtake: BCLR    S0RIR
        MOVBZ   R1, S0RBUF
        RET

; putc: RL1 out; returns once it has left (S0TIR).
putc:   BCLR    S0TIR
        MOVB    S0TBUF, RL1
pwait:  JNB     S0TIR, pwait
        RET

        ASSERT  $ <= IMAGE_START + IMAGE_SIZE
