#include "xconv/xconv_utf.h"

#include "xconv/xconv_step.h"

int xconv_single_utf16to8(unsigned short value, char* out) {
    return xconv_step_utf16to8(value, out);
}

int xconv_single_utf8to16(const unsigned char* in, unsigned short* out) {
    return xconv_step_utf8to16(in, out);
}

int xconv_utf16to8(const unsigned short* in, int in_len, char* out, unsigned out_size) {
    unsigned written = 0;
    if (out_size < 2) {
        if (out_size == 1) {
            out[0] = 0;
        }
        return 0;
    }
    for (int i = 0; i < in_len; ++i) {
        if (written + xconv_utf8_form_len(in[i]) > out_size - 1) {
            break;
        }
        written += (unsigned)xconv_step_utf16to8(in[i], out + written);
    }
    out[written] = 0;
    return (int)written;
}

int xconv_utf8to16(const unsigned char* in, unsigned in_len, unsigned short* out,
                   unsigned out_size) {
    unsigned i = 0;
    unsigned written = 0;
    if (out_size < 2) {
        if (out_size == 1) {
            out[0] = 0;
        }
        return 0;
    }
    while (i < in_len && written < out_size - 1) {
        unsigned len = xconv_utf8_seq_len(in[i]);
        if (len > in_len - i) {
            break;
        }
        /* A four-byte lead or a byte that starts no sequence is dropped alone; the bytes after
         * it are taken one by one in the same way. */
        if (xconv_step_utf8to16(in + i, &out[written])) {
            ++written;
            i += len;
        } else {
            ++i;
        }
    }
    out[written] = 0;
    return (int)written;
}
