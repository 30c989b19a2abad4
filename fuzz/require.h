// The fuzz targets' one way to fail: a property that does not hold aborts
// with its description, which libFuzzer reports as a crash and saves the
// input that caused it. Safe from any thread.

#ifndef GMI_FUZZ_REQUIRE_H_
#define GMI_FUZZ_REQUIRE_H_

#include <cstdio>
#include <cstdlib>

inline void require(bool holds, const char *property) {
  if (holds) return;
  fprintf(stderr, "property violated: %s\n", property);
  abort();
}

#endif  // GMI_FUZZ_REQUIRE_H_
