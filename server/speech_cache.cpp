#include "speech_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "mp3_encoder.h"

namespace {

// Bumped whenever what a key sounds like changes (voices, rates, encoding), so that old
// entries are no longer found.
constexpr const char* kFormatTag = "talking-reader-speech-1";
constexpr const char* kTempMarker = ".tmp.";
constexpr time_t kStaleTempSeconds = 600;

void makeDirs(const std::string& dir) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    partial = dir.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
      throw SpeechCacheError("cannot create cache folder " + partial + ": " + std::strerror(errno));
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw SpeechCacheError("cache folder " + dir + " is not a folder");
  if (::access(dir.c_str(), W_OK | X_OK) != 0)
    throw SpeechCacheError("cache folder " + dir + " is not writable: " + std::strerror(errno));
}

// Removes temporary files that a crashed writer left behind. Recent ones may belong to
// another server writing into the same folder right now, so they are left alone.
void removeStaleTemporaries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return;
  time_t now = ::time(nullptr);
  while (dirent* e = ::readdir(d)) {
    if (!std::strstr(e->d_name, kTempMarker)) continue;
    std::string path = dir + "/" + e->d_name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        now - st.st_mtime > kStaleTempSeconds)
      ::unlink(path.c_str());
  }
  ::closedir(d);
}

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Counts a request as pending for synthesis while it lives.
class PendingSlot {
 public:
  PendingSlot(std::atomic<int>& pending, int max) : pending_(pending) {
    if (pending_.fetch_add(1) >= max) {
      pending_.fetch_sub(1);
      throw SpeechBusy("too many requests are waiting for speech synthesis");
    }
  }
  ~PendingSlot() { pending_.fetch_sub(1); }
  PendingSlot(const PendingSlot&) = delete;
  PendingSlot& operator=(const PendingSlot&) = delete;

 private:
  std::atomic<int>& pending_;
};

}  // namespace

bool looksLikeSpeechEntry(const std::string& bytes) {
  if (bytes.size() < kMinSpeechBytes) return false;
  auto b0 = static_cast<unsigned char>(bytes[0]);
  auto b1 = static_cast<unsigned char>(bytes[1]);
  return b0 == 0xFF && (b1 & 0xE0) == 0xE0;
}

SpeechCache::SpeechCache(std::string dir, Synthesise synthesise, int maxPending, WarningSink warn)
    : dir_(std::move(dir)),
      synthesise_(std::move(synthesise)),
      maxPending_(maxPending),
      warn_(std::move(warn)) {
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  makeDirs(dir_);
  removeStaleTemporaries(dir_);
}

std::string SpeechCache::entryName(const SpeechKey& key) {
  std::string material =
      std::string(kFormatTag) + '\0' + key.rate + '\0' + key.voice + '\0' + key.text;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(material.data(), material.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw SpeechCacheError("SHA-256 failed");
  static const char* hex = "0123456789abcdef";
  std::string name;
  for (unsigned int i = 0; i < length; ++i) {
    name += hex[digest[i] >> 4];
    name += hex[digest[i] & 15];
  }
  return name + ".mp3";
}

std::optional<std::string> SpeechCache::readEntry(const std::string& name) const {
  std::string path = dir_ + "/" + name;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (64 << 20)) {
    ::close(fd);
    return std::nullopt;
  }
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(done);
  if (!looksLikeSpeechEntry(bytes)) return std::nullopt;
  return bytes;
}

void SpeechCache::writeEntry(const std::string& name, const std::string& bytes) const {
  std::string temp = dir_ + "/" + name + kTempMarker + "XXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    if (warn_) warn_("cannot write cache entry in " + dir_ + ": " + std::strerror(errno));
    return;
  }
  // Flushed to disk before the rename, so that after a power loss the name never points
  // at a file whose data did not reach the disk.
  bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), (dir_ + "/" + name).c_str()) == 0;
  if (!ok) {
    int error = errno;
    ::unlink(temp.c_str());
    if (warn_) warn_("cannot write cache entry " + name + ": " + std::strerror(error));
  }
}

std::string SpeechCache::synthesiseCounted(const SpeechKey& key) {
  ++syntheses_;
  return synthesise_(key);
}

std::string SpeechCache::get(const SpeechKey& key) {
  const std::string name = entryName(key);
  if (auto cached = readEntry(name)) {
    ++hits_;
    return std::move(*cached);
  }

  PendingSlot slot(pending_, maxPending_);
  std::promise<std::string> promise;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (auto it = inFlight_.find(name); it != inFlight_.end()) {
      auto future = it->second;
      lock.unlock();
      ++hits_;
      return future.get();
    }
    // The entry may have been finished between the read above and taking the lock.
    if (auto cached = readEntry(name)) {
      ++hits_;
      return std::move(*cached);
    }
    inFlight_.emplace(name, promise.get_future().share());
  }

  std::string bytes;
  std::exception_ptr failure;
  try {
    bytes = synthesiseCounted(key);
    writeEntry(name, bytes);
    promise.set_value(bytes);
  } catch (...) {
    failure = std::current_exception();
    promise.set_exception(failure);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    inFlight_.erase(name);
  }
  if (failure) std::rethrow_exception(failure);
  return bytes;
}

std::string SpeechCache::getUncached(const SpeechKey& key) {
  PendingSlot slot(pending_, maxPending_);
  return synthesiseCounted(key);
}
