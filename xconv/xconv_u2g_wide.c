#include <pthread.h>

#include "xconv_gbk_code.h"
#include "xconv_wide.h"

#ifdef __SSE2__

#include "xconv_block.h"

/* A block of 64 bytes becomes at most 64 bytes; the store of the last character reaches 1 past. */
enum { U2G_REACH = 64 + 1 };

/* GBK form of every value of a three-byte sequence: the bytes in memory order (a single byte for
 * the two values written as one), 0 for a value without a code. */
static uint16_t g_u2g_forms[1 << 16];
static pthread_once_t g_u2g_once = PTHREAD_ONCE_INIT;

static void build_u2g_forms(void) {
    for (unsigned value = 0; value < 1u << 16; ++value) {
        const unsigned char* code = xconv_gbk_code((unsigned short)value);
        uint16_t form = code == NULL ? 0 : (uint16_t)(code[0] | code[1] << 8);
        if (value == XCONV_VALUE_EURO) {
            form = 0x80;
        } else if (value == XCONV_VALUE_BYTE_FF) {
            form = 0xFF;
        }
        g_u2g_forms[value] = form;
    }
}

/* Form and length of the character whose bytes start x (in memory order): an ASCII byte, or the
 * table's form of a three-byte sequence, looked up at value 0 (no code) for ASCII so that its
 * load stays on one cache line. */
static inline uint32_t char_form(uint32_t x) {
    const uint32_t first = x & 0xFF;
    const uint32_t multi = (uint32_t) - (int32_t)(first >> 7); /* all ones unless ASCII */
    const uint32_t value = ((x & 0x0F) << 12 | (x >> 2 & 0xFC0) | (x >> 16 & 0x3F)) & multi;
    return g_u2g_forms[value] | (first & ~multi);
}

/* Converts the whole characters of the block at p that come before its first byte the walk does
 * not take and before its first character without a code, into out; returns the input bytes
 * used (0 when none) and adds the output to *n. */
static inline unsigned convert_block(const unsigned char* p, char* out, size_t* n) {
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
    /* A zero byte, a lead byte of another length, a continuation byte missing or out of place. */
    const uint64_t stop = zero | (high & ~cont & ~lead) | (cont ^ (lead << 1 | lead << 2));
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

int xconv_u2g_wide(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                   size_t* o) {
    size_t ii = *i;
    size_t oo = *o;
    if (len < xconv_wide_min_len || len - ii < XCONV_BLOCK_READ || cap - oo < XCONV_WINDOW) {
        return 0;
    }
    pthread_once(&g_u2g_once, build_u2g_forms);
    struct xconv_window w;
    xconv_window_open(&w, out, oo);
    while (len - ii >= XCONV_BLOCK_READ && xconv_window_cover(&w, out, oo, cap, U2G_REACH)) {
        size_t n = 0;
        const unsigned used = convert_block(in + ii, out + oo, &n);
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

#else

int xconv_u2g_wide(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                   size_t* o) {
    (void)in, (void)len, (void)i, (void)out, (void)cap, (void)o;
    return 0;
}

#endif
