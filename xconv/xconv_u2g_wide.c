#include <pthread.h>

#include "xconv/xconv_gbk_code.h"
#include "xconv/xconv_wide.h"

#ifdef __SSE2__

#include "xconv/xconv_u2g_walk.h"

uint16_t xconv_u2g_forms[1 << 16];
static pthread_once_t g_u2g_once = PTHREAD_ONCE_INIT;

/* Whether the CPU has BMI2, decided once with the tables. */
static int g_u2g_bmi2;

static void build_u2g_forms(void) {
#if defined(__x86_64__)
    g_u2g_bmi2 = __builtin_cpu_supports("bmi2");
#endif
    for (unsigned value = 0; value < 1u << 16; ++value) {
        const unsigned char* code = xconv_gbk_code((unsigned short)value);
        uint16_t form = code == NULL ? 0 : (uint16_t)(code[0] | code[1] << 8);
        if (value == XCONV_VALUE_EURO) {
            form = 0x80;
        } else if (value == XCONV_VALUE_BYTE_FF) {
            form = 0xFF;
        }
        xconv_u2g_forms[value] = value < 0x80 ? (uint16_t)value : form;
    }
}

int xconv_u2g_wide(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                   size_t* o) {
    if (len < xconv_wide_min_len || len - *i < XCONV_BLOCK_READ || cap - *o < XCONV_WINDOW) {
        return 0;
    }
    pthread_once(&g_u2g_once, build_u2g_forms);
    return g_u2g_bmi2 ? xconv_u2g_walk_bmi2(in, len, i, out, cap, o)
                      : xconv_u2g_walk_sse2(in, len, i, out, cap, o);
}

#else

int xconv_u2g_wide(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                   size_t* o) {
    (void)in, (void)len, (void)i, (void)out, (void)cap, (void)o;
    return 0;
}

#endif
