/* A small 8051 program for the firmware-file tests, for the C509 board, whose
   flash is the code memory from 0000H: code, a constant table placed past a
   gap, and a variable. */
__code __at(0x0400) const unsigned char kTable[16] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80,
                                                      0xDE, 0xAD, 0xBE, 0xEF, 0xCA, 0xFE, 0xF0, 0x0D};
unsigned char counter;

void main(void) {
    for (;;) counter = (unsigned char)(counter * 5u + kTable[counter & 15u]);
}
