// The fuzz targets' assertion: a broken invariant stops the fuzzer with a
// crash that it reports and saves.
#ifndef TUVO_FUZZ_FUZZ_CHECK_H_
#define TUVO_FUZZ_FUZZ_CHECK_H_

#include <cstdio>

inline void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken: %s\n", what);
    __builtin_trap();
  }
}

#endif  // TUVO_FUZZ_FUZZ_CHECK_H_
