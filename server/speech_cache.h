// Synthesised speech kept on disk, one MP3 file per spoken text, speech rate and voice.
//
// Threading: get() may be called from any number of threads. A cached answer is read from
// disk without taking any lock that a synthesis holds, so it never waits for synthesis of
// other pages. Requests for the same text that arrive while it is being synthesised wait
// for that one synthesis instead of starting another. Entries are written to a temporary
// file and renamed into place, so a crash leaves either the whole entry or none.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "base/exception.h"

struct SpeechKey {
  std::string text;   // UTF-8, as it is spoken
  std::string rate;   // "1".."3"
  std::string voice;  // "0".."5"
};

// Too many requests are already waiting for synthesis; try again later.
class SpeechBusy : public Exception {
 public:
  using Exception::Exception;
};

class SpeechCacheError : public Exception {
 public:
  using Exception::Exception;
};

class SpeechCache {
 public:
  // Produces the MP3 bytes for a key; may throw. Called on the requesting thread.
  using Synthesise = std::function<std::string(const SpeechKey&)>;
  // Told about an entry that could not be written (the answer is still served).
  using WarningSink = std::function<void(const std::string&)>;

  // Creates `dir` (mode 0700) when missing and removes stale temporary files left by a
  // crash. `maxPending` bounds the requests that may wait for or run a synthesis at once;
  // beyond it get() throws SpeechBusy. Throws SpeechCacheError when `dir` is unusable.
  SpeechCache(std::string dir, Synthesise synthesise, int maxPending = 1 << 20,
              WarningSink warn = {});

  // The speech for the key: from disk when cached, else synthesised once and stored.
  std::string get(const SpeechKey& key);

  // Synthesises without storing (for texts that change all the time, such as the clock),
  // still bounded by maxPending.
  std::string getUncached(const SpeechKey& key);

  // The file name (without folder) of a key's entry: a SHA-256 of the key, in hex.
  static std::string entryName(const SpeechKey& key);
  std::string entryPath(const SpeechKey& key) const { return dir_ + "/" + entryName(key); }
  const std::string& dir() const { return dir_; }

  uint64_t hits() const { return hits_; }
  uint64_t syntheses() const { return syntheses_; }

 private:
  std::optional<std::string> readEntry(const std::string& name) const;
  void writeEntry(const std::string& name, const std::string& bytes) const;
  std::string synthesiseCounted(const SpeechKey& key);

  std::string dir_;
  Synthesise synthesise_;
  int maxPending_;
  WarningSink warn_;
  std::mutex mutex_;
  std::map<std::string, std::shared_future<std::string>> inFlight_;
  std::atomic<int> pending_{0};
  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> syntheses_{0};
};

// Whether bytes look like a complete speech entry: long enough and starting with an MPEG
// audio frame. A file that fails this is treated as absent and made again.
bool looksLikeSpeechEntry(const std::string& bytes);
