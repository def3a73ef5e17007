// The fuzz targets' one helper: a property that must hold for every input. A failure
// aborts, which libFuzzer reports as a crash with the input that caused it (unlike
// assert, it stays in builds with NDEBUG).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)
