// THeaderList: the lines of a request header (each without its line end; the first line
// is the request line), with look-up and replacement by header name. THeaderInfo: the
// values for the optional request header lines. Plain values, no threading concerns.
#pragma once

#include <string>
#include <vector>

class THeaderList {
 public:
  // Index of the first line whose text before its first ":" equals `name` without regard
  // to letter case; lines without ":" are skipped. -1 when there is none.
  int IndexOfHeader(const std::string& name) const;
  // With a non-empty value: line "name: value" replaces the line found by IndexOfHeader,
  // or is appended. With an empty value: the line found, if any, is deleted.
  void SetHeader(const std::string& name, const std::string& value);

  int Count() const { return static_cast<int>(Lines_.size()); }
  const std::string& operator[](int index) const { return Lines_.at(static_cast<size_t>(index)); }
  void Add(std::string line) { Lines_.push_back(std::move(line)); }
  void Insert(int index, std::string line);
  void Delete(int index);
  void Clear() { Lines_.clear(); }
  const std::vector<std::string>& Lines() const { return Lines_; }

 private:
  std::vector<std::string> Lines_;
};

class THeaderInfo {
 public:
  std::string LocalMailAddress;  // the From line
  std::string LocalProgram;      // the User-Agent line
  std::string Cookie;
  std::string Referer;
  std::string UserId;
  std::string Password;
};
