; Loader for the XC164/167 target: 1854 bytes through the ROM bootstrap
; loader, the on-chip program flash as in xc16x.inc. The wire protocol is the
; C166 family's (protocol.inc) plus a 0x00 after every 128-byte block and the
; line switch from 19200 to 57600 baud after the first 0x00.
;
; Layout: the ROM loader stores the first 32 bytes from 0E0'0004h in the
; PSRAM and runs them there; they pull the rest of the image (to 0E0'0741h,
; the offset the length word names) and fall into it. Code runs in segment
; 0E0h: JMPA/CALLA stay in it, data addresses go through DPP3 (reset value 3,
; 00'C000h..00'FFFFh) or EXTS.
;
; Registers: R1 the byte in and out (RL1), R0/R2/R3/R5 scratch, R4 the data
; word, R6 the buffer pointer, R7 bytes in the buffer, R8:R9 the CRC-32,
; R10:R11 the size, R12:R13 the flash offset and segment of the block being
; received, R14:R15 the bytes still to come.

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
        ; Our own register bank, stack and page buffers in the DPRAM; the stack
        ; limits guard it (C167CR UM ch.4 "The System Stack", unchanged in the
        ; C166S V2 core).
        MOV     DPP3, #3
        MOV     CP, #REGBANK
        NOP                             ; the new bank is used from the next-but-one instruction
        MOV     STKUN, #STACK_TOP
        MOV     STKOV, #STACK_LIMIT
        MOV     SP, #STACK_TOP
        MOV     R0, #0
        MOV     JOB, R0
        MOV     R10, #0
        MOV     R11, #0
        MOV     R8, #0xFFFF
        MOV     R9, #0xFFFF
        MOVB    RL1, #0                 ; the loader runs: still at the ROM loader's rate
        CALLA   cc_UC, putc
        ; The host switches to 57600 once it has this byte and sends the next
        ; command at once: the new rate is set as soon as the byte has left.
        MOV     S0BG, #S0BG_57600

command:
        CALLA   cc_UC, getc
        CMPB    RL1, #0x62
        JMPA    cc_EQ, do_erase
        CMPB    RL1, #0x22
        JMPA    cc_EQ, do_size
        CMPB    RL1, #0x42
        JMPA    cc_EQ, do_data
        CMPB    RL1, #0x43
        JMPA    cc_EQ, do_check
        CMPB    RL1, #0x06
        JMPA    cc_EQ, do_name
        CMPB    RL1, #0x01
        JMPA    cc_EQ, do_finish
        JMPR    cc_UC, command          ; anything else is ignored

; ---- 0x62: erase ---------------------------------------------------------------------
; The erase command comes before the size, so nothing is erased here: each
; sector is erased when the first page of the image that falls into it is
; about to be programmed (see job_start). The answer comes at once.
do_erase:
        MOVB    RL1, #0x00
answer: CALLA   cc_UC, putc
        JMPA    cc_UC, command

; ---- 0x22: the byte count, 4 bytes LSB first ---------------------------------------
do_size:
        CALLA   cc_UC, getword
        MOV     R10, R4
        CALLA   cc_UC, getword
        MOV     R11, R4
        CMP     R11, #FLASH_SIZE >> 16
        JMPR    cc_ULT, sizeok
        JMPR    cc_UGT, sizebad
        CMP     R10, #FLASH_SIZE & 0xFFFF
        JMPR    cc_ULE, sizeok
sizebad:
        MOV     R10, #0
        MOV     R11, #0
        MOVB    RL1, #0x01              ; refused: the host shows it as an error
        JMPR    cc_UC, answer
sizeok: MOVB    RL1, #0x00
        JMPR    cc_UC, answer

; ---- 0x42: the data -------------------------------------------------------------------
; Two page buffers: while one page is erased/programmed and verified in the
; background, the next 128 bytes come into the other. A block is acknowledged
; once it is queued for the flash; a page that fails its read-back sends the
; report at once (during the next block, or where the last answer was due).
do_data:
        MOV     R8, #0xFFFF
        MOV     R9, #0xFFFF
        MOV     R12, #0
        MOV     R13, #FLASH_SEG
        ; The CRC follows the read-back flash while the loader waits for
        ; bytes and the flash is idle (getc); the rest at the content check.
        MOV     R0, #0
        MOV     CRCOWE, R0
        MOV     CRCLO, R0
        MOV     R0, #FLASH_SEG
        MOV     CRCSEG, R0
        MOV     R0, R10
        ADD     R0, #1
        MOV     R2, R11
        ADDC    R2, #FLASH_SEG
        AND     R0, #0xFFFE             ; an odd size ends with the pad byte
        MOV     CRCENDLO, R0
        MOV     CRCENDSEG, R2
        MOV     R14, R10
        MOV     R15, R11
        MOV     R6, #BUF0
        MOV     R7, #0
        MOV     R0, R14
        OR      R0, R15
        JMPR    cc_NZ, dloop
        MOVB    RL1, #0x00              ; nothing to write: the last-block answer
        CALLA   cc_UC, putc
        JMPR    cc_UC, ddone
dloop:  CALLA   cc_UC, getword
        MOV     [R6], R4
        ADD     R6, #2
        ADD     R7, #2
        SUB     R14, #2
        SUBC    R15, #0
        JMPR    cc_NC, dnotneg
        MOV     R14, #0                 ; an odd count ended inside this word
        MOV     R15, #0
dnotneg:
        CMP     R7, #PAGE_SIZE
        JMPR    cc_EQ, dblock
        MOV     R0, R14
        OR      R0, R15
        JMPR    cc_NZ, dloop
        ; The last, short block: the rest of the page stays erased.
        MOV     R0, #0xFFFF
dfill:  MOV     [R6], R0
        ADD     R6, #2
        ADD     R7, #2
        CMP     R7, #PAGE_SIZE
        JMPR    cc_NE, dfill
dblock: SUB     R6, #PAGE_SIZE          ; back to the buffer's start
        CALLA   cc_UC, job_wait         ; the other buffer's page is done
        CALLA   cc_UC, job_start
        MOVB    RL1, #0x00              ; block queued: the host may send the next one
        CALLA   cc_UC, putc
        ADD     R12, #PAGE_SIZE
        ADDC    R13, #0
        XOR     R6, #BUF0 ^ BUF1        ; the other buffer
        MOV     R7, #0
        MOV     R0, R14
        OR      R0, R15
        JMPR    cc_NZ, dloop
ddone:  CALLA   cc_UC, job_wait
        MOVB    RL1, #0x00              ; everything written and read back
        JMPA    cc_UC, answer

; A word that does not read back: the 9-byte report (offset, expected word,
; word read back, code 2), then the loader takes no more commands.
; R2 the word's flash address (low), R5 its segment, R4 expected, R3 read.
verr:   MOV     R0, R2
        CALLA   cc_UC, putw
        MOV     R0, R5
        SUB     R0, #FLASH_SEG
        CALLA   cc_UC, putw
        MOV     R0, R4
        CALLA   cc_UC, putw
        MOV     R0, R3
        CALLA   cc_UC, putw
        MOVB    RL1, #0x02
        CALLA   cc_UC, putc
sink:   JNB     S0RIR, sink
        BCLR    S0RIR
        JMPR    cc_UC, sink

; ---- 0x43: the content check: 0x43, then the CRC-32 LSB first -------------------------
do_check:
        CALLA   cc_UC, job_wait
ckloop: MOV     R0, CRCOWE
        JMPR    cc_Z, ckdone
        CALLA   cc_UC, crcstep
        JMPR    cc_UC, ckloop
ckdone: MOVB    RL1, #0x43
        CALLA   cc_UC, putc
        MOV     R0, R8
        CPL     R0
        CALLA   cc_UC, putw
        MOV     R0, R9
        CPL     R0
        CALLA   cc_UC, putw
        JMPA    cc_UC, command

; ---- 0x06: a name of 8 bytes, answered 0x00 ------------------------------------------
do_name:
        MOV     R2, #8
nloop:  CALLA   cc_UC, getc
        CMPD1   R2, #1
        JMPR    cc_NE, nloop
        MOVB    RL1, #0x00
        JMPA    cc_UC, answer

; ---- 0x01: finish: nothing is left running, no answer ----------------------------------
do_finish:
        CALLA   cc_UC, job_wait
        JMPA    cc_UC, command

; ---- the flash job: one page, erased first when it opens a sector ---------------------
; JOB 0 idle, 1 erasing the sector, 2 programming the page. JOBLO/JOBSEG the
; page's address, JOBBUF its buffer.

; job_start: queues the page in R6's buffer for R13:R12.
job_start:
        MOV     JOBLO, R12
        MOV     JOBSEG, R13
        MOV     JOBBUF, R6
        MOV     R0, R12
        AND     R0, #SECTOR_SIZE - 1
        JMPR    cc_NZ, jprog
        ; Erase Sector: three cycles, the last at the sector address.
        MOV     R0, #FCMD_ERASE1
        MOV     R5, #FCMD_ERASE2
        EXTS    #FLASH_SEG, #2
        MOV     FADDR_CMD1, R0
        MOV     FADDR_ERASE2, R5
        MOV     R0, #FCMD_ERASE3
        EXTS    R13, #1
        MOV     [R12], R0
        MOV     R0, #1
        MOV     JOB, R0
        RET
jprog:  ; Enter Page Mode (two cycles, the second at the page address),
        ; Load Page Buffer 64 times, Write Page (two cycles).
        MOV     R2, JOBLO
        MOV     R5, JOBSEG
        MOV     R0, #FCMD_PAGE1
        MOV     R3, #FCMD_PAGE2
        EXTS    #FLASH_SEG, #1
        MOV     FADDR_CMD1, R0
        EXTS    R5, #1
        MOV     [R2], R3
        MOV     R2, JOBBUF
        MOV     R3, #PAGE_SIZE / 2
jload:  MOV     R0, [R2+]
        EXTS    #FLASH_SEG, #1
        MOV     FADDR_LOAD, R0
        CMPD1   R3, #1
        JMPR    cc_NE, jload
        MOV     R0, #FCMD_WRITE1
        MOV     R3, #FCMD_WRITE2
        EXTS    #FLASH_SEG, #2
        MOV     FADDR_CMD1, R0
        MOV     FADDR_WRITE2, R3
        MOV     R0, #2
        MOV     JOB, R0
        RET

; job_step: moves the job on when the flash is no longer busy. Keeps every
; register but R0.
job_step:
        MOV     R0, JOB
        JMPR    cc_NZ, jsbusy
        RET
jsbusy: EXTS    #FSR_SEG, #1
        MOV     R0, FSR_BUSY
        JNB     R0.FSR_BUSY_BIT, jsdone
        RET                             ; still busy
jsdone: PUSH    R2
        PUSH    R3
        PUSH    R4
        PUSH    R5
        EXTS    #FSR_SEG, #1
        MOV     R3, FSR_OP
        MOV     R0, #FCMD_CLEAR         ; Clear Status for the next operation
        EXTS    #FLASH_SEG, #1
        MOV     FADDR_CMD1, R0
        AND     R3, #FSR_OP_FAIL
        JMPR    cc_NZ, jfail
        MOV     R0, JOB
        CMP     R0, #1
        JMPR    cc_NE, jverify
        CALLA   cc_UC, jprog            ; sector erased: now the page
        JMPR    cc_UC, jspop
jverify:
        ; Read the page back against its buffer.
        MOV     R2, JOBLO
        MOV     R5, JOBSEG
        MOV     R0, JOBBUF
        MOV     R3, #PAGE_SIZE / 2
        MOV     JOBCNT, R3
jvloop: MOV     R4, [R0+]
        EXTS    R5, #1
        MOV     R3, [R2]
        CMP     R3, R4
        JMPA    cc_NE, verr
        ADD     R2, #2
        MOV     R3, JOBCNT
        SUB     R3, #1
        MOV     JOBCNT, R3
        JMPR    cc_NZ, jvloop
        MOV     R0, CRCOWE
        ADD     R0, #PAGE_SIZE / 2
        MOV     CRCOWE, R0
        MOV     R0, #0
        MOV     JOB, R0
jspop:  POP     R5
        POP     R4
        POP     R3
        POP     R2
        RET
jfail:  ; The flash refused or failed the operation: report the page's first
        ; word as it reads now.
        MOV     R0, #FCMD_RESET
        EXTS    #FLASH_SEG, #1
        MOV     FADDR_CMD1, R0
        MOV     R2, JOBLO
        MOV     R5, JOBSEG
        MOV     R0, JOBBUF
        MOV     R4, [R0]
        EXTS    R5, #1
        MOV     R3, [R2]
        JMPA    cc_UC, verr

; job_wait: until the job is done.
job_wait:
        CALLA   cc_UC, job_step
        MOV     R0, JOB
        JMPR    cc_NZ, job_wait
        RET

; ---- subroutines ----------------------------------------------------------------------

; getc: the next byte into R1, the flash job moving on meanwhile (ASC0
; receive flag S0RIR, as on the C167).
getc:   JB      S0RIR, gotc
        CALLA   cc_UC, job_step
        MOV     R0, JOB
        JMPR    cc_NZ, getc             ; a busy flash is not read
        MOV     R0, CRCOWE
        JMPR    cc_Z, getc
        PUSH    R2
        PUSH    R3
        PUSH    R4
        PUSH    R5
        CALLA   cc_UC, crcstep
        POP     R5
        POP     R4
        POP     R3
        POP     R2
        JMPR    cc_UC, getc
gotc:   BCLR    S0RIR
        MOVBZ   R1, S0RBUF
        RET

; getword: two bytes, LSB first, into R4.
getword:
        CALLA   cc_UC, getc
        MOV     R4, R1
        CALLA   cc_UC, getc
        SHL     R1, #8
        OR      R4, R1
        RET

; crcstep: the next word that read back good into the CRC, read from the
; flash once more, so that a fault between the line and the flash shows in
; the content check. At the data's end nothing more is owed. R0..R5 are
; lost; the flash must be idle.
crcstep:
        MOV     R0, CRCOWE
        JMPR    cc_Z, csret
        MOV     R2, CRCLO
        MOV     R5, CRCSEG
        CMP     R2, CRCENDLO
        JMPR    cc_NE, csword
        CMP     R5, CRCENDSEG
        JMPR    cc_NE, csword
        MOV     R0, #0
        MOV     CRCOWE, R0
csret:  RET
csword: SUB     R0, #1
        MOV     CRCOWE, R0
        EXTS    R5, #1
        MOV     R4, [R2]
        ADD     R2, #2
        ADDC    R5, #0
        MOV     CRCLO, R2
        MOV     CRCSEG, R5
        MOV     R1, R4
        AND     R1, #0x00FF
        CALLA   cc_UC, crc
        MOV     R1, R4
        SHR     R1, #8
        JMPR    cc_UC, crc

; putc: RL1 out; returns once it has left (S0TIR).
putc:   BCLR    S0TIR
        MOVB    S0TBUF, RL1
pwait:  JNB     S0TIR, pwait
        RET

; putw: R0 out, LSB first.
putw:   MOVB    RL1, RL0
        CALLA   cc_UC, putc
        MOVB    RL1, RH0
        JMPR    cc_UC, putc

; crc: R8:R9 := CRC-32 (reflected 0EDB88320h) over the byte in RL1.
crc:    XOR     R8, R1
        MOV     R2, #8
crcbit: MOV     R3, R8
        SHR     R8, #1
        BMOV    R8.15, R9.0
        SHR     R9, #1
        JNB     R3.0, crcnx
        XOR     R8, #0x8320
        XOR     R9, #0xEDB8
crcnx:  CMPD1   R2, #1
        JMPR    cc_NE, crcbit
        RET

        ASSERT  $ <= IMAGE_START + IMAGE_SIZE
