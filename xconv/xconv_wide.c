#include "xconv/xconv_wide.h"

/* Below a few pages of text, building the block tables would cost more than they save. */
size_t xconv_wide_min_len = 4096;
