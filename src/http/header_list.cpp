#include "http/header_list.h"

#include <stdexcept>

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const std::string& a, size_t aLength, const std::string& b) {
  if (aLength != b.size()) return false;
  for (size_t i = 0; i < aLength; ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

int THeaderList::IndexOfHeader(const std::string& name) const {
  for (size_t i = 0; i < Lines_.size(); ++i) {
    const size_t colon = Lines_[i].find(':');
    if (colon != std::string::npos && EqualNoCase(Lines_[i], colon, name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void THeaderList::SetHeader(const std::string& name, const std::string& value) {
  int index = IndexOfHeader(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  if (index < 0) {
    Lines_.emplace_back();
    index = Count() - 1;
  }
  Lines_[static_cast<size_t>(index)] = name + ": " + value;
}

void THeaderList::Insert(int index, std::string line) {
  if (index < 0 || index > Count()) throw std::out_of_range("THeaderList::Insert");
  Lines_.insert(Lines_.begin() + index, std::move(line));
}

void THeaderList::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("THeaderList::Delete");
  Lines_.erase(Lines_.begin() + index);
}
