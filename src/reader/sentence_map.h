// A page's sentence map, as a server that knows where the sentences of its speech begin
// publishes it (the w=2 answer):
//   {"sentences": [{"start": 0, "end": 2140, "from": 0, "to": 57, "paragraph": 0}, ...]}
// start and end are milliseconds of the decoded speech; from and to are the sentence's
// first character and one past its last, counted in Unicode characters of the page's text;
// paragraph counts the lines of the text that hold sentences, from 0. The reader moves by
// sentence and paragraph with it, marks the sentence being spoken, and remembers the
// sentence a user left.
//
// Pure functions; any thread.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

struct Sentence {
  int32_t start = 0;  // ms of the decoded speech
  int32_t end = 0;
  int32_t from = 0;  // characters of the page's text
  int32_t to = 0;
  int32_t paragraph = 0;
};
using SentenceMap = std::vector<Sentence>;

// The map in a server's answer, for a page whose text has `textLength` characters; nullopt
// when the answer is no well-formed map for it: not that JSON form, no sentence at all, a
// value that is not a whole number, times or characters out of order or out of range, or
// paragraphs that go backwards. A server that does not know w=2 answers something else,
// and the page then simply has no map.
std::optional<SentenceMap> ParseSentenceMap(std::string_view body, int64_t textLength);

// True when no sentence ends after the speech's end (`lengthMs`, its exact length).
bool MapFitsSpeech(const SentenceMap& map, int64_t lengthMs);

// The sentence at `ms`: the last one that starts at or before it (the first before that).
size_t SentenceAt(const SentenceMap& map, int64_t ms);

// The first sentence of the paragraph that sentence `index` belongs to.
size_t ParagraphStart(const SentenceMap& map, size_t index);

// Where the characters of a page's text are shown when the text is put into a text area:
// the block (the text's own line, as Qt splits it: at LF, CR, CR LF and U+2029) and the
// column in it, in UTF-16 units. The map counts characters as Unicode code points; Qt
// counts UTF-16 units. Built once per text, so that a look-up is quick.
struct TextSpot {
  int block = 0;
  qsizetype column = 0;
};
class TextSpots {
 public:
  TextSpots() = default;
  explicit TextSpots(const QString& text);
  // The text's length in characters, as the map counts them.
  int64_t Characters() const { return characters_; }
  // Where character `character` is shown (one past the last: the end of the text).
  TextSpot Spot(int64_t character) const;

 private:
  std::vector<qsizetype> blockStarts_;  // UTF-16 position where each block begins
  std::vector<int64_t> astral_;         // characters that take two UTF-16 units
  qsizetype length_ = 0;                // UTF-16 units
  int64_t characters_ = 0;
};
