#include "reader/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool TraceOn() {
  static const bool on = [] {
    const char* value = std::getenv("TALKING_READER_TRACE");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return on;
}

void Trace(const std::string& what) {
  if (!TraceOn()) return;
  std::fprintf(stderr, "talking-reader: trace: %s\n", what.c_str());
  std::fflush(stderr);
}
