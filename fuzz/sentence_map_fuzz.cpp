// The sentence map parse on a server's answer: whatever it takes is a map the reader can
// use without a check of its own (in order, inside the text, never overlapping), and the
// look-ups on it stay inside it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "reader/sentence_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the text's length, so that characters beyond it are tried.
  const int64_t textLength = data[0];
  const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::optional<SentenceMap> map = ParseSentenceMap(body, textLength);
  if (!map) return 0;
  FUZZ_CHECK(!map->empty());
  for (size_t i = 0; i < map->size(); ++i) {
    const Sentence& s = (*map)[i];
    FUZZ_CHECK(s.start >= 0 && s.start <= s.end);
    FUZZ_CHECK(s.from >= 0 && s.from < s.to && s.to <= textLength);
    if (i > 0) {
      const Sentence& last = (*map)[i - 1];
      FUZZ_CHECK(last.end <= s.start && last.to <= s.from && last.paragraph <= s.paragraph);
    }
    FUZZ_CHECK(SentenceAt(*map, s.start) == i ||
               (*map)[SentenceAt(*map, s.start)].start == s.start);
    FUZZ_CHECK(ParagraphStart(*map, i) <= i);
  }
  FUZZ_CHECK(SentenceAt(*map, -1) == 0 && SentenceAt(*map, INT64_MAX) == map->size() - 1);
  return 0;
}
