/* SAM3U and SAM3S share the UART and the Enhanced Embedded Flash Controller.
 * Register layout: SAM3X/A datasheet (Atmel-11057C, sibling with the same
 * EEFC and UART) chapter 18 "EEFC" and 34 "UART"; addresses from the device
 * headers sam3u4e.h / sam3s4c.h (ASF). The SAM3U and SAM3S datasheets were
 * not available; see docs/loaders.md. */
#ifndef QTX_CORTEXM_SAM3_H
#define QTX_CORTEXM_SAM3_H

#include <stdint.h>

/* sam3u4e.h "UART" and sam3s4c.h "UART0": both at 0x400E0600. */
#define SAM3_UART 0x400E0600u

/* One flash plane and the EEFC that programs it. */
struct sam3_plane {
    uint32_t base;   /* address of the plane */
    uint32_t size;   /* bytes */
    uint32_t efc;    /* its EEFC */
};

/* The host's first 0x20000 data bytes go to bank1 + 0, the rest to bank2. */
struct sam3_layout {
    uint32_t bank1;
    uint32_t bank2;
    uint32_t capacity;                /* data bytes a size may announce */
    const struct sam3_plane *planes;
    uint32_t nplanes;
};

extern const struct sam3_layout sam3_layout;

#endif
