// A minimal check harness for the core's C++ tests: counts, reports failures
// with their location, and ends with a "N passed, N failed" line.
#pragma once

#include <cstdio>

namespace check {
inline int passed = 0, failed = 0;
inline int report() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed ? 1 : 0;
}
}  // namespace check

#define CHECK(cond)                                                     \
  do {                                                                  \
    if (cond) {                                                         \
      ++check::passed;                                                  \
    } else {                                                            \
      ++check::failed;                                                  \
      std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                   \
  } while (0)
