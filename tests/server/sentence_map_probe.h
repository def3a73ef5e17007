// Reads a sentence map answer for tests and benchmarks: {"sentences": [{"start": ..,
// "end": .., "from": .., "to": .., "paragraph": ..}, ...]} exactly in that form, or
// nothing. Header only.
#pragma once

#include <cctype>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct MappedSentence {
  long start = 0, end = 0, from = 0, to = 0, paragraph = 0;
};

inline std::optional<std::vector<MappedSentence>> parseSentenceMap(std::string_view json) {
  auto take = [&json](std::string_view text) {
    if (json.substr(0, text.size()) != text) return false;
    json.remove_prefix(text.size());
    return true;
  };
  auto number = [&json](long& value) {
    size_t digits = 0;
    while (digits < json.size() && std::isdigit(static_cast<unsigned char>(json[digits]))) ++digits;
    if (digits == 0 || digits > 12) return false;
    value = std::stol(std::string(json.substr(0, digits)));
    json.remove_prefix(digits);
    return true;
  };
  std::vector<MappedSentence> sentences;
  if (!take("{\"sentences\": [")) return std::nullopt;
  while (!take("]}")) {
    if (!sentences.empty() && !take(", ")) return std::nullopt;
    MappedSentence s;
    if (!take("{\"start\": ") || !number(s.start) || !take(", \"end\": ") || !number(s.end) ||
        !take(", \"from\": ") || !number(s.from) || !take(", \"to\": ") || !number(s.to) ||
        !take(", \"paragraph\": ") || !number(s.paragraph) || !take("}"))
      return std::nullopt;
    sentences.push_back(s);
  }
  if (!json.empty()) return std::nullopt;
  return sentences;
}
