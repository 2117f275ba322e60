#ifndef XCONV_BLOCK_H
#define XCONV_BLOCK_H

/* 64-byte blocks of input as bit masks, with SSE2, and the copy of the output ahead of the stores
 * (internal to xconv, used by the block-wise converters of xconv_wide.h). */

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

/* Bytes of input per block, and input that must remain readable past a block's start: a
 * character starting in the last byte of a block is read with a 4-byte load. */
enum { XCONV_BLOCK = 64, XCONV_BLOCK_READ = XCONV_BLOCK + 4 };

struct xconv_block {
    __m128i v[4];
};

static inline struct xconv_block xconv_load_block(const unsigned char* p) {
    struct xconv_block b;
    for (int k = 0; k < 4; ++k) {
        b.v[k] = _mm_loadu_si128((const __m128i*)(p + 16 * k));
    }
    return b;
}

static inline uint64_t xconv_mask4(__m128i a, __m128i b, __m128i c, __m128i d) {
    return (uint64_t)(uint16_t)_mm_movemask_epi8(a) |
           (uint64_t)(uint16_t)_mm_movemask_epi8(b) << 16 |
           (uint64_t)(uint16_t)_mm_movemask_epi8(c) << 32 |
           (uint64_t)(uint16_t)_mm_movemask_epi8(d) << 48;
}

/* Bit k set when byte k has its high bit set. */
static inline uint64_t xconv_high_bytes(const struct xconv_block* b) {
    return xconv_mask4(b->v[0], b->v[1], b->v[2], b->v[3]);
}

/* Bit k set when byte k, masked with bits, equals value. */
static inline uint64_t xconv_bytes_where(const struct xconv_block* b, unsigned char bits,
                                         unsigned char value) {
    const __m128i m = _mm_set1_epi8((char)bits);
    const __m128i x = _mm_set1_epi8((char)value);
    __m128i r[4];
    for (int k = 0; k < 4; ++k) {
        r[k] = _mm_cmpeq_epi8(_mm_and_si128(b->v[k], m), x);
    }
    return xconv_mask4(r[0], r[1], r[2], r[3]);
}

static inline void xconv_store_block(char* out, const struct xconv_block* b) {
    for (int k = 0; k < 4; ++k) {
        _mm_storeu_si128((__m128i*)(out + 16 * k), b->v[k]);
    }
}

/* Bits below bit n (n from 0 to 64). */
static inline uint64_t xconv_bits_below(unsigned n) {
    return n >= 64 ? ~0ull : (1ull << n) - 1;
}

/* Copies size bytes (a multiple of 16) from src to dst, 16 at a time. */
static inline void xconv_copy16s(void* dst, const void* src, size_t size) {
    for (size_t k = 0; k < size; k += 16) {
        _mm_storeu_si128((__m128i*)((char*)dst + k),
                         _mm_loadu_si128((const __m128i*)((const char*)src + k)));
    }
}

/* Original bytes of the output at and after the converted part. A block stores each character's
 * longest form, so its last store may reach a few bytes past its output: the next block's first
 * store covers them again, and when the walk stops they are put back from this copy. The copy is
 * taken ahead of the stores, a window at a time, rather than before each block: reading bytes
 * just stored would wait for those stores to finish. */
enum { XCONV_WINDOW = 1024, XCONV_PAST = 4 };

struct xconv_window {
    unsigned char saved[XCONV_WINDOW]; /* the output's original bytes from base on */
    size_t base;
};

/* Starts the window at out[o]; the room must hold XCONV_WINDOW bytes from there. */
static inline void xconv_window_open(struct xconv_window* w, const char* out, size_t o) {
    xconv_copy16s(w->saved, out + o, XCONV_WINDOW);
    w->base = o;
}

/* Makes sure the window covers out[o] to out[o + reach), reach at most XCONV_WINDOW - XCONV_PAST,
 * moving it to start at o when it does not; 0 when the room cannot hold the moved window. */
static inline int xconv_window_cover(struct xconv_window* w, const char* out, size_t o, size_t cap,
                                     size_t reach) {
    if (o + reach <= w->base + XCONV_WINDOW) {
        return 1;
    }
    if (cap - o < XCONV_WINDOW) {
        return 0;
    }
    unsigned char past[XCONV_PAST]; /* what the last store overwrote, from the old window */
    memcpy(past, w->saved + (o - w->base), XCONV_PAST);
    xconv_window_open(w, out, o);
    memcpy(w->saved, past, XCONV_PAST);
    return 1;
}

/* Puts back the original bytes the last block stored past its output at out[o]. */
static inline void xconv_window_restore(const struct xconv_window* w, char* out, size_t o) {
    memcpy(out + o, w->saved + (o - w->base), XCONV_PAST);
}

#endif
