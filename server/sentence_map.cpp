#include "sentence_map.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "text_encoding.h"

namespace {

constexpr std::string_view kMarksForm = "talking-reader-marks 1";

bool isSpace(char32_t c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == 0xA0;
}

}  // namespace

SentenceTimer::SentenceTimer(std::vector<size_t> paragraphStarts)
    : paragraphStarts_(std::move(paragraphStarts)) {}

void SentenceTimer::begin(size_t sample, size_t textPosition) {
  // Marks stay in the order of their events; an event that would go back is taken as
  // coming where the last one was.
  if (!marks_.empty()) {
    sample = std::max(sample, marks_.back().eventSample);
    textPosition = std::max(textPosition, marks_.back().textPosition);
  }
  marks_.push_back({sample, textPosition, std::nullopt, 0});
  wordsInMark_ = 0;
  while (nextParagraph_ < paragraphStarts_.size() &&
         paragraphStarts_[nextParagraph_] <= textPosition)
    ++nextParagraph_;
}

void SentenceTimer::sentence(size_t sample, size_t textPosition) {
  begin(sample, textPosition);
}

void SentenceTimer::word(size_t sample, size_t textPosition) {
  // The first word past a paragraph's start begins a mark of its own where the synthesiser
  // saw no sentence end between two lines of the page, unless it is the first word of the
  // sentence that has just begun (whose event may point at the line feed before it).
  const bool newParagraph =
      nextParagraph_ < paragraphStarts_.size() && paragraphStarts_[nextParagraph_] <= textPosition;
  if (newParagraph && !marks_.empty() && wordsInMark_ > 0) {
    begin(sample, textPosition);
  } else {
    while (nextParagraph_ < paragraphStarts_.size() &&
           paragraphStarts_[nextParagraph_] <= textPosition)
      ++nextParagraph_;
  }
  ++wordsInMark_;
}

void SentenceTimer::samples(const int16_t* samples, size_t count) {
  for (size_t i = 0; i < count; ++i, ++position_) {
    while (current_ + 1 < marks_.size() && marks_[current_ + 1].eventSample <= position_)
      ++current_;
    if (marks_.empty() || marks_[current_].eventSample > position_) continue;
    if (std::abs(static_cast<int>(samples[i])) <= kSoundLevel) continue;
    Timing& mark = marks_[current_];
    if (!mark.firstSound) mark.firstSound = position_;
    mark.lastSound = position_;
  }
}

std::vector<SentenceTimer::Mark> SentenceTimer::finish() const {
  std::vector<Mark> marks;
  marks.reserve(marks_.size());
  for (const Timing& t : marks_) {
    // A sentence without sound (only punctuation, say) lasts no time at its event.
    if (t.firstSound)
      marks.push_back({*t.firstSound, t.lastSound + 1, t.textPosition});
    else
      marks.push_back({t.eventSample, t.eventSample, t.textPosition});
  }
  return marks;
}

std::string formatMarks(const std::vector<SentenceMark>& marks) {
  std::string text(kMarksForm);
  text += '\n';
  for (const SentenceMark& m : marks)
    text += std::to_string(m.startMs) + ' ' + std::to_string(m.endMs) + ' ' +
            std::to_string(m.from) + ' ' + std::to_string(m.to) + '\n';
  return text;
}

std::optional<std::vector<SentenceMark>> parseMarks(std::string_view text) {
  if (text.substr(0, kMarksForm.size()) != kMarksForm || text.size() == kMarksForm.size() ||
      text[kMarksForm.size()] != '\n')
    return std::nullopt;
  text.remove_prefix(kMarksForm.size() + 1);
  std::vector<SentenceMark> marks;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // a cut line: not whole
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    SentenceMark m;
    auto field = [&line](auto& value) {
      const auto [next, error] = std::from_chars(line.data(), line.data() + line.size(), value);
      if (error != std::errc()) return false;
      line.remove_prefix(static_cast<size_t>(next - line.data()));
      if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
      return true;
    };
    if (!field(m.startMs) || !field(m.endMs) || !field(m.from) || !field(m.to) || !line.empty() ||
        m.endMs < m.startMs || m.to < m.from)
      return std::nullopt;
    marks.push_back(m);
  }
  return marks;
}

std::string sentenceMapJson(const std::vector<SentenceMark>& marks, const SpokenText& spoken) {
  const std::u32string chars = utf8CodePoints(spoken.text);
  std::string json = "{\"sentences\": [";
  bool first = true;
  for (const SentenceMark& m : marks) {
    // The first and the last character of the page that the sentence reads, whitespace
    // left out, on the line it starts on.
    std::optional<size_t> from;
    size_t to = 0;
    size_t paragraph = 0;
    for (const SpokenText::Run& run : spoken.runs) {
      const size_t begin = std::max(run.spoken, m.from);
      const size_t end = std::min(run.spoken + run.length, m.to);
      if (begin >= end) continue;
      if (from && run.paragraph != paragraph) break;
      for (size_t c = begin; c < end; ++c) {
        if (c < chars.size() && isSpace(chars[c])) continue;
        const size_t page = run.page + (c - run.spoken);
        if (!from) {
          from = page;
          paragraph = run.paragraph;
        }
        to = page + 1;
      }
    }
    if (!from) continue;
    if (!first) json += ", ";
    first = false;
    json += "{\"start\": " + std::to_string(m.startMs) + ", \"end\": " + std::to_string(m.endMs) +
            ", \"from\": " + std::to_string(*from) + ", \"to\": " + std::to_string(to) +
            ", \"paragraph\": " + std::to_string(paragraph) + "}";
  }
  return json + "]}";
}
