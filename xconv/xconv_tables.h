/* Generated file, do not edit. Regenerate with: python3 tools/gen_gbk_tables.py */
#ifndef XCONV_TABLES_H
#define XCONV_TABLES_H

/* Code page 936 tables of the converters (internal to xconv). */

/* clang-format off */
/* Decoding: UTF-16 value of two-byte code c at [c - XCONV_G2U_BASE]; 0 = unmapped. */
#define XCONV_G2U_BASE 0x8140
extern const unsigned short __map_gbk2utf16[33089];

/* Encoding blocks: lead and trail byte of each value; lead 0 = unmapped. */
#define XCONV_U2G_0080_FIRST 0x0080
extern const unsigned char __map_u2g_0080[1152][2];
#define XCONV_U2G_2000_FIRST 0x2000
extern const unsigned char __map_u2g_2000[1792][2];
#define XCONV_U2G_3000_FIRST 0x3000
extern const unsigned char __map_u2g_3000[1024][2];
#define XCONV_U2G_4E00_FIRST 0x4E00
extern const unsigned char __map_u2g_4e00[20992][2];
#define XCONV_U2G_E000_FIRST 0xE000
extern const unsigned char __map_u2g_e000[2149][2];
#define XCONV_U2G_F900_FIRST 0xF900
extern const unsigned char __map_u2g_f900[512][2];
#define XCONV_U2G_FE00_FIRST 0xFE00
extern const unsigned char __map_u2g_fe00[512][2];

/* GBK code of U+25A1, written in place of characters that cannot be encoded. */
extern const unsigned char __wrong_padding_gb[3];
/* clang-format on */

#endif
