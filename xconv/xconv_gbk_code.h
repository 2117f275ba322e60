#ifndef XCONV_GBK_CODE_H
#define XCONV_GBK_CODE_H

/* Encoding of one value by the tables (internal to xconv). */

/* The two values written as single bytes rather than through the tables. */
enum { XCONV_VALUE_EURO = 0x20AC, XCONV_VALUE_BYTE_FF = 0xF8F5 };

/* Two-byte GBK code of value, or NULL when the value has none. */
const unsigned char* xconv_gbk_code(unsigned short value);

#endif
