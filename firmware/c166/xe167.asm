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
        MOV     R0, #0
        MOV     RHEAD, R0               ; the receive ring is empty
        MOV     RTAIL, R0
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

; Received bytes wait in U0C0's two receive buffers, or in the ring while the
; flash job's page loop runs (rxpump): the ring holds the older ones.

; rxtest: Z clear when a received byte waits. Keeps all but R0.
rxtest: MOV     R0, RHEAD
        CMP     R0, RTAIL
        JMPR    cc_NE, rxret
        MOV     R0, U0_RBUFSR
        AND     R0, #RDV_BITS
rxret:  RET

; rxtake: the oldest received byte into R1; reading RBUF frees it.
rxtake: MOV     R0, RTAIL
        CMP     R0, RHEAD
        JMPR    cc_EQ, rxdirect
        CALLA   cc_UC, rxpump           ; the buffers stay free while the ring empties
        MOVB    RL1, [R0+#RING]
        AND     R1, #0x00FF
        ADD     R0, #1
        AND     R0, #RING_MASK
        MOV     RTAIL, R0
        RET
rxdirect:
        MOV     R1, U0_RBUF
        AND     R1, #0x00FF
        RET

; rxpump: what U0C0 has received into the ring. PSR.RIF tells that a frame
; came since it was last cleared ([XMC]; polled so in [DAVE-U0C0]); it is
; cleared before the buffers are emptied, so a frame landing meanwhile sets it
; again. The ring cannot fill: the host has at most one block and a command
; unanswered. Keeps every register, not the flags.
rxpump: PUSH    R0
        MOV     R0, U0_PSR
        AND     R0, #RIF_BIT
        JMPR    cc_Z, rxpend
        MOV     R0, #RIF_BIT
        MOV     U0_PSCR, R0
        PUSH    R1
rxpmore:
        MOV     R0, U0_RBUFSR
        AND     R0, #RDV_BITS
        JMPR    cc_Z, rxpdone
        MOV     R1, U0_RBUF
        MOV     R0, RHEAD
        MOVB    [R0+#RING], RL1
        ADD     R0, #1
        AND     R0, #RING_MASK
        MOV     RHEAD, R0
        JMPR    cc_UC, rxpmore
rxpdone:
        POP     R1
rxpend: POP     R0
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

; ---- 0x53: fast data -------------------------------------------------------------------
; The new rate and the current one, u32 each, LSB first. The new bit time is
; T' = T x current / new, where T = (PDIV+1)(DCTQ+1) is the current one in
; prescaled periods (PCTQ and FDR stay): as exact as the bootstrap loader's
; own measurement, with no clock value anywhere. T' is built as PDIV'+1 times
; DCTQ'+1, with 8..32 quanta a bit and the sample point in their middle, as
; the bootstrap set-up has 7 of 16 (PCR.SP, docs/xe167-facts.md 1b). 01h when
; no such T' comes within 1.5 % of the new rate; else 53h at the current
; rate, the new divider once it has gone, and the sync 55h echoed at the new
; rate. Anything else, or nothing within SYNC_LOOPS, puts the old one back.
do_fast:
        CALLA   cc_UC, getword
        MOV     R12, R4                 ; R13:R12 the new rate
        CALLA   cc_UC, getword
        MOV     R13, R4
        CALLA   cc_UC, getword
        MOV     R14, R4                 ; R15:R14 the current one
        CALLA   cc_UC, getword
        MOV     R15, R4
fscale: CMP     R13, #0                 ; both halved until the new one fits 16 bits
        JMPR    cc_EQ, fsmall
        SHR     R12, #1
        MOV     R0, R13
        SHL     R0, #15
        OR      R12, R0
        SHR     R13, #1
        SHR     R14, #1
        MOV     R0, R15
        SHL     R0, #15
        OR      R14, R0
        SHR     R15, #1
        JMPR    cc_UC, fscale
fsmall: CMP     R15, #0
        JMPR    cc_NE, frefuse
        CMP     R12, #0
        JMPR    cc_EQ, frefuse
        MOV     R2, U0_BRGL
        MOV     R6, R2
        AND     R6, #DCTQ_FIELD
        SHR     R6, #10
        ADD     R6, #1
        MOV     R3, U0_BRGH
        AND     R3, #PDIV_MASK
        ADD     R3, #1
        MULU    R6, R3                  ; T, at most 32 x 1024
        MOV     R6, MDL
        MULU    R6, R14                 ; R3:R2 = T x current
        MOV     R2, MDL
        MOV     R3, MDH
        MOV     R4, R2                  ; R5:R4 = that + new / 2, for rounding
        MOV     R5, R3
        MOV     R0, R12
        SHR     R0, #1
        ADD     R4, R0
        ADDC    R5, #0
        CMP     R5, R12                 ; T' must fit 16 bits
        JMPR    cc_UGE, frefuse
        MOV     MDL, R4
        MOV     MDH, R5
        DIVLU   R12
        MOV     R7, MDL                 ; T'
        MULU    R7, R12                 ; how far T' x new is from T x current
        MOV     R4, MDL
        MOV     R5, MDH
        SUB     R4, R2
        SUBC    R5, R3
        JMPR    cc_NC, fdiff
        CPL     R4                      ; negative: take its magnitude
        CPL     R5
        ADD     R4, #1
        ADDC    R5, #0
fdiff:  CMP     R5, #0
        JMPR    cc_NE, frefuse
        MOV     R0, #67                 ; within 1.5 %: 67 x the distance <= T x current
        MULU    R4, R0
        MOV     R4, MDL
        MOV     R5, MDH
        CMP     R5, R3
        JMPR    cc_UGT, frefuse
        JMPR    cc_ULT, fclose
        CMP     R4, R2
        JMPR    cc_UGT, frefuse
fclose: MOV     R6, #32                 ; the most quanta that divide T'
ffact:  MOV     MDL, R7
        DIVU    R6
        MOV     R0, MDH
        CMP     R0, #0
        JMPR    cc_NE, fnext
        MOV     R5, MDL                 ; PDIV' + 1
        CMP     R5, #PDIV_MASK + 1
        JMPR    cc_ULE, ffound
fnext:  SUB     R6, #1
        CMP     R6, #8
        JMPR    cc_UGE, ffact
frefuse:
        MOVB    RL1, #0x01
        JMPA    cc_UC, answer
ffound: MOV     R12, U0_BRGL            ; R12..R14: the old set-up
        MOV     R13, U0_BRGH
        MOV     R14, U0_PCRL
        MOV     R0, R6
        SUB     R0, #1
        SHL     R0, #10
        MOV     R2, R12
        AND     R2, #~DCTQ_FIELD
        OR      R2, R0                  ; the new BRGL
        MOV     R0, R5
        SUB     R0, #1
        MOV     R3, R13
        AND     R3, #~PDIV_MASK
        OR      R3, R0                  ; the new BRGH
        MOV     R0, R6
        SHR     R0, #1
        SUB     R0, #1
        SHL     R0, #8
        MOV     R4, R14
        AND     R4, #~SP_FIELD
        OR      R4, R0                  ; the new PCRL
        MOV     R0, #TFF_BIT
        MOV     U0_PSCR, R0
        MOVB    RL1, #0x53
        CALLA   cc_UC, putc
fgone:  MOV     R0, U0_PSR              ; its stop bit gone: the new divider
        AND     R0, #TFF_BIT
        JMPR    cc_Z, fgone
        MOV     U0_BRGL, R2
        MOV     U0_BRGH, R3
        MOV     U0_PCRL, R4
        MOV     R0, #RIF_BIT
        MOV     U0_PSCR, R0
        MOV     R2, #SYNC_LOOPS & 0xFFFF
        MOV     R3, #SYNC_LOOPS >> 16
fwait:  MOV     R0, U0_PSR              ; the 18-state poll of SYNC_LOOPS
        AND     R0, #RIF_BIT
        JMPR    cc_NZ, fgot
        SUB     R2, #1
        SUBC    R3, #0
        JMPR    cc_NC, fwait
        JMPR    cc_UC, fback
fgot:   CALLA   cc_UC, rxtake
        CMPB    RL1, #0x55
        JMPR    cc_NE, fback
        JMPA    cc_UC, answer           ; the echo, at the new rate
fback:  MOV     U0_BRGL, R12
        MOV     U0_BRGH, R13
        MOV     U0_PCRL, R14
        JMPA    cc_UC, command

        ASSERT  $ <= MEM_END
        DS      MEM_END - $
