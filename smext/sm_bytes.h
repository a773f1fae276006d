// Big-endian conversions between bytes and 32-bit words, shared by the SM cores.
#ifndef SMEXT_SM_BYTES_H
#define SMEXT_SM_BYTES_H

#include <stdint.h>

static inline uint32_t LoadBe32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

static inline void StoreBe32(unsigned char *p, uint32_t v) {
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

#endif
