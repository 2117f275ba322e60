// Property checks of the fuzz targets. A violated property prints where it failed and the
// condition, then aborts, so that libFuzzer (or the replay runner) reports the input as a crash
// and keeps it.
#ifndef FUZZ_FUZZ_CHECK_H
#define FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void FailCheck(const char* szFile, int iLine, const char* szCond) {
    fprintf(stderr, "%s:%d: property violated: %s\n", szFile, iLine, szCond);
    fflush(stderr);
    abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond) ((cond) ? (void)0 : fuzz::FailCheck(__FILE__, __LINE__, #cond))

#endif  // FUZZ_FUZZ_CHECK_H
