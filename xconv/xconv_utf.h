#ifndef XCONV_UTF_H
#define XCONV_UTF_H

/* UTF-16 (one 16-bit unit per character, Basic Multilingual Plane only) to and from UTF-8.
 * Four-byte UTF-8 sequences are never decoded and surrogates are neither formed nor combined;
 * continuation bytes are not validated (only their low six bits count). */

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the 1-, 2- or 3-byte UTF-8 form of value at out (room for 3 bytes needed), without
 * terminator; returns the number of bytes written. */
int xconv_single_utf16to8(unsigned short value, char* out);

/* Decodes the sequence starting at in into *out and returns 1 when its first byte starts a
 * sequence of one, two or three bytes; otherwise stores 0 and returns 0. The continuation bytes
 * are read unchecked: the caller makes sure the whole sequence lies inside its input. */
int xconv_single_utf8to16(const unsigned char* in, unsigned short* out);

/* Converts in_len units to UTF-8 into out (out_size bytes), always keeping one byte for the
 * terminating zero; stops early when the next character does not fit. Returns the number of
 * bytes written before the terminator. */
int xconv_utf16to8(const unsigned short* in, int in_len, char* out, unsigned out_size);

/* Converts in_len bytes of UTF-8 into out (out_size units), always keeping one unit for the
 * terminating zero; stops at a sequence cut short by the end of the input. Bytes that start no
 * 1-3 byte sequence are dropped one by one. Returns the number of units written before the
 * terminator. */
int xconv_utf8to16(const unsigned char* in, unsigned in_len, unsigned short* out,
                   unsigned out_size);

#ifdef __cplusplus
}
#endif

#endif
