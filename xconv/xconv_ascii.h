#ifndef XCONV_ASCII_H
#define XCONV_ASCII_H

/* Bulk copy of plain ASCII shared by the converters (internal to xconv). */

#include <stddef.h>
#include <stdint.h>
#include <string.h>

/* Nonzero when all eight bytes at p lie in 01-7F: no high bit set, and no zero byte (a zero
 * byte borrows in the subtraction and sets its own high bit). */
static inline int xconv_ascii8(const unsigned char* p) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
    return ((w | (w - 0x0101010101010101ull)) & 0x8080808080808080ull) == 0;
}

/* Copies ASCII from in[*i] to out[*o] eight bytes at a time while eight more bytes of input
 * remain and fit in the room. Each such byte would be copied unchanged one by one anyway; the
 * byte-wise loop of the caller handles the rest, including zero bytes and the last few bytes. */
static inline void xconv_copy_ascii_run(const unsigned char* in, size_t in_len, size_t* i,
                                        char* out, size_t cap, size_t* o) {
    while (in_len - *i >= 8 && cap - *o >= 8 && xconv_ascii8(in + *i)) {
        memcpy(out + *o, in + *i, 8);
        *i += 8;
        *o += 8;
    }
}

#endif
