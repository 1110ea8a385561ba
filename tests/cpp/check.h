// A minimal check harness for the core's C++ tests: CHECK records a failure
// with its line and goes on; finish() prints the closing tally.
#pragma once

#include <cstdio>
#include <string>

namespace zarel_test {

inline int passed = 0, failed = 0;

inline void record(bool ok, const char* file, int line, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::fprintf(stderr, "%s:%d: FAILED %s\n", file, line, what.c_str());
  }
}

inline int finish() {
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace zarel_test

#define CHECK(cond) ::zarel_test::record(static_cast<bool>(cond), __FILE__, __LINE__, #cond)
#define CHECK_EQ(a, b) \
  ::zarel_test::record((a) == (b), __FILE__, __LINE__, #a " == " #b)
// A Result that failed with exactly this message.
#define CHECK_ERR(result, text)                                                              \
  do {                                                                                       \
    auto&& r_ = (result);                                                                    \
    std::string got_ = r_.ok() ? std::string("<ok>") : r_.error().display();                 \
    ::zarel_test::record(got_ == (text), __FILE__, __LINE__, #result " -> " + got_);         \
  } while (0)
