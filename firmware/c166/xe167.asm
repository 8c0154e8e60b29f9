; Loader for the XE167 target: 2074 bytes on the line through the UART
; bootstrap loader, the on-chip program flash as in xe167.inc. The wire
; protocol is the XC164/167 loader's (xc16x_body.inc): 0x00 at the bootstrap
; rate as soon as it runs, then 57600 baud, a 0x00 after every 128-byte block.
;
; Layout. The bootstrap loader stores the first 32 bytes from 0E0'0000h in the
; PSRAM and runs them (xe167.inc, BSL_STORE). Those 32 bytes must switch the
; watchdog off first, and cannot then both pull the rest and test for its end,
; so the first stage stores the remaining 2042 bytes downwards, from the top of
; the image to its own exit instruction at offset 20, and does not count: the
; host sends the second stage last byte first (firmware/c166/xe167_wire.py),
; and the last byte to arrive turns the exit from JMPR cc_C into JMPR cc_UC.
;
; Why the exit holds whether or not the core runs the old exit word once more.
; The fetch unit reads 64 bits at a time ahead of execution and follows the
; loop's unconditional jump back as soon as it sees it ("XC2200 Derivatives
; System Units" UM V2.1, 4.2: prefetch into an instruction FIFO, branches
; detected and their targets prefetched), so the words at 12..23 may be
; fetched before MOVB has stored the last byte. That old word is JMPR cc_C,
; and the AND before it has just cleared C: it is not taken, and JMPR cc_Z
; goes round the poll again, since nothing else comes until the loader
; answers. The FIFO holds a few instructions at most, so a later round fetches
; the word after the store and takes the exit; a jump cache, where a core has
; one, keeps only the jump's target instruction (the MOV at 12; C165H data
; sheet 2001-04, "Cache Jump Instruction Processing"), never the exit 8 bytes
; past it. So the exit is taken on the first pass after the store or a few
; passes later, never missed and never taken early.
;
; Code runs in segment 0E0h: JMPA/CALLA stay in it. The first stage reaches
; the PSRAM through DPP0 and U0C0 through DPP1 as the bootstrap loader left it;
; the second stage sets its own DPP0 (U0C0) and DPP3 (DPRAM); EXTS the flash.
;
; Registers as in xc16x_body.inc.

IMAGE_BYTES EQU 2074                ; on the line
STAGE1_EXIT EQU 20                  ; where the last byte received lands
MEM_END     EQU IMAGE_BYTES - 32 + STAGE1_EXIT   ; one past the image in memory
        INCLUDE "xe167.inc"

; ---- first stage: 32 bytes ---------------------------------------------------
        ORG     0
start:  DISWDT                          ; first: the watchdog runs (xe167.inc, WDT)
        MOV     DPP0, #PSRAM_SEG << 2   ; 16 KiB pages: 0E0'0000h is page 380h
        MOV     R0, #MEM_END
s1wait: MOV     R2, BSL_DPP1_BASE + U0_RBUFSR   ; U0C0 through the loader's DPP1
        AND     R2, #RDV_BITS
s1exit: JMPR    cc_C, stage2            ; sent as cc_C, received last as cc_UC
        JMPR    cc_Z, s1wait
        MOV     R2, BSL_DPP1_BASE + U0_RBUF
        MOVB    [-R0], RL2
        JMPR    cc_UC, s1wait
        ASSERT  s1exit == STAGE1_EXIT
        ASSERT  $ == 32

; ---- second stage ----------------------------------------------------------------
stage2: MOV     DPP0, #U0C0_PAGE        ; the second stage's own view of U0C0
        INCLUDE "xc16x_start.inc"
        ; The loader runs: 0x00 at the bootstrap rate. The host switches to
        ; 57600 once it has this byte and sends the next command at once, so
        ; the new rate is set as soon as the byte's stop bit has gone (TFF).
        MOV     R0, #TFF_BIT
        MOV     U0_PSCR, R0
        MOVB    RL1, #0
        CALLA   cc_UC, putc
s2sent: MOV     R0, U0_PSR
        AND     R0, #TFF_BIT
        JMPR    cc_Z, s2sent
        ; PDIV' + 1 = round((PDIV + 1) / 3): a third of the measured bit time.
        MOV     R2, U0_BRGH
        MOV     R3, R2
        AND     R3, #PDIV_MASK
        ADD     R3, #2
        MOV     MDL, R3
        MOV     R4, #3
        DIVU    R4
        MOV     R3, MDL
        SUB     R3, #1
        AND     R2, #~PDIV_MASK
        OR      R2, R3
        MOV     U0_BRGH, R2

        INCLUDE "xc16x_body.inc"

; ---- U0C0 in ASC mode ---------------------------------------------------------------

; rxtest: Z clear when RBUF holds a received word. Keeps all but R0.
rxtest: MOV     R0, U0_RBUFSR
        AND     R0, #RDV_BITS
        RET

; rxtake: the oldest received byte into R1; reading RBUF frees it.
rxtake: MOV     R1, U0_RBUF
        AND     R1, #0x00FF
        RET

; putc: RL1 out, once TBUF has passed its last word to the shifter. Keeps
; every register: putw and the report call it between their own.
putc:   PUSH    R0
pwait:  MOV     R0, U0_TCSRL
        AND     R0, #TDV_BIT
        JMPR    cc_NZ, pwait
        MOVBZ   R0, RL1
        MOV     U0_TBUF00, R0
        POP     R0
        RET

        ASSERT  $ <= MEM_END
        DS      MEM_END - $
