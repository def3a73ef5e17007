#include "server_texts.h"

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kSpace = " \t\r\n\f\v";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The bytes [begin, end) of `text` without the white space at either end.
std::pair<size_t, size_t> trimmed(std::string_view text, size_t begin, size_t end) {
  while (begin < end && kSpace.find(text[begin]) != std::string_view::npos) ++begin;
  while (end > begin && kSpace.find(text[end - 1]) != std::string_view::npos) --end;
  return {begin, end};
}

// Builds a SpokenText from a page's text (UTF-8), copying stretches of it and putting text
// of its own between them. Copies go forward through the page.
class SpokenBuilder {
 public:
  explicit SpokenBuilder(std::string_view page) : page_(page) {}

  // Copies the page's bytes [begin, end), with their tabs read as spaces when asked; a
  // line feed among them is copied too, but starts a new run.
  void copy(size_t begin, size_t end, bool tabsAsSpaces = false) {
    seek(begin);
    while (cursor_ < end) {
      const size_t lineEnd = std::min(end, page_.find('\n', cursor_));
      if (lineEnd > cursor_) {
        SpokenText::Run run{spokenChars_, pageChars_, 0, line_};
        for (size_t b = cursor_; b < lineEnd; ++b) {
          const char c = page_[b];
          spoken_.text += tabsAsSpaces && c == '\t' ? ' ' : c;
          if (!isContinuation(c)) ++run.length;
        }
        spoken_.runs.push_back(run);
        spokenChars_ += run.length;
        seek(lineEnd);
      }
      if (cursor_ < end) {  // the line feed
        spoken_.text += '\n';
        ++spokenChars_;
        seek(cursor_ + 1);
      }
    }
  }

  // Puts text of the server's own between copied stretches.
  void put(std::string_view text) {
    spoken_.text += text;
    for (char c : text)
      if (!isContinuation(c)) ++spokenChars_;
  }

  bool empty() const { return spoken_.text.empty(); }
  SpokenText take() { return std::move(spoken_); }

 private:
  static bool isContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

  // Moves the cursor forward to `byte`, counting the characters and lines passed.
  void seek(size_t byte) {
    for (; cursor_ < byte && cursor_ < page_.size(); ++cursor_) {
      if (!isContinuation(page_[cursor_])) ++pageChars_;
      if (page_[cursor_] == '\n') ++line_;
    }
  }

  std::string_view page_;
  size_t cursor_ = 0;     // bytes of the page passed
  size_t pageChars_ = 0;  // characters of the page before the cursor
  size_t line_ = 0;       // the page's line the cursor is on
  size_t spokenChars_ = 0;
  SpokenText spoken_;
};

// Appends the page's bytes [begin, end) as one sentence: trimmed, after a space when
// something was said before, closed with a full stop unless it already ends a sentence.
void appendSentence(SpokenBuilder& out, std::string_view page, size_t begin, size_t end,
                    bool tabsAsSpaces = false) {
  std::tie(begin, end) = trimmed(page, begin, end);
  if (begin == end) return;
  if (!out.empty()) out.put(" ");
  out.copy(begin, end, tabsAsSpaces);
  const char last = page[end - 1];
  if (last != '.' && last != '!' && last != '?' && last != ':') out.put(".");
}

// A menu: its heading (the first line without the "0" that marks it), then for each entry
// line its key and label ("1: Uudised."), each a sentence; a line without a tab is read
// as it stands. Further tab-separated fields of an entry are neither shown nor spoken.
SpokenText spokenMenu(std::string_view page) {
  SpokenBuilder out(page);
  size_t lineStart = 0;
  for (size_t line = 0; lineStart <= page.size(); ++line) {
    size_t lineEnd = page.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) lineEnd = page.size();
    size_t end = lineEnd;
    if (end > lineStart && page[end - 1] == '\r') --end;
    if (line == 0) {
      appendSentence(out, page, lineStart + 1, end, /*tabsAsSpaces=*/true);
    } else {
      const size_t tab = page.find('\t', lineStart);
      if (tab == std::string_view::npos || tab >= end) {
        appendSentence(out, page, lineStart, end);
      } else {
        const size_t labelEnd = std::min(page.find('\t', tab + 1), end);
        const auto [labelBegin, labelStop] = trimmed(page, tab + 1, labelEnd);
        // The key is the line's first character.
        size_t keyEnd = lineStart + 1;
        while (keyEnd < tab && (static_cast<unsigned char>(page[keyEnd]) & 0xC0) == 0x80) ++keyEnd;
        const bool key = kSpace.find(page[lineStart]) == std::string_view::npos;
        if (key || labelBegin < labelStop) {
          if (!out.empty()) out.put(" ");
          if (key) out.copy(lineStart, keyEnd);
          if (labelBegin < labelStop) {
            out.put(": ");
            out.copy(labelBegin, labelStop);
          }
          const char last = labelBegin < labelStop ? page[labelStop - 1] : page[keyEnd - 1];
          if (last != '.' && last != '!' && last != '?' && last != ':') out.put(".");
        }
      }
    }
    lineStart = lineEnd + 1;
  }
  if (out.empty()) out.put("Tühi menüü.");
  return out.take();
}

Message same(const std::string& text) {
  return Message{text, text};
}

}  // namespace

bool isMenuText(std::string_view text) {
  return !text.empty() && text[0] == '0';
}

SpokenText spokenPage(std::string_view utf8Text) {
  // The reader does not count a byte order mark among the page's characters either.
  if (utf8Text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    utf8Text.remove_prefix(kByteOrderMark.size());
  if (isMenuText(utf8Text)) return spokenMenu(utf8Text);
  SpokenBuilder out(utf8Text);
  const auto [begin, end] = trimmed(utf8Text, 0, utf8Text.size());
  if (begin == end)
    out.put("Lehekülg on tühi.");
  else
    out.copy(begin, end);
  return out.take();
}

SpokenText spokenAsIs(std::string_view utf8Text) {
  SpokenBuilder out(utf8Text);
  out.copy(0, utf8Text.size());
  return out.take();
}

std::string pageSpeech(std::string_view utf8Text) {
  return spokenPage(utf8Text).text;
}

Message clockMessage(const std::tm& localTime) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "Kell on %d:%02d.", localTime.tm_hour, localTime.tm_min);
  return same(buffer);
}

Message quitQuestionMessage() {
  return same("Kas soovid lugeja sulgeda? Sulgemiseks vajuta 1, jätkamiseks mõnda muud klahvi.");
}

Message rateQuestionMessage(const std::string& currentRate) {
  return same(
      "Vali kõnekiirus. Aeglase kõne jaoks vajuta 1, tavalise jaoks 2, kiire jaoks 3. "
      "Escape jätab kiiruse samaks. Praegu on kiirus " +
      currentRate + ".");
}

Message voiceQuestionMessage(const std::string& currentVoice) {
  // The keys 1 to 6 choose the voices 0 to 5, so the current voice is told by its key.
  int key = currentVoice.empty() ? 1 : currentVoice[0] - '0' + 1;
  return same(
      "Vali hääl: vajuta klahvi 1 kuni 6. Escape jätab hääle samaks. Praegu on valitud hääl " +
      std::to_string(key) + ".");
}

Message statusMessage(const StatusName& status) {
  std::string text = "Olekuteade.";
  if (status.lastKey)
    text += std::string(" Lehekülje aadressi viimane klahv on ") + *status.lastKey + ".";
  else
    text += " Lehekülje aadress on tühi.";
  text += status.keyNamesSpoken ? " Klahvide nimed öeldakse." : " Klahvide nimesid ei öelda.";
  text += status.numLockOn ? " Numbrilukk on sees." : " Numbrilukk on väljas.";
  const std::string& tag = status.versionTag;
  bool dateTag = tag.size() == 8 && tag.find_first_not_of("0123456789") == std::string::npos;
  // A tag of eight digits is a date: read as year, month and day, not as one number.
  text += " Lugeja versioon " +
          (dateTag ? tag.substr(0, 4) + " " + tag.substr(4, 2) + " " + tag.substr(6, 2) : tag) +
          ".";
  return same(text);
}

Message accessDeniedMessage() {
  return same("Vale juurdepääsukood. Vajuta F9 ja sisesta õige kood.");
}

Message pageNotFoundMessage(std::string_view q) {
  Message m = same("Lehekülge ei leitud.");
  std::string name = printableName(q);
  if (!name.empty()) m.text = "Lehekülge ei leitud: " + name;
  return m;
}

Message pageTooLargeMessage() {
  return same("Lehekülg on liiga suur.");
}

Message pageUnreadableMessage() {
  return same("Lehekülge ei saa lugeda.");
}

Message queryProblemMessage(QueryProblem problem, std::string_view key) {
  switch (problem) {
    case QueryProblem::UnknownKey: {
      Message m = same("Vigane päring: tundmatu võti.");
      m.text = "Vigane päring: tundmatu võti \"" + printableName(key) + "\".";
      return m;
    }
    case QueryProblem::DuplicateKey:
      return same("Vigane päring: võti " + std::string(key) + " on antud mitu korda.");
    case QueryProblem::MissingKey:
      return same("Vigane päring: võti " + std::string(key) + " puudub.");
    case QueryProblem::BadRate:
      return same("Vigane päring: kõnekiirus s peab olema 1, 2 või 3.");
    case QueryProblem::BadVoice:
      return same("Vigane päring: hääl v peab olema 0 kuni 5.");
    case QueryProblem::BadSpeechFlag:
      return same("Vigane päring: võtme w väärtus saab olla 1 või 2.");
    case QueryProblem::BadId:
      return same("Vigane päring: päringu number ID peab olema arv.");
    case QueryProblem::None:
      break;
  }
  return same("Vigane päring.");
}

Message serverErrorMessage() {
  return same("Serveri viga.");
}

Message httpErrorMessage(int status) {
  return same("Viga " + std::to_string(status));
}

Message headersTooLargeMessage() {
  return same("Request header fields too large");
}

std::string printableName(std::string_view name, size_t limit) {
  std::string out;
  for (char c : name) {
    if (out.size() >= limit) break;
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return out;
}
