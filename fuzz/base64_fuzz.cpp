// Base64: the encoding has the right length and alphabet, and decodes back to the input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "http/base64.h"

namespace {

int Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string encoded = tr_http::Base64Encode(input);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
  const size_t padding = (3 - size % 3) % 3;
  std::string decoded;
  unsigned bits = 0;
  int count = 0;
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (i >= encoded.size() - padding) {
      FUZZ_CHECK(encoded[i] == '=');
      continue;
    }
    const int digit = Digit(encoded[i]);
    FUZZ_CHECK(digit >= 0);
    bits = bits << 6 | static_cast<unsigned>(digit);
    count += 6;
    if (count >= 8) {
      count -= 8;
      decoded += static_cast<char>(bits >> count & 0xff);
    }
  }
  FUZZ_CHECK(decoded == input);
  return 0;
}
