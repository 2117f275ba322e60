#ifndef XCONV_U2G_H
#define XCONV_U2G_H

#ifdef __cplusplus
extern "C" {
#endif

/* Converts UTF-8 to GBK (code page 936). The input ends after in_len bytes or at the first zero
 * byte. On entry *out_len is the room in out. Characters that cannot be encoded are replaced by
 * A1 F5 (one for a whole run of them); stray bytes are dropped. Returns the number of input
 * bytes that could not be converted, with *out_len set to the bytes written (not counting the
 * one or two zero bytes added where room is left); or -1 when the next character does not fit,
 * leaving what was written so far in out and *out_len unchanged. in, out and out_len must not
 * be null. Room of twice the input length is always enough. */
int xconv_utf82gbk(const unsigned char* in, unsigned in_len, char* out, unsigned* out_len);

#ifdef __cplusplus
}
#endif

#endif
