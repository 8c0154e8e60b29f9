"""Register and bit names the C166 assembler knows (C167 level).

Addresses from the C167CR Derivatives User's Manual V3.1 (Infineon, 2000),
register overview in chapter 23 "Register Set" and the module chapters named
below; the C163 has the same addresses for everything listed here (C165/C163
User's Manual 10.96, chapter "Register Set").
"""

SFRS = {
    # CPU (chapter 4 "The Central Processing Unit")
    'DPP0': 0xFE00, 'DPP1': 0xFE02, 'DPP2': 0xFE04, 'DPP3': 0xFE06,
    'CSP': 0xFE08, 'MDH': 0xFE0C, 'MDL': 0xFE0E, 'CP': 0xFE10, 'SP': 0xFE12,
    'STKOV': 0xFE14, 'STKUN': 0xFE16, 'MDC': 0xFF0E, 'PSW': 0xFF10,
    'ZEROS': 0xFF1C, 'ONES': 0xFF1E,
    # External bus controller (chapter 9)
    'SYSCON': 0xFF12, 'BUSCON0': 0xFF0C, 'BUSCON1': 0xFF14, 'BUSCON2': 0xFF16,
    'BUSCON3': 0xFF18, 'BUSCON4': 0xFF1A, 'ADDRSEL1': 0xFE18, 'ADDRSEL2': 0xFE1A,
    'ADDRSEL3': 0xFE1C, 'ADDRSEL4': 0xFE1E,
    # Parallel ports (chapter 7)
    'P0L': 0xFF00, 'P0H': 0xFF02, 'P1L': 0xFF04, 'P1H': 0xFF06,
    'P2': 0xFFC0, 'DP2': 0xFFC2, 'P3': 0xFFC4, 'DP3': 0xFFC6, 'P4': 0xFFC8, 'DP4': 0xFFCA,
    'ODP2': 0xF1C2, 'ODP3': 0xF1C6,
    # Asynchronous/synchronous serial interface ASC0 (chapter 11)
    'S0TBUF': 0xFEB0, 'S0RBUF': 0xFEB2, 'S0BG': 0xFEB4, 'S0CON': 0xFFB0,
    'S0TIC': 0xFF6C, 'S0RIC': 0xFF6E, 'S0EIC': 0xFF70, 'S0TBIC': 0xF19C,
    # Watchdog timer (chapter 14)
    'WDTCON': 0xFFAE,
}

# name: (word address, bit number)
BITS = {
    # interrupt control registers: IR is bit 7, IE bit 6 (chapter 5 "Interrupt and Trap Functions")
    'S0TIR': (0xFF6C, 7), 'S0TIE': (0xFF6C, 6), 'S0RIR': (0xFF6E, 7), 'S0RIE': (0xFF6E, 6),
    'S0EIR': (0xFF70, 7), 'S0TBIR': (0xF19C, 7),
    # S0CON (chapter 11): M 2..0, STP 3, REN 4, PEN 5, FEN 6, OEN 7, PE 8, FE 9, OE 10,
    # ODD 12, BRS 13, LB 14, R 15
    'S0STP': (0xFFB0, 3), 'S0REN': (0xFFB0, 4), 'S0PE': (0xFFB0, 8), 'S0FE': (0xFFB0, 9),
    'S0OE': (0xFFB0, 10), 'S0R': (0xFFB0, 15),
    # PSW (chapter 4): N 0, C 1, V 2, Z 3, E 4, MULIP 5, USR0 6, IEN 11
    'N': (0xFF10, 0), 'C': (0xFF10, 1), 'V': (0xFF10, 2), 'Z': (0xFF10, 3), 'E': (0xFF10, 4),
    'MULIP': (0xFF10, 5), 'IEN': (0xFF10, 11),
}
