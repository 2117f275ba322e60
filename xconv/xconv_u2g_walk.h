#ifndef XCONV_U2G_WALK_H
#define XCONV_U2G_WALK_H

/* The block walk of UTF-8 to GBK (internal to xconv, see xconv_wide.h), compiled once per
 * instruction set: each source including this header gives one entry point. With BMI2 the value
 * of a three-byte sequence takes one bit gather instead of six shifts and masks. */

#include <stdint.h>

#include "xconv/xconv_block.h"
#if defined(__BMI2__)
#include <immintrin.h>
#endif

/* A block of 64 bytes becomes at most 64 bytes; the store of the last character reaches 1 past. */
enum { U2G_REACH = 64 + 1 };

/* GBK form of every value of a three-byte sequence from U+1000 on: the bytes in memory order (a
 * single byte for the two values written as one), 0 for a value without a code. Below U+0080 the
 * ASCII bytes themselves: the walk looks up an ASCII character by its byte, and leaves lead byte
 * E0 (values below U+1000) to the general step. Built by xconv_u2g_wide before any walk. */
extern uint16_t xconv_u2g_forms[1 << 16];

/* The walk over blocks, for the instruction set the CPU has; same contract as xconv_u2g_wide
 * without its first checks. */
int xconv_u2g_walk_sse2(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                        size_t* o);
int xconv_u2g_walk_bmi2(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                        size_t* o);

/* Value of the three-byte sequence whose bytes start x (in memory order). */
static inline uint32_t u2g_value(uint32_t x) {
#if defined(__BMI2__)
    return _pext_u32(__builtin_bswap32(x), 0x0F3F3F00u);
#else
    return (x & 0x0F) << 12 | (x >> 2 & 0xFC0) | (x >> 16 & 0x3F);
#endif
}

/* Form of the character whose bytes start x (in memory order): ASCII or three bytes. */
static inline uint32_t char_form(uint32_t x) {
    const uint32_t value = u2g_value(x);
    /* All ones after a lead byte, zeros for ASCII: a select without a branch. */
    const uint32_t multi = (uint32_t)((int32_t)(int8_t)x >> 7);
    return xconv_u2g_forms[(value & multi) | (x & 0x7F & ~multi)];
}

/* Converts the whole characters of the block at p that come before its first byte the walk does
 * not take and before its first character without a code, into out; returns the input bytes
 * used (0 when none) and adds the output to *n. */
static inline unsigned u2g_convert_block(const unsigned char* p, char* out, size_t* n) {
    const struct xconv_block b = xconv_load_block(p);
    const uint64_t high = xconv_high_bytes(&b);
    const uint64_t zero = xconv_bytes_where(&b, 0xFF, 0x00);
    if ((high | zero) == 0) {
        xconv_store_block(out, &b);
        *n = XCONV_BLOCK;
        return XCONV_BLOCK;
    }
    const uint64_t cont = xconv_bytes_where(&b, 0xC0, 0x80);
    const uint64_t lead = xconv_bytes_where(&b, 0xF0, 0xE0);
    /* A zero byte, lead byte E0, a lead byte of another length, a continuation byte missing or out
     * of place. */
    const uint64_t stop = zero | xconv_bytes_where(&b, 0xFF, 0xE0) | (high & ~cont & ~lead) |
                          (cont ^ (lead << 1 | lead << 2));
    unsigned end = stop != 0 ? (unsigned)__builtin_ctzll(stop) : XCONV_BLOCK;
    uint64_t starts = (~high | lead) & xconv_bits_below(end);
    /* A sequence cut by the end waits for the next block. */
    const uint64_t cut = lead & ~xconv_bits_below(end >= 2 ? end - 2 : 0) & xconv_bits_below(end);
    if (cut != 0) {
        end = (unsigned)__builtin_ctzll(cut);
        starts &= xconv_bits_below(end);
    }
    if (end == 0) {
        return 0;
    }
    size_t o = 0;
    while (starts != 0) {
        const unsigned k = (unsigned)__builtin_ctzll(starts);
        uint32_t x;
        memcpy(&x, p + k, sizeof x);
        const uint32_t form = char_form(x);
        if (form == 0) {
            end = k; /* no code: the general step replaces it */
            break;
        }
        starts &= starts - 1;
        const uint16_t form16 = (uint16_t)form;
        memcpy(out + o, &form16, sizeof form16);
        o += 1 + ((form + 0xFF00) >> 16); /* 2 for a two-byte code, without a branch */
    }
    *n = o;
    return end;
}

static inline int u2g_walk(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                           size_t* o) {
    size_t ii = *i;
    size_t oo = *o;
    struct xconv_window w;
    xconv_window_open(&w, out, oo);
    while (len - ii >= XCONV_BLOCK_READ && xconv_window_cover(&w, out, oo, cap, U2G_REACH)) {
        size_t n = 0;
        const unsigned used = u2g_convert_block(in + ii, out + oo, &n);
        ii += used;
        oo += n;
        if (used == 0) {
            break;
        }
    }
    xconv_window_restore(&w, out, oo);
    const int converted = oo != *o;
    *i = ii;
    *o = oo;
    return converted;
}

#endif
