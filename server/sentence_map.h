// The sentence map of a page's speech: where each sentence begins and ends in the decoded
// speech, and which characters of the page's text it reads.
//
// A synthesis times its sentences with a SentenceTimer, fed the synthesiser's sentence and
// word events and its samples in order; the marks it gives are kept in the speech cache
// beside the MP3 (formatMarks / parseMarks). The answer to a map request maps them through
// the page's SpokenText onto the page's characters and lines (sentenceMapJson).
//
// Pure functions and a single-threaded timer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server_texts.h"

// One sentence of a synthesis. Times are milliseconds of the decoded speech as a player of
// the MP3 counts them; from and to are characters (Unicode code points) of the text that
// was spoken, to one past the sentence's last.
struct SentenceMark {
  int64_t startMs = 0;
  int64_t endMs = 0;
  size_t from = 0;
  size_t to = 0;

  bool operator==(const SentenceMark&) const = default;
};

// Times the sentences of one synthesis. The synthesiser's sentence event falls in the
// pause before its sentence (up to a tenth of a second early at the slow rate), so a
// sentence starts at the first sound at or after its event and ends after its last sound
// before the next sentence's event. A paragraph of the page starts a sentence of its own
// even where the synthesiser runs two lines together: at the first word event in it.
class SentenceTimer {
 public:
  // Samples louder than this (of 32768) are sound: above the breath noise that some voices
  // leave in their pauses, below the start of any spoken sound.
  static constexpr int kSoundLevel = 200;

  struct Mark {
    size_t startSample = 0;
    size_t endSample = 0;  // one past the last sound
    size_t textPosition = 0;
  };

  // `paragraphStarts`: characters of the spoken text where a line begins, in order.
  explicit SentenceTimer(std::vector<size_t> paragraphStarts = {});

  // A sentence begins at `textPosition` (a character of the spoken text, from 0); its
  // event was given at `sample`. Events come before the samples they refer to.
  void sentence(size_t sample, size_t textPosition);
  // A word begins there.
  void word(size_t sample, size_t textPosition);
  // The next `count` samples of the synthesis.
  void samples(const int16_t* samples, size_t count);
  // The marks, in order, each ending where its sound ends.
  std::vector<Mark> finish() const;

 private:
  void begin(size_t sample, size_t textPosition);

  std::vector<size_t> paragraphStarts_;
  size_t nextParagraph_ = 0;
  struct Timing {
    size_t eventSample;
    size_t textPosition;
    std::optional<size_t> firstSound;
    size_t lastSound = 0;
  };
  std::vector<Timing> marks_;
  size_t wordsInMark_ = 0;  // word events since the last mark began
  size_t current_ = 0;      // the mark the next sample belongs to
  size_t position_ = 0;     // samples seen
};

// The cache's form of a synthesis' marks: a line naming the form, then one line per
// sentence, "start end from to". parseMarks gives nothing for anything else.
std::string formatMarks(const std::vector<SentenceMark>& marks);
std::optional<std::vector<SentenceMark>> parseMarks(std::string_view text);

// The map answer: {"sentences": [{"start": 0, "end": 2140, "from": 0, "to": 57,
// "paragraph": 0}, ...]}, each mark's characters of the spoken text carried to the
// characters and the line of the page they were copied from. A sentence that reads
// nothing of the page (a text the server puts in, such as "Tühi menüü.") is left out, and
// one that would run on into the next line ends with its first.
std::string sentenceMapJson(const std::vector<SentenceMark>& marks, const SpokenText& spoken);
