#include <pthread.h>

#include "xconv/xconv_step.h"
#include "xconv/xconv_tables.h"
#include "xconv/xconv_wide.h"

#ifdef __SSE2__

#include "xconv/xconv_block.h"

/* A block of 64 bytes becomes at most 96 bytes; the store of the last character reaches 3 past. */
enum { G2U_REACH = 96 + 3 };

/* UTF-8 form of the character starting with the two bytes c, t at index c | t << 8: the bytes in
 * memory order, the length in the top byte; 0 where the block walk never looks. */
static uint32_t g_g2u_forms[1 << 16];
static pthread_once_t g_g2u_once = PTHREAD_ONCE_INIT;

static void build_g2u_forms(void) {
    for (unsigned x = 0; x < 1u << 16; ++x) {
        const unsigned c = x & 0xFF;
        const unsigned t = x >> 8;
        uint32_t form = 0;
        if (c >= 0x01 && c < 0x80) {
            form = c | 1u << 24;
        } else if (c >= 0x81 && c <= 0xFE && t >= 0x80 && t <= 0xFE) {
            unsigned char bytes[3] = {0, 0, 0};
            const unsigned short value = __map_gbk2utf16[(c << 8 | t) - XCONV_G2U_BASE];
            const unsigned n = (unsigned)xconv_step_utf16to8(value, (char*)bytes);
            form = value == 0 ? 0 : bytes[0] | bytes[1] << 8 | (uint32_t)bytes[2] << 16 | n << 24;
        }
        g_g2u_forms[x] = form;
    }
}

/* Bit k set when byte k leads a two-byte code: in every run of high bytes, those at an even
 * distance from the run's first byte. Adding a run's first bit to the mask carries through the
 * run, so (high + first) ^ high marks the runs of those first bits. */
static inline uint64_t lead_bytes(uint64_t high) {
    const uint64_t even = 0x5555555555555555ull;
    const uint64_t first = high & ~(high << 1);
    const uint64_t runs_even = ((high + (first & even)) ^ high) & high;
    const uint64_t runs_odd = ((high + (first & ~even)) ^ high) & high;
    return (runs_even & even) | (runs_odd & ~even);
}

/* Converts the whole characters of the block at p that come before its first byte the walk does
 * not take, into out; returns the input bytes used (0 when none) and adds the output to *n. */
static inline unsigned convert_block(const unsigned char* p, char* out, size_t* n) {
    const struct xconv_block b = xconv_load_block(p);
    const uint64_t high = xconv_high_bytes(&b);
    const uint64_t zero = xconv_bytes_where(&b, 0xFF, 0x00);
    if ((high | zero) == 0) {
        xconv_store_block(out, &b);
        *n = XCONV_BLOCK;
        return XCONV_BLOCK;
    }
    const uint64_t odd =
        zero | xconv_bytes_where(&b, 0xFF, 0x80) | xconv_bytes_where(&b, 0xFF, 0xFF);
    const uint64_t lead = lead_bytes(high);
    /* A zero byte, 80 or FF, or a lead byte followed by a byte below 80. */
    const uint64_t stop = odd | ((lead << 1) & ~high);
    unsigned end = stop != 0 ? (unsigned)__builtin_ctzll(stop) : XCONV_BLOCK;
    uint64_t starts = (~high | lead) & xconv_bits_below(end);
    if (end > 0 && (lead >> (end - 1) & 1)) {
        --end; /* its trail byte lies at the end */
        starts &= ~(1ull << end);
    }
    if (end == 0) {
        return 0;
    }
    size_t o = 0;
    while (starts != 0) {
        const unsigned k = (unsigned)__builtin_ctzll(starts);
        starts &= starts - 1;
        uint16_t x;
        memcpy(&x, p + k, sizeof x);
        const uint32_t form = g_g2u_forms[x];
        memcpy(out + o, &form, sizeof form);
        o += form >> 24;
    }
    *n = o;
    return end;
}

void xconv_g2u_wide(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                    size_t* o) {
    size_t ii = *i;
    size_t oo = *o;
    if (len < xconv_wide_min_len || len - ii < XCONV_BLOCK_READ || cap - oo < XCONV_WINDOW) {
        return;
    }
    pthread_once(&g_g2u_once, build_g2u_forms);
    struct xconv_window w;
    xconv_window_open(&w, out, oo);
    while (len - ii >= XCONV_BLOCK_READ && xconv_window_cover(&w, out, oo, cap, G2U_REACH)) {
        size_t n = 0;
        const unsigned used = convert_block(in + ii, out + oo, &n);
        if (used == 0) {
            break;
        }
        ii += used;
        oo += n;
    }
    xconv_window_restore(&w, out, oo);
    *i = ii;
    *o = oo;
}

#else

void xconv_g2u_wide(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                    size_t* o) {
    (void)in, (void)len, (void)i, (void)out, (void)cap, (void)o;
}

#endif
