// ELimitError: a response passed one of the limits the HTTP client puts on it (the size
// or line count of its header block, the size of its body, the free disk space a body file
// must leave). Header only.
#pragma once

#include <cstdint>
#include <string>

#include "base/exception.h"

class ELimitError : public Exception {
 public:
  using Exception::Exception;
};

namespace tr_http {

// "8 MiB", "64 KiB" or "1000 bytes": a limit as a person reads it.
inline std::string SizeText(uint64_t bytes) {
  if (bytes != 0 && bytes % (uint64_t{1024} * 1024) == 0)
    return std::to_string(bytes >> 20) + " MiB";
  if (bytes != 0 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace tr_http
