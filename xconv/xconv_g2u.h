#ifndef XCONV_G2U_H
#define XCONV_G2U_H

#ifdef __cplusplus
extern "C" {
#endif

/* When nonzero, a lead byte followed by a byte that cannot trail it (01-3F or FF) costs only
 * the lead byte: the following byte is decoded afresh. Zero at start. */
extern int ignore_one_err_gbk_byte;

/* Converts GBK (code page 936) to UTF-8. The input ends after in_len bytes or at the first zero
 * byte. On entry *out_len is the room in out. Returns the number of input bytes that could not
 * be converted (each replaced by a space or dropped), with *out_len set to the bytes written
 * (not counting the zero byte added when room is left); or -1 when the next character does not
 * fit, leaving what was written so far in out and *out_len unchanged. in, out and out_len must
 * not be null. */
int xconv_gbk2utf8(const unsigned char* in, int in_len, char* out, unsigned* out_len);

#ifdef __cplusplus
}
#endif

#endif
