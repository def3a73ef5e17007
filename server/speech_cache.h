// Synthesised speech kept on disk, one MP3 file per spoken text, speech rate and voice,
// with the sentence marks of the same synthesis beside it, and the syntheses that make
// them, whose bytes are handed out while they are being made.
//
// Threading: open() may be called from any number of threads. A cached answer is read from
// disk without taking any lock that a synthesis holds, so it never waits for synthesis of
// other pages. Syntheses run one at a time on the cache's own thread, in the order asked.
// Requests for the same text that arrive while it is being synthesised read that one
// synthesis instead of starting another. A synthesis that nobody reads any more stops.
// Entries are written to a temporary file and renamed into place once complete, so a
// crash leaves either the whole entry or none; the marks go first, so speech on disk
// always has its marks unless they were lost (they are then made again, with the speech).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/exception.h"
#include "base/unique_fd.h"
#include "sentence_map.h"

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

// A synthesis ended before its end because the cache was stopped.
class SpeechStopped : public Exception {
 public:
  using Exception::Exception;
};

class SpeechCache;
struct SpeechJob;

// One request's speech: a stored entry, read from its file as it is sent, or a synthesis
// to read while it runs. Move-only. Letting go of it (destruction) stops a synthesis that
// no other request reads. Use from one thread at a time.
class SpeechAnswer {
 public:
  enum class Status {
    Data,     // bytes follow
    Waiting,  // none yet beyond the offset; ask again
    End,      // the speech is complete; no bytes beyond the offset
    Failed,   // the synthesis failed or was stopped; no more bytes will come
  };
  struct Chunk {
    Status status = Status::Waiting;
    std::string bytes;
  };

  SpeechAnswer() = default;
  ~SpeechAnswer();
  SpeechAnswer(SpeechAnswer&& other) noexcept;
  SpeechAnswer& operator=(SpeechAnswer&& other) noexcept;
  SpeechAnswer(const SpeechAnswer&) = delete;
  SpeechAnswer& operator=(const SpeechAnswer&) = delete;

  // The length of the whole speech when it is known from the start (a stored entry).
  std::optional<size_t> size() const;

  // At most `maxBytes` bytes from `offset` on, waiting up to `wait` for them while the
  // synthesis runs. Failed also when a stored entry cannot be read.
  Chunk read(size_t offset, size_t maxBytes, std::chrono::milliseconds wait);
  // Blocks until the synthesis has made its first bytes (or ended). Throws what the
  // synthesis threw when it failed before making any.
  void waitForStart();
  // Blocks until the end and returns every byte. Throws what the synthesis threw.
  std::string readAll();
  // Blocks until the synthesis has ended and returns its sentence marks. Throws what the
  // synthesis threw; a stored entry has none here (SpeechCache::marks reads them).
  std::vector<SentenceMark> marks();

 private:
  friend class SpeechCache;
  SpeechAnswer(tr_base::UniqueFd fd, size_t size) : fd_(std::move(fd)), size_(size) {}
  SpeechAnswer(SpeechCache* cache, std::shared_ptr<SpeechJob> job);
  void release();

  tr_base::UniqueFd fd_;  // a stored entry's file, open for reading
  size_t size_ = 0;
  SpeechCache* cache_ = nullptr;
  std::shared_ptr<SpeechJob> job_;
};

// What a synthesis hands its results to: the MP3 bytes as it makes them, and at the end
// the sentence marks of what it made.
class SpeechOutput {
 public:
  using Bytes = std::function<bool(std::string_view)>;
  using Marks = std::function<void(std::vector<SentenceMark>)>;
  SpeechOutput(Bytes bytes, Marks marks) : bytes_(std::move(bytes)), marks_(std::move(marks)) {}

  // Takes MP3 bytes; false when the synthesis should stop (nobody wants it any more).
  bool operator()(std::string_view bytes) const { return bytes_(bytes); }
  // Takes the sentence marks of the whole speech, once it is made. A synthesis that
  // gives none has no sentences.
  void marks(std::vector<SentenceMark> marks) const { marks_(std::move(marks)); }

 private:
  Bytes bytes_;
  Marks marks_;
};

class SpeechCache {
 public:
  using Output = SpeechOutput;
  // Makes the MP3 bytes for a key and hands them to the output as it goes, then its
  // marks; may throw. Runs on the cache's synthesis thread. Returns early when the output
  // returns false.
  using Synthesise = std::function<void(const SpeechKey&, const Output&)>;
  // Told about an entry that could not be written (the answer is still served).
  using WarningSink = std::function<void(const std::string&)>;

  // Creates `dir` (mode 0700) when missing and removes stale temporary files left by a
  // crash. `maxPending` bounds the requests that may wait for or read a synthesis that
  // is not finished; beyond it open() throws SpeechBusy. Throws SpeechCacheError when
  // `dir` is unusable.
  SpeechCache(std::string dir, Synthesise synthesise, int maxPending = 1 << 20,
              WarningSink warn = {});
  // Stops (see stop()).
  ~SpeechCache();
  SpeechCache(const SpeechCache&) = delete;
  SpeechCache& operator=(const SpeechCache&) = delete;

  // The speech for the key: from disk when cached, else from the synthesis of it that
  // runs or is started now; stored once it is complete. Throws SpeechBusy, or
  // SpeechStopped after stop().
  SpeechAnswer open(const SpeechKey& key);
  // Synthesises without storing or sharing (for texts that change all the time, such as
  // the clock), still bounded by maxPending.
  SpeechAnswer openUncached(const SpeechKey& key);

  // The sentence marks of the key's speech: from disk when stored beside it, else from the
  // synthesis that runs or is started now (and then stored with its speech); waits for
  // the synthesis to end. Throws SpeechBusy, SpeechStopped, or what the synthesis threw.
  std::vector<SentenceMark> marks(const SpeechKey& key);
  // The same from a synthesis that is neither stored nor shared.
  std::vector<SentenceMark> marksUncached(const SpeechKey& key);

  // open(key).readAll() and openUncached(key).readAll().
  std::string get(const SpeechKey& key) { return open(key).readAll(); }
  std::string getUncached(const SpeechKey& key) { return openUncached(key).readAll(); }

  // Ends every synthesis that has not finished (its readers see Failed) and the
  // synthesis thread. Later requests that would need a synthesis throw SpeechStopped.
  void stop();

  // The file name (without folder) of a key's entry: a SHA-256 of the key, in hex.
  static std::string entryName(const SpeechKey& key);
  std::string entryPath(const SpeechKey& key) const { return dir_ + "/" + entryName(key); }
  const std::string& dir() const { return dir_; }

  uint64_t hits() const { return hits_; }
  uint64_t syntheses() const { return syntheses_; }

 private:
  friend class SpeechAnswer;

  // Opens a stored entry that looks whole.
  std::optional<SpeechAnswer> openEntry(const std::string& name) const;
  // The marks stored beside a whole entry.
  std::optional<std::vector<SentenceMark>> storedMarks(const std::string& name) const;
  void writeEntry(const std::string& name, const std::string& bytes,
                  const std::vector<SentenceMark>& marks) const;
  SpeechAnswer start(const SpeechKey& key, const std::string& name, bool cacheable);
  // Adds a reader to an unfinished job; the cache's mutex is held.
  SpeechAnswer join(const std::shared_ptr<SpeechJob>& job);
  void leave(const std::shared_ptr<SpeechJob>& job);
  void cancelLocked(const std::shared_ptr<SpeechJob>& job);
  void runSyntheses();
  void run(const std::shared_ptr<SpeechJob>& job);

  std::string dir_;
  Synthesise synthesise_;
  int maxPending_;
  WarningSink warn_;

  std::mutex mutex_;  // guards everything below up to the counters, and job reader counts
  std::condition_variable wake_;
  std::map<std::string, std::shared_ptr<SpeechJob>> inFlight_;  // by entry name
  std::deque<std::shared_ptr<SpeechJob>> queue_;
  std::shared_ptr<SpeechJob> running_;
  int pending_ = 0;  // readers of unfinished jobs
  bool stopping_ = false;
  std::thread thread_;

  std::atomic<uint64_t> hits_{0};
  std::atomic<uint64_t> syntheses_{0};
};

// Whether a file of `size` bytes that starts with `start` looks like a complete speech
// entry: long enough and starting with an MPEG audio frame. A file that fails this is
// treated as absent and made again.
bool looksLikeSpeechEntry(std::string_view start, size_t size);
