#ifndef XCONV_STEP_H
#define XCONV_STEP_H

/* Single-character UTF-8 steps shared by the converters (internal to xconv). Kept inline so the
 * per-character loops of the GBK converters pay no call. */

/* Length of the UTF-8 sequence that byte c starts: 1, 2, 3 or 4; 0 for a byte that starts none
 * (a continuation byte 80-BF, or F8-FF). */
static inline unsigned xconv_utf8_seq_len(unsigned char c) {
    if (c < 0x80) {
        return 1;
    }
    if (c < 0xC0) {
        return 0;
    }
    if (c < 0xE0) {
        return 2;
    }
    if (c < 0xF0) {
        return 3;
    }
    return c < 0xF8 ? 4 : 0;
}

/* Length of the UTF-8 form of value: 1, 2 or 3. */
static inline unsigned xconv_utf8_form_len(unsigned short value) {
    return value < 0x80 ? 1 : value < 0x800 ? 2 : 3;
}

static inline int xconv_step_utf16to8(unsigned short value, char* out) {
    unsigned char* p = (unsigned char*)out;
    if (value < 0x80) {
        p[0] = (unsigned char)value;
        return 1;
    }
    if (value < 0x800) {
        p[0] = (unsigned char)(0xC0 | (value >> 6));
        p[1] = (unsigned char)(0x80 | (value & 0x3F));
        return 2;
    }
    p[0] = (unsigned char)(0xE0 | (value >> 12));
    p[1] = (unsigned char)(0x80 | ((value >> 6) & 0x3F));
    p[2] = (unsigned char)(0x80 | (value & 0x3F));
    return 3;
}

static inline int xconv_step_utf8to16(const unsigned char* in, unsigned short* out) {
    switch (xconv_utf8_seq_len(in[0])) {
        case 1:
            *out = in[0];
            return 1;
        case 2:
            *out = (unsigned short)(((in[0] & 0x1Fu) << 6) | (in[1] & 0x3Fu));
            return 1;
        case 3:
            *out = (unsigned short)(((in[0] & 0x0Fu) << 12) | ((in[1] & 0x3Fu) << 6) |
                                    (in[2] & 0x3Fu));
            return 1;
        default:
            *out = 0;
            return 0;
    }
}

#endif
