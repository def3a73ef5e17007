#include "page_name.h"

namespace {

bool isKeyCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

bool isTagCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool isValidPagePath(const std::string& q) {
  if (q.empty() || q.size() > kMaxPagePathLength || q[0] != '0') return false;
  for (char c : q)
    if (!isKeyCharacter(c)) return false;
  return true;
}

std::optional<StatusName> parseStatusName(const std::string& q) {
  StatusName status;
  size_t pos = 0;
  auto take = [&](const char* piece) {
    std::string p(piece);
    if (q.compare(pos, p.size(), p) != 0) return false;
    pos += p.size();
    return true;
  };
  auto flag = [&](const char* piece, bool& out) {
    if (!take(piece) || pos >= q.size() || (q[pos] != '0' && q[pos] != '1')) return false;
    out = q[pos++] == '1';
    return true;
  };

  if (!take("9")) return std::nullopt;
  if (take(".k")) {
    if (pos >= q.size() || !isTagCharacter(q[pos])) return std::nullopt;
    status.lastKey = q[pos++];
  }
  if (!flag(".s", status.keyNamesSpoken) || !flag(".n", status.numLockOn) || !take(".v"))
    return std::nullopt;
  status.versionTag = q.substr(pos);
  if (status.versionTag.empty() || status.versionTag.size() > 16) return std::nullopt;
  for (char c : status.versionTag)
    if (!isTagCharacter(c)) return std::nullopt;
  return status;
}

PageName classifyPageName(const std::string& q) {
  PageName name;
  if (isValidPagePath(q))
    name.kind = PageKind::Path;
  else if (q == "1kellaaeg.txt")
    name.kind = PageKind::Clock;
  else if (q == "1lopetamine.txt")
    name.kind = PageKind::QuitQuestion;
  else if (q == "1muudakiirust.txt")
    name.kind = PageKind::RateQuestion;
  else if (q == "1muudahaalt.txt")
    name.kind = PageKind::VoiceQuestion;
  else if (auto status = parseStatusName(q)) {
    name.kind = PageKind::Status;
    name.status = *status;
  }
  return name;
}
