#include "xconv/xconv_g2u.h"

#include "xconv/xconv_ascii.h"
#include "xconv/xconv_check.h"
#include "xconv/xconv_step.h"
#include "xconv/xconv_tables.h"
#include "xconv/xconv_wide.h"

int ignore_one_err_gbk_byte = 0;

/* Room a character asks for: a two-byte code asks for the longest UTF-8 form even when its
 * value needs only two bytes. */
enum { ROOM_ASCII = 1, ROOM_CHAR = 3, ROOM_SPACE = 1 };

static const char k_euro_utf8[3] = {(char)0xE2, (char)0x82, (char)0xAC};    /* byte 80 */
static const char k_byte_ff_utf8[3] = {(char)0xEF, (char)0xA3, (char)0xB5}; /* byte FF */

/* Where a conversion stands: input length and position, room and output position, bad bytes. */
struct g2u_state {
    const unsigned char* in;
    size_t len;
    size_t i;
    char* out;
    size_t cap;
    size_t o;
    int bad;
};

enum g2u_step {
    STEP_NEXT,        /* a character was converted or replaced */
    STEP_NO_ROOM,     /* the character does not fit: stop with -1 */
    STEP_END,         /* the input ends here: add the terminator */
    STEP_END_NO_TERM, /* the input ends with a lead byte: finish without terminator */
};

/* UTF-16 value of the two-byte code (lead << 8 | trail), 0 when it has none. Every pair of
 * bytes from 81 40 upwards has an entry (0 for invalid trails and the lead byte FF), so the
 * lookup needs no other test. */
_Static_assert(sizeof __map_gbk2utf16 / sizeof __map_gbk2utf16[0] > 0xFFFF - XCONV_G2U_BASE,
               "every two-byte code from 81 40 to FF FF needs an entry");

static inline unsigned short lookup(unsigned code) {
    return code >= XCONV_G2U_BASE ? __map_gbk2utf16[code - XCONV_G2U_BASE] : 0;
}

static int is_trail_byte(unsigned char t) {
    return t >= 0x40 && t <= 0xFE && t != 0x7F;
}

/* Converts the common characters, nonzero ASCII and codes whose values take three UTF-8 bytes,
 * while at least two input bytes remain and room for three output bytes is left, and stops
 * before anything else. Within those bounds every such character is converted exactly as the
 * general step would, so this only saves tests. */
static inline void convert_common(struct g2u_state* s) {
    const unsigned char* const in = s->in;
    char* const out = s->out;
    size_t i = s->i;
    size_t o = s->o;
    while (s->len - i >= 2 && s->cap - o >= ROOM_CHAR) {
        const unsigned char c = in[i];
        if (c < 0x80) {
            if (c == 0) {
                break;
            }
            out[o++] = (char)c;
            ++i;
            xconv_copy_ascii_run(in, s->len, &i, out, s->cap, &o);
            continue;
        }
        const unsigned short value = lookup((unsigned)c << 8 | in[i + 1]);
        if (value < 0x800) {
            break;
        }
        xconv_step_utf16to8(value, out + o);
        o += 3;
        i += 2;
    }
    s->i = i;
    s->o = o;
}

static enum g2u_step put_bytes(struct g2u_state* s, const char* bytes, size_t n) {
    if (s->cap - s->o < n) {
        return STEP_NO_ROOM;
    }
    memcpy(s->out + s->o, bytes, n);
    s->o += n;
    return STEP_NEXT;
}

/* UTF-8 form of a character of one byte at p (ASCII, 80 or FF) and its length in *n; NULL for
 * a lead byte. */
static const char* single_byte_form(const unsigned char* p, size_t* n) {
    if (*p < 0x80) {
        *n = ROOM_ASCII;
        return (const char*)p;
    }
    *n = sizeof k_euro_utf8;
    return *p == 0x80 ? k_euro_utf8 : *p == 0xFF ? k_byte_ff_utf8 : NULL;
}

/* Converts the character at s->i (not a zero byte), whatever it is. */
static enum g2u_step convert_one(struct g2u_state* s) {
    size_t n;
    const char* form = single_byte_form(s->in + s->i, &n);
    if (form != NULL) {
        const enum g2u_step step = put_bytes(s, form, n);
        s->i += step == STEP_NEXT;
        return step;
    }
    const unsigned char c = s->in[s->i];
    if (s->i + 1 == s->len) {
        /* A lead byte with nothing after it: a space where room allows, no count. */
        put_bytes(s, " ", ROOM_SPACE);
        return STEP_END_NO_TERM;
    }
    const unsigned char t = s->in[s->i + 1];
    if (t == 0) {
        ++s->bad;
        return STEP_END;
    }
    size_t consumed = 2;
    if (is_trail_byte(t)) {
        const unsigned short value = lookup((unsigned)c << 8 | t);
        if (value != 0) {
            if (s->cap - s->o < ROOM_CHAR) {
                return STEP_NO_ROOM;
            }
            s->o += (size_t)xconv_step_utf16to8(value, s->out + s->o);
            s->i += 2;
            return STEP_NEXT;
        }
    } else if (ignore_one_err_gbk_byte && t != 0x7F) {
        consumed = 1;
    }
    /* An unmapped code or an invalid trail: one space for the bytes consumed. */
    if (put_bytes(s, " ", ROOM_SPACE) == STEP_NO_ROOM) {
        return STEP_NO_ROOM;
    }
    s->bad += (int)consumed;
    s->i += consumed;
    return STEP_NEXT;
}

int xconv_gbk2utf8(const unsigned char* in, int in_len, char* out, unsigned* out_len) {
    XCONV_CHECK_NOT_NULL(in);
    XCONV_CHECK_NOT_NULL(out);
    XCONV_CHECK_NOT_NULL(out_len);

    struct g2u_state s = {in, in_len > 0 ? (size_t)in_len : 0, 0, out, *out_len, 0, 0};
    enum g2u_step step = STEP_NEXT;
    while (step == STEP_NEXT) {
        xconv_g2u_wide(in, s.len, &s.i, out, s.cap, &s.o);
        convert_common(&s);
        step = s.i < s.len && in[s.i] != 0 ? convert_one(&s) : STEP_END;
    }
    if (step == STEP_NO_ROOM) {
        return -1;
    }
    if (step == STEP_END && s.o < s.cap) {
        out[s.o] = 0;
    }
    *out_len = (unsigned)s.o;
    return s.bad;
}
