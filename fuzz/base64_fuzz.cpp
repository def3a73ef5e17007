// Base64: the reader's encoding has the right length, alphabet and padding, and the
// development server's decoder (which checks the reader's Authorization line) gives the
// input back; the decoder also takes any text without failing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "access_check.h"
#include "fuzz_check.h"
#include "http/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string encoded = tr_http::Base64Encode(input);
  FUZZ_CHECK(encoded.size() == (size + 2) / 3 * 4);
  const size_t padding = (3 - size % 3) % 3;
  // Every character before the padding is of the alphabet (npos: no padding, or nothing).
  const size_t firstOther =
      encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  FUZZ_CHECK(std::min(firstOther, encoded.size()) == encoded.size() - padding);
  FUZZ_CHECK(encoded.find_first_not_of('=', encoded.size() - padding) == std::string::npos);
  const auto decoded = decodeBase64(encoded);
  FUZZ_CHECK(decoded && *decoded == input);
  decodeBase64(input);
  return 0;
}
