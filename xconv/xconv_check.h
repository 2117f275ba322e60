#ifndef XCONV_CHECK_H
#define XCONV_CHECK_H

/* Null-pointer checks of the converters (internal to xconv). They guard every caller, release
 * builds included: keep assert on even where the build defines NDEBUG. */
#undef NDEBUG
#include <assert.h>

/* The null pointer spelled out, so that a failed check reads "in != ((void *)0)" whichever
 * compiler and C library build it. */
/* clang-format off */
#define XCONV_NULL ((void *)0)
/* clang-format on */

/* Stops the process when ptr is null. The second macro level expands XCONV_NULL before assert
 * turns the condition into its message; ptr stays unparenthesised so the message shows it bare. */
#define XCONV_CHECK_NOT_NULL(ptr) \
    XCONV_CHECK_EXPANDED(ptr != XCONV_NULL) /* NOLINT(bugprone-macro-parentheses) */
#define XCONV_CHECK_EXPANDED(cond) assert(cond)

#endif
