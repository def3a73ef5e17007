// The response header reader: the input is what a server sends, cut into lines as the
// transport's ReadLn delivers them (each with its line feed; a last line without one is
// lost when the peer closes, and the reader then gets an empty line).
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "http/limit_error.h"
#include "http/response_header.h"

namespace {

void CheckValue(const std::optional<std::string>& value) {
  if (!value) return;
  FUZZ_CHECK(value->size() <= TResponseHeader::kMaxValue);
  for (const char c : *value) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK((byte >= 0x20 && byte != 0x7f) || byte == '\t');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  constexpr size_t kMaxBytes = 64 * 1024;
  constexpr size_t kMaxLines = 200;
  TResponseHeader header(kMaxBytes, kMaxLines);
  size_t at = 0;
  size_t taken = 0;
  int lines = 0;
  try {
    for (bool done = false; !done;) {
      const size_t lf = input.find('\n', at);
      const std::string line = lf == std::string::npos ? "" : input.substr(at, lf + 1 - at);
      at = lf == std::string::npos ? input.size() : lf + 1;
      taken += line.size();
      ++lines;
      done = header.Add(line);
      FUZZ_CHECK(taken <= kMaxBytes && lines <= static_cast<int>(kMaxLines));
      if (lines == 1) FUZZ_CHECK(header.HasStatus() == !line.empty());
      if (lines > 1) FUZZ_CHECK(done == (line == "\r\n" || line == "\n" || line.empty()));
    }
  } catch (const ELimitError&) {
    FUZZ_CHECK(taken > kMaxBytes || lines > static_cast<int>(kMaxLines));
  }
  CheckValue(header.Cookie());
  CheckValue(header.Location());
  const size_t lf = input.find('\n');
  if (lf != std::string::npos) StatusOfLine(input.substr(0, lf + 1));
  return 0;
}
