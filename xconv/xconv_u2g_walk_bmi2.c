/* The UTF-8 to GBK block walk compiled for BMI2 (chosen at run time when the CPU has it). */
#ifdef __SSE2__

#include "xconv/xconv_u2g_walk.h"

int xconv_u2g_walk_bmi2(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                        size_t* o) {
    return u2g_walk(in, len, i, out, cap, o);
}

#endif
