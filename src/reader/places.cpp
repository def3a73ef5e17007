#include "reader/places.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "base/file_write.h"

namespace {

constexpr char kHeader[] = "talking-reader places 1";

// A page path may hold any byte but the line end: kept as hexadecimal digits.
std::string Hex(const std::string& bytes) {
  return QByteArray::fromStdString(bytes).toHex().toStdString();
}
std::string Unhex(const std::string& hex) {
  return QByteArray::fromHex(QByteArray::fromStdString(hex)).toStdString();
}

// One field of the file: nothing that would break its line or its columns.
bool Plain(const std::string& field) {
  return std::none_of(field.begin(), field.end(),
                      [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

bool ParseLine(const std::string& line, Place& p) {
  std::istringstream in(line);
  std::string stamp, page, sentence, ms;
  if (!std::getline(in, stamp, '\t') || !std::getline(in, p.server, '\t') ||
      !std::getline(in, page, '\t') || !std::getline(in, p.text, '\t') ||
      !std::getline(in, sentence, '\t') || !std::getline(in, ms, '\t') ||
      !std::getline(in, p.rate, '\t') || !std::getline(in, p.voice))
    return false;
  char* end = nullptr;
  p.stamp = std::strtoull(stamp.c_str(), &end, 10);
  if (end == stamp.c_str() || *end != '\0') return false;
  const long s = std::strtol(sentence.c_str(), &end, 10);
  if (end == sentence.c_str() || *end != '\0' || s < -1 || s > INT32_MAX) return false;
  const long m = std::strtol(ms.c_str(), &end, 10);
  if (end == ms.c_str() || *end != '\0' || m < 0 || m > INT32_MAX) return false;
  p.sentence = static_cast<int32_t>(s);
  p.ms = static_cast<int32_t>(m);
  p.page = Unhex(page);
  return !p.page.empty() && !p.server.empty();
}

// The reader's own folder for the file, made (with the folders above it) when missing, and
// used only when it is a private folder of this user's, never a link.
bool PrivateFolder(const std::string& folder) {
  if (folder.empty()) return false;
  for (size_t at = 1; (at = folder.find('/', at)) != std::string::npos; ++at) {
    ::mkdir(folder.substr(0, at).c_str(), 0700);
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
    return false;
  return (st.st_mode & 077) == 0 || ::chmod(folder.c_str(), 0700) == 0;
}

}  // namespace

PlaceBook::PlaceBook(std::string path) : path_(std::move(path)) {
  Load();
}

std::optional<Place> PlaceBook::Find(const std::string& server, const std::string& page) const {
  for (const Place& p : places_) {
    if (p.server == server && p.page == page) return p;
  }
  return std::nullopt;
}

std::optional<Place> PlaceBook::Last(const std::string& server) const {
  const auto last = std::find_if(places_.rbegin(), places_.rend(),
                                 [&](const Place& p) { return p.server == server; });
  if (last == places_.rend()) return std::nullopt;
  return *last;
}

void PlaceBook::Remember(Place place) {
  if (!Plain(place.server) || !Plain(place.text) || !Plain(place.rate) || !Plain(place.voice) ||
      place.page.empty())
    return;
  places_.erase(std::remove_if(places_.begin(), places_.end(),
                               [&](const Place& p) {
                                 return p.server == place.server && p.page == place.page;
                               }),
                places_.end());
  place.stamp = ++stamp_;
  places_.push_back(std::move(place));
  KeepTheNewest();
  Save();
}

void PlaceBook::Forget(const std::string& server, const std::string& page) {
  const size_t before = places_.size();
  places_.erase(
      std::remove_if(places_.begin(), places_.end(),
                     [&](const Place& p) { return p.server == server && p.page == page; }),
      places_.end());
  if (places_.size() != before) Save();
}

std::string PlaceBook::Fingerprint(const std::string& utf8Text) {
  return QCryptographicHash::hash(QByteArray::fromStdString(utf8Text), QCryptographicHash::Sha256)
      .toHex()
      .left(32)
      .toStdString();
}

void PlaceBook::KeepTheNewest() {
  if (places_.size() <= kMostPlaces) return;
  places_.erase(places_.begin(),
                places_.begin() + static_cast<std::ptrdiff_t>(places_.size() - kMostPlaces));
}

void PlaceBook::Load() {
  if (path_.empty()) return;
  std::ifstream in(path_);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return;
  while (std::getline(in, line)) {
    Place p;
    if (ParseLine(line, p)) places_.push_back(std::move(p));
  }
  std::sort(places_.begin(), places_.end(),
            [](const Place& a, const Place& b) { return a.stamp < b.stamp; });
  KeepTheNewest();
  if (!places_.empty()) stamp_ = places_.back().stamp;
}

void PlaceBook::Save() {
  if (path_.empty()) return;
  std::string text = std::string(kHeader) + "\n";
  for (const Place& p : places_) {
    text += std::to_string(p.stamp) + '\t' + p.server + '\t' + Hex(p.page) + '\t' + p.text + '\t' +
            std::to_string(p.sentence) + '\t' + std::to_string(p.ms) + '\t' + p.rate + '\t' +
            p.voice + '\n';
  }
  const size_t slash = path_.rfind('/');
  const int error = PrivateFolder(path_.substr(0, slash == std::string::npos ? 0 : slash))
                        ? tr_base::WriteFileAtomically(path_, text, {.mode = 0600})
                        : EACCES;
  if (error != 0 && !saveFailed_) {
    saveFailed_ = true;
    std::fprintf(stderr,
                 "talking-reader: %s: cannot be written (%s); places in pages are kept "
                 "for this run only\n",
                 path_.c_str(), std::strerror(error));
  }
}

std::string DefaultPlacesPath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/talking-reader/places";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/state/talking-reader/places";
  }
  return {};
}
