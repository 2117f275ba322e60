#ifndef XCONV_WIDE_H
#define XCONV_WIDE_H

/* Block-wise conversion of long inputs, 64 input bytes at a time (internal to xconv).
 *
 * The byte classes of a block (high bit set, zero, ...) are found with SSE2 as 64-bit masks, one
 * bit per byte, and the characters of the block are then walked by their start bits: no branch
 * depends on whether a character is ASCII or Chinese. Each character is written with one store of
 * its longest form and one table lookup, which also gives its length. Bytes stored past the last
 * character are covered by the next block's first store, or put back from a copy of the output
 * taken ahead of the stores when the walk stops, so the output buffer holds exactly what the
 * character-by-character converters would write.
 *
 * The tables are built on first use; inputs shorter than xconv_wide_min_len never pay for that. */

#include <stddef.h>
#include <stdint.h>

/* Inputs shorter than this are converted character by character only. */
extern size_t xconv_wide_min_len;

/* GBK to UTF-8 from in[*i] to out[*o], block by block, stopping before the first byte it does not
 * take: a zero byte, 80, FF, or a lead byte followed by a byte below 80. Also stops when less than
 * a block of input (plus 4 bytes) or less than 1 KiB of room remains. Advances *i and
 * *o. */
void xconv_g2u_wide(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                    size_t* o);

/* UTF-8 to GBK in the same way; stops before a zero byte, lead byte E0, a sequence that is neither
 * ASCII nor three bytes, a malformed one, and a character without a code. Returns nonzero when it
 * converted any character. */
int xconv_u2g_wide(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                   size_t* o);

#endif
