#include "server_texts.h"

#include <cstdio>
#include <vector>

namespace {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

std::string_view trim(std::string_view s) {
  const char* space = " \t\r\n\f\v";
  auto first = s.find_first_not_of(space);
  if (first == std::string_view::npos) return {};
  auto last = s.find_last_not_of(space);
  return s.substr(first, last - first + 1);
}

// Appends one sentence, closing it with a full stop unless it already ends a sentence.
void appendSentence(std::string& out, std::string_view sentence) {
  sentence = trim(sentence);
  if (sentence.empty()) return;
  if (!out.empty()) out += ' ';
  out += sentence;
  char last = sentence.back();
  if (last != '.' && last != '!' && last != '?' && last != ':') out += '.';
}

Message same(const std::string& text) {
  return Message{text, text};
}

}  // namespace

bool isMenuText(std::string_view text) {
  return !text.empty() && text[0] == '0';
}

std::string pageSpeech(std::string_view utf8Text) {
  std::string speech;
  if (!isMenuText(utf8Text)) {
    std::string_view body = trim(utf8Text);
    return body.empty() ? std::string("Lehekülg on tühi.") : std::string(body);
  }
  auto lines = splitLines(utf8Text);
  // The heading follows the "0" that marks the menu; its tab-separated fields are read
  // as one sentence.
  std::string heading(lines[0].substr(1));
  for (char& c : heading)
    if (c == '\t') c = ' ';
  appendSentence(speech, heading);
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (trim(line).empty()) continue;
    auto tab = line.find('\t');
    if (tab == std::string_view::npos) {
      appendSentence(speech, line);
      continue;
    }
    std::string_view label = line.substr(tab + 1);
    label = label.substr(0, label.find('\t'));
    std::string entry(line.substr(0, 1));
    if (!trim(label).empty()) entry += ": " + std::string(trim(label));
    appendSentence(speech, entry);
  }
  if (speech.empty()) speech = "Tühi menüü.";
  return speech;
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
      return same("Vigane päring: võtme w väärtus saab olla ainult 1.");
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
