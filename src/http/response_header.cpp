#include "http/response_header.h"

#include <charconv>

#include "http/limit_error.h"

namespace {

std::string LowerAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string WithoutLineEnd(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The value of `line` from character `column` on, without its line end, cut to kMaxValue;
// nothing when it holds a control character other than a tab.
std::optional<std::string> ValueFrom(const std::string& line, size_t column) {
  std::string value = WithoutLineEnd(line.size() > column ? line.substr(column) : "")
                          .substr(0, TResponseHeader::kMaxValue);
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return std::nullopt;
  }
  return value;
}

}  // namespace

int16_t StatusOfLine(const std::string& line) {
  const std::string text = WithoutLineEnd(line);
  size_t start = text.find_first_not_of(' ');
  start = start == std::string::npos ? start : text.find(' ', start);
  start = start == std::string::npos ? start : text.find_first_not_of(' ', start);
  if (start == std::string::npos) return 0;
  const size_t end = text.find(' ', start);
  const std::string field = text.substr(start, end == std::string::npos ? end : end - start);
  const char* first = field.data();
  const char* last = first + field.size();
  if (first != last && *first == '+') ++first;
  int16_t status = 0;
  const auto [stop, error] = std::from_chars(first, last, status);
  return first != last && error == std::errc() && stop == last ? status : int16_t{0};
}

bool TResponseHeader::Add(const std::string& line) {
  Bytes_ += line.size();
  ++Lines_;
  if (Bytes_ > MaxBytes_) {
    throw ELimitError("Response header larger than " + tr_http::SizeText(MaxBytes_));
  }
  if (Lines_ > MaxLines_) {
    throw ELimitError("Response header longer than " + std::to_string(MaxLines_) + " lines");
  }
  if (Lines_ == 1) {
    HasStatus_ = !line.empty();
    if (HasStatus_) Status_ = StatusOfLine(line);
    return false;
  }
  const std::string word = LowerAscii(line.substr(0, line.find(' ')));
  // "Set-Cookie: " and "Location: " take 12 and 10 characters.
  if (word == "set-cookie:") {
    if (auto value = ValueFrom(line, 12)) Cookie_ = std::move(value);
  } else if (word == "location:") {
    if (auto value = ValueFrom(line, 10)) Location_ = std::move(value);
  }
  return line == "\r\n" || line == "\n" || line.empty();
}
