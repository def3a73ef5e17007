// Reads pages from a folder of text files, one per page path ("0.txt", "01.txt", ...).
// The caller passes only names that isValidPagePath accepted. Stateless apart from the
// folder name; safe from any thread.
#pragma once

#include <string>

struct PageFile {
  enum class Status { Ok, Missing, TooLarge, Unreadable };
  Status status = Status::Missing;
  std::string text;  // the bytes as stored
};

class PageStore {
 public:
  static constexpr size_t kMaxPageBytes = 1 << 20;

  explicit PageStore(std::string dir) : dir_(std::move(dir)) {}
  const std::string& dir() const { return dir_; }

  PageFile read(const std::string& pagePath) const;

 private:
  std::string dir_;
};
