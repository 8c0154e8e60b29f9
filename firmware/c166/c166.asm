; Loader for the C166/167 target: 810 bytes through the ROM bootstrap loader,
; external flash as in board.inc; no write-enable gate.
IMAGE_SIZE  EQU 810
WRITE_GATE  EQU 0
        INCLUDE "protocol.inc"
