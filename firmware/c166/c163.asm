; Loader for the C163 target: 702 bytes through the ROM bootstrap loader,
; external flash as in board.inc. The host frames the run with the control
; bytes 0x14 and 0x04; on this board they switch P2.8, which gates the flash's
; write enable (high: writes reach the chip), so that a stray program cannot
; write the flash outside a run.
IMAGE_SIZE  EQU 702
WRITE_GATE  EQU 1
        INCLUDE "protocol.inc"
