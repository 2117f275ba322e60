/* The UTF-8 to GBK block walk for any x86-64 CPU. */
#ifdef __SSE2__

#include "xconv/xconv_u2g_walk.h"

int xconv_u2g_walk_sse2(const unsigned char* in, size_t len, size_t* i, char* out, size_t cap,
                        size_t* o) {
    return u2g_walk(in, len, i, out, cap, o);
}

#endif
