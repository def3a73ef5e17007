// Where the user left the pages they did not hear to their end, kept across runs so that
// a page read again continues there. One place per page of a server: the sentence the user
// was in (when the page had a sentence map), and its position in milliseconds less a few
// seconds (for a page without one, at the speech rate and voice it was heard at), with a
// fingerprint of the page's text, so that a page whose text has changed starts afresh.
// At most kMostPlaces places; the one left longest ago goes first.
//
// The file is the user's own: written privately (0600 in a 0700 folder) and atomically,
// never through a link. A file that cannot be read holds no places; one that cannot be
// written leaves the places of this run in memory, and says so on standard error once.
//
// GUI thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Place {
  std::string server;     // host:port
  std::string page;       // the page path
  std::string text;       // fingerprint of the page's text
  int32_t sentence = -1;  // the sentence the user was in; -1 without a map
  int32_t ms = 0;         // where to go on without the map
  std::string rate;       // the speech rate and voice `ms` counts in
  std::string voice;
  uint64_t stamp = 0;  // orders the places: the greatest was left last
};

class PlaceBook {
 public:
  static constexpr size_t kMostPlaces = 1000;

  // `path`: the file; empty keeps the places in memory only.
  explicit PlaceBook(std::string path);

  std::optional<Place> Find(const std::string& server, const std::string& page) const;
  // The place left last on `server`.
  std::optional<Place> Last(const std::string& server) const;
  // Keeps `place` as the newest, in place of an older one of the same page.
  void Remember(Place place);
  void Forget(const std::string& server, const std::string& page);

  // The fingerprint of a page's text.
  static std::string Fingerprint(const std::string& utf8Text);

 private:
  void Load();
  void Save();
  // At most kMostPlaces: the oldest go.
  void KeepTheNewest();

  std::string path_;
  std::vector<Place> places_;  // oldest first
  uint64_t stamp_ = 0;
  bool saveFailed_ = false;
};

// $XDG_STATE_HOME/talking-reader/places, or ~/.local/state/talking-reader/places; empty
// when neither can be named.
std::string DefaultPlacesPath();
