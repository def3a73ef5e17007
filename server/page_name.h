// What a page name (the q of a request) refers to. Only a name that passes these rules
// ever becomes a file name, so no request can reach outside the pages folder.
#pragma once

#include <optional>
#include <string>

enum class PageKind {
  Path,           // "0" then one key character (digit or capital letter) per level
  Clock,          // "1kellaaeg.txt"
  QuitQuestion,   // "1lopetamine.txt"
  RateQuestion,   // "1muudakiirust.txt"
  VoiceQuestion,  // "1muudahaalt.txt"
  Status,         // "9[.kK].sS.nN.vTAG"
  Unknown,
};

// The reader's state as a status page name encodes it.
struct StatusName {
  std::optional<char> lastKey;  // ".k" and the page path's last character
  bool keyNamesSpoken = false;  // ".s1"
  bool numLockOn = false;       // ".n1"
  std::string versionTag;       // after ".v"
};

struct PageName {
  PageKind kind = PageKind::Unknown;
  StatusName status;  // for Status
};

constexpr size_t kMaxPagePathLength = 64;

PageName classifyPageName(const std::string& q);
std::optional<StatusName> parseStatusName(const std::string& q);
bool isValidPagePath(const std::string& q);
