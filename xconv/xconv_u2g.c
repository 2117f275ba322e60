#include "xconv/xconv_u2g.h"

#include <limits.h>

#include "xconv/xconv_ascii.h"
#include "xconv/xconv_check.h"
#include "xconv/xconv_gbk_code.h"
#include "xconv/xconv_step.h"
#include "xconv/xconv_tables.h"
#include "xconv/xconv_wide.h"

#define XCONV_BLOCK(name, first) \
    { (first), sizeof(name) / sizeof((name)[0]), (name) }

/* The encoding blocks, the one holding the common Chinese characters first. */
static const struct encoding_block {
    unsigned first;
    unsigned count;
    const unsigned char (*map)[2];
} k_blocks[] = {
    XCONV_BLOCK(__map_u2g_4e00, XCONV_U2G_4E00_FIRST),
    XCONV_BLOCK(__map_u2g_3000, XCONV_U2G_3000_FIRST),
    XCONV_BLOCK(__map_u2g_fe00, XCONV_U2G_FE00_FIRST),
    XCONV_BLOCK(__map_u2g_0080, XCONV_U2G_0080_FIRST),
    XCONV_BLOCK(__map_u2g_2000, XCONV_U2G_2000_FIRST),
    XCONV_BLOCK(__map_u2g_e000, XCONV_U2G_E000_FIRST),
    XCONV_BLOCK(__map_u2g_f900, XCONV_U2G_F900_FIRST),
};

const unsigned char* xconv_gbk_code(unsigned short value) {
    for (size_t k = 0; k < sizeof k_blocks / sizeof k_blocks[0]; ++k) {
        /* Below the block the difference wraps around to a large number. */
        const unsigned offset = value - k_blocks[k].first;
        if (offset < k_blocks[k].count) {
            const unsigned char* code = k_blocks[k].map[offset];
            return code[0] != 0 ? code : NULL;
        }
    }
    return NULL;
}

/* Number of bytes of the sequence of seq_len bytes at in[0] that lie inside the input: the
 * input ends at in_left bytes or before the first zero byte. */
static size_t bytes_present(const unsigned char* in, size_t in_left, size_t seq_len) {
    const size_t limit = seq_len < in_left ? seq_len : in_left;
    size_t n = 1;
    while (n < limit && in[n] != 0) {
        ++n;
    }
    return n;
}

/* Where a conversion stands: input length and position, room and output position, bad bytes,
 * and whether the last character was converted (false after an unmapped character, until a
 * character is converted again: a run of unmapped characters is marked by one replacement). */
struct u2g_state {
    const unsigned char* in;
    size_t len;
    size_t i;
    char* out;
    size_t cap;
    size_t o;
    size_t bad;
    int last_converted;
};

/* Converts the common characters, nonzero ASCII and three-byte sequences of values that have a
 * code, while at least three input bytes remain and room for two output bytes is left, and stops
 * before anything else. Within those bounds every such character is converted exactly as the
 * general step would, so this only saves tests. */
static inline void convert_common(struct u2g_state* s) {
    const unsigned char* const in = s->in;
    char* const out = s->out;
    size_t i = s->i;
    size_t o = s->o;
    while (s->len - i >= 3 && s->cap - o >= 2) {
        const unsigned char c = in[i];
        if (c < 0x80) {
            if (c == 0) {
                break;
            }
            out[o++] = (char)c;
            ++i;
            s->last_converted = 1;
            xconv_copy_ascii_run(in, s->len, &i, out, s->cap, &o);
            continue;
        }
        if ((c & 0xF0) != 0xE0 || in[i + 1] == 0 || in[i + 2] == 0) {
            break;
        }
        unsigned short value;
        xconv_step_utf8to16(in + i, &value);
        /* XCONV_VALUE_EURO and XCONV_VALUE_BYTE_FF have no two-byte code: they take the general
         * step. */
        const unsigned char* code = xconv_gbk_code(value);
        if (code == NULL) {
            break;
        }
        memcpy(out + o, code, 2);
        o += 2;
        i += 3;
        s->last_converted = 1;
    }
    s->i = i;
    s->o = o;
}

static int put_bytes(struct u2g_state* s, const void* bytes, size_t n) {
    if (s->cap - s->o < n) {
        return 0;
    }
    memcpy(s->out + s->o, bytes, n);
    s->o += n;
    return 1;
}

/* Converts the character at s->i (not a zero byte), whatever it is; 0 when it does not fit. */
static int convert_one(struct u2g_state* s) {
    const unsigned char* const p = s->in + s->i;
    const size_t seq_len = xconv_utf8_seq_len(p[0]);
    if (seq_len == 0) {
        /* A stray continuation byte or F8-FF: dropped. */
        ++s->bad;
        ++s->i;
        return 1;
    }
    const size_t present = bytes_present(p, s->len - s->i, seq_len);
    if (seq_len == 4 || present < seq_len) {
        /* Four-byte characters lie outside the tables; a cut-short sequence ends the input.
         * Either way its bytes are consumed and replaced once. */
        if (!put_bytes(s, __wrong_padding_gb, 2)) {
            return 0;
        }
        s->bad += present;
        s->i += present;
        return 1;
    }
    unsigned short value;
    xconv_step_utf8to16(p, &value);
    if (seq_len == 1 || value == XCONV_VALUE_EURO || value == XCONV_VALUE_BYTE_FF) {
        const unsigned char byte = seq_len == 1 ? p[0] : value == XCONV_VALUE_EURO ? 0x80 : 0xFF;
        if (!put_bytes(s, &byte, 1)) {
            return 0;
        }
    } else {
        if (s->cap - s->o < 2) {
            return 0;
        }
        const unsigned char* code = xconv_gbk_code(value);
        if (code == NULL) {
            /* Unmapped: only the first byte is consumed; the rest are dropped as stray bytes. */
            if (s->last_converted) {
                put_bytes(s, __wrong_padding_gb, 2);
            }
            ++s->bad;
            ++s->i;
            s->last_converted = 0;
            return 1;
        }
        put_bytes(s, code, 2);
    }
    s->i += seq_len;
    s->last_converted = 1;
    return 1;
}

int xconv_utf82gbk(const unsigned char* in, unsigned in_len, char* out, unsigned* out_len) {
    XCONV_CHECK_NOT_NULL(in);
    XCONV_CHECK_NOT_NULL(out);
    XCONV_CHECK_NOT_NULL(out_len);

    struct u2g_state s = {in, in_len, 0, out, *out_len, 0, 0, 1};
    for (;;) {
        if (xconv_u2g_wide(in, s.len, &s.i, out, s.cap, &s.o)) {
            s.last_converted = 1;
        }
        convert_common(&s);
        if (s.i >= s.len || in[s.i] == 0) {
            break;
        }
        if (!convert_one(&s)) {
            return -1;
        }
    }
    if (s.o < s.cap) {
        out[s.o] = 0;
    }
    if (s.o + 1 < s.cap) {
        out[s.o + 1] = 0;
    }
    *out_len = (unsigned)s.o;
    return s.bad > INT_MAX ? INT_MAX : (int)s.bad;
}
