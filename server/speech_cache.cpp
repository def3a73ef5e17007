#include "speech_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/file_write.h"
#include "base/regular_file.h"
#include "mp3_encoder.h"

namespace {

// Bumped whenever what a key sounds like changes (voices, rates, encoding), so that old
// entries are no longer found.
constexpr const char* kFormatTag = "talking-reader-speech-1";
// A page of a megabyte has far fewer sentences than this would hold.
constexpr size_t kMaxMarksBytes = size_t{4} << 20;

// The marks beside an entry "HASH.mp3": "HASH.marks".
std::string marksName(const std::string& entryName) {
  return entryName.substr(0, entryName.rfind('.')) + ".marks";
}
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
    if (std::string_view(e->d_name).find(tr_base::kTemporaryMarker) == std::string_view::npos)
      continue;
    std::string path = dir + "/" + e->d_name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        now - st.st_mtime > kStaleTempSeconds)
      ::unlink(path.c_str());
  }
  ::closedir(d);
}

}  // namespace

bool looksLikeSpeechEntry(std::string_view start, size_t size) {
  if (size < kMinSpeechBytes || start.size() < 2) return false;
  auto b0 = static_cast<unsigned char>(start[0]);
  auto b1 = static_cast<unsigned char>(start[1]);
  return b0 == 0xFF && (b1 & 0xE0) == 0xE0;
}

// One synthesis and the bytes it has made so far, shared by the requests that read it.
struct SpeechJob {
  SpeechKey key;
  std::string name;  // the entry's name; empty when the speech is not stored

  // Guarded by the cache's mutex.
  int readers = 0;       // counted while the job is not settled
  bool settled = false;  // finished or failed: readers no longer count as pending
  bool cancelled = false;

  // Read by the synthesis without a lock: set once the job is cancelled.
  std::atomic<bool> stop{false};

  // Guarded by `m`; `grown` is signalled whenever any of them changes.
  std::mutex m;
  std::condition_variable grown;
  std::string bytes;
  std::vector<SentenceMark> marks;  // given by the synthesis before it finishes
  bool finished = false;            // bytes hold the whole speech
  std::exception_ptr failure;
};

SpeechAnswer::SpeechAnswer(SpeechCache* cache, std::shared_ptr<SpeechJob> job)
    : cache_(cache), job_(std::move(job)) {}

SpeechAnswer::~SpeechAnswer() {
  release();
}

SpeechAnswer::SpeechAnswer(SpeechAnswer&& other) noexcept
    : fd_(std::move(other.fd_)),
      size_(other.size_),
      cache_(other.cache_),
      job_(std::move(other.job_)) {
  other.job_.reset();
}

SpeechAnswer& SpeechAnswer::operator=(SpeechAnswer&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::move(other.fd_);
    size_ = other.size_;
    cache_ = other.cache_;
    job_ = std::move(other.job_);
    other.job_.reset();
  }
  return *this;
}

void SpeechAnswer::release() {
  fd_.reset();
  if (job_ && cache_) cache_->leave(job_);
  job_.reset();
}

std::optional<size_t> SpeechAnswer::size() const {
  if (job_) return std::nullopt;
  return size_;
}

SpeechAnswer::Chunk SpeechAnswer::read(size_t offset, size_t maxBytes,
                                       std::chrono::milliseconds wait) {
  Chunk chunk;
  if (!job_) {
    if (offset >= size_) {
      chunk.status = Status::End;
      return chunk;
    }
    chunk.bytes.resize(std::min(maxBytes, size_ - offset));
    ssize_t n;
    do {
      n = ::pread(fd_.get(), chunk.bytes.data(), chunk.bytes.size(), static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    // The entry is never changed in place (a new one is renamed over it, and this file
    // stays as it was), so a short read means a broken disk.
    chunk.status = n > 0 ? Status::Data : Status::Failed;
    chunk.bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return chunk;
  }
  SpeechJob& job = *job_;
  std::unique_lock<std::mutex> lock(job.m);
  job.grown.wait_for(lock, wait,
                     [&] { return job.bytes.size() > offset || job.finished || job.failure; });
  if (job.failure) {
    chunk.status = Status::Failed;
  } else if (job.bytes.size() > offset) {
    chunk.status = Status::Data;
    chunk.bytes = job.bytes.substr(offset, maxBytes);
  } else if (job.finished) {
    chunk.status = Status::End;
  }
  return chunk;
}

std::vector<SentenceMark> SpeechAnswer::marks() {
  if (!job_) throw SpeechCacheError("a stored entry's marks are read by the cache");
  SpeechJob& job = *job_;
  std::unique_lock<std::mutex> lock(job.m);
  job.grown.wait(lock, [&] { return job.finished || job.failure; });
  if (job.failure) std::rethrow_exception(job.failure);
  return job.marks;
}

void SpeechAnswer::waitForStart() {
  if (!job_) return;
  SpeechJob& job = *job_;
  std::unique_lock<std::mutex> lock(job.m);
  job.grown.wait(lock, [&] { return !job.bytes.empty() || job.finished || job.failure; });
  if (job.failure && job.bytes.empty()) std::rethrow_exception(job.failure);
}

std::string SpeechAnswer::readAll() {
  if (!job_) {
    std::string all;
    for (Chunk c; (c = read(all.size(), size_, {})).status == Status::Data;) all += c.bytes;
    if (all.size() != size_) throw SpeechCacheError("cannot read a cache entry");
    return all;
  }
  SpeechJob& job = *job_;
  std::unique_lock<std::mutex> lock(job.m);
  job.grown.wait(lock, [&] { return job.finished || job.failure; });
  if (job.failure) std::rethrow_exception(job.failure);
  return job.bytes;
}

SpeechCache::SpeechCache(std::string dir, Synthesise synthesise, int maxPending, WarningSink warn)
    : dir_(std::move(dir)),
      synthesise_(std::move(synthesise)),
      maxPending_(maxPending),
      warn_(std::move(warn)) {
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
  makeDirs(dir_);
  removeStaleTemporaries(dir_);
  thread_ = std::thread([this] { runSyntheses(); });
}

SpeechCache::~SpeechCache() {
  stop();
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

std::optional<SpeechAnswer> SpeechCache::openEntry(const std::string& name) const {
  std::string path = dir_ + "/" + name;
  // A FIFO or device planted in the folder is never opened for reading: it could block.
  tr_base::UniqueFd fd(tr_base::OpenRegularFile(path.c_str(), O_RDONLY | O_NOFOLLOW));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::nullopt;
  SpeechAnswer answer(std::move(fd), 0);
  answer.size_ = static_cast<size_t>(st.st_size);
  std::string start;
  if (answer.size_ >= kMinSpeechBytes) start = answer.read(0, 2, {}).bytes;
  if (!looksLikeSpeechEntry(start, answer.size_)) return std::nullopt;
  return answer;
}

std::optional<std::vector<SentenceMark>> SpeechCache::storedMarks(const std::string& name) const {
  if (!openEntry(name)) return std::nullopt;
  const std::string path = dir_ + "/" + marksName(name);
  const tr_base::UniqueFd fd(tr_base::OpenRegularFile(path.c_str(), O_RDONLY | O_NOFOLLOW));
  if (!fd.valid()) return std::nullopt;
  std::string text;
  std::array<char, 16384> buffer{};
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text.size() > kMaxMarksBytes) return std::nullopt;
    if (n == 0) break;
    text.append(buffer.data(), static_cast<size_t>(n));
  }
  return parseMarks(text);
}

void SpeechCache::writeEntry(const std::string& name, const std::string& bytes,
                             const std::vector<SentenceMark>& marks) const {
  // Flushed to disk before the rename, so that after a power loss the name never points
  // at a file whose data did not reach the disk. The marks go first: speech that is
  // stored has them.
  for (const auto& [file, content] :
       {std::pair<std::string, std::string>(marksName(name), formatMarks(marks)),
        std::pair<std::string, std::string>(name, bytes)}) {
    const int error = tr_base::WriteFileAtomically(dir_ + "/" + file, content, {.sync = true});
    if (error != 0) {
      if (warn_) warn_("cannot write cache entry " + file + ": " + std::strerror(error));
      return;
    }
  }
}

SpeechAnswer SpeechCache::open(const SpeechKey& key) {
  const std::string name = entryName(key);
  if (auto cached = openEntry(name)) {
    ++hits_;
    return std::move(*cached);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) throw SpeechStopped("the server is stopping");
  if (auto it = inFlight_.find(name); it != inFlight_.end()) {
    SpeechAnswer answer = join(it->second);
    ++hits_;
    return answer;
  }
  // The entry may have been finished between the read above and taking the lock.
  if (auto cached = openEntry(name)) {
    ++hits_;
    return std::move(*cached);
  }
  return start(key, name, true);
}

std::vector<SentenceMark> SpeechCache::marks(const SpeechKey& key) {
  const std::string name = entryName(key);
  if (auto stored = storedMarks(name)) {
    ++hits_;
    return *stored;
  }
  SpeechAnswer answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) throw SpeechStopped("the server is stopping");
    if (auto it = inFlight_.find(name); it != inFlight_.end()) {
      answer = join(it->second);
      ++hits_;
    } else if (auto stored = storedMarks(name)) {  // finished since the look above
      ++hits_;
      return *stored;
    } else {
      // Speech stored without its marks is made again, with them.
      answer = start(key, name, true);
    }
  }
  return answer.marks();
}

std::vector<SentenceMark> SpeechCache::marksUncached(const SpeechKey& key) {
  return openUncached(key).marks();
}

SpeechAnswer SpeechCache::openUncached(const SpeechKey& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) throw SpeechStopped("the server is stopping");
  return start(key, "", false);
}

SpeechAnswer SpeechCache::start(const SpeechKey& key, const std::string& name, bool cacheable) {
  auto job = std::make_shared<SpeechJob>();
  job->key = key;
  if (cacheable) job->name = name;
  SpeechAnswer answer = join(job);
  if (cacheable) inFlight_.emplace(name, job);
  queue_.push_back(job);
  wake_.notify_all();
  return answer;
}

SpeechAnswer SpeechCache::join(const std::shared_ptr<SpeechJob>& job) {
  if (!job->settled) {
    if (pending_ >= maxPending_)
      throw SpeechBusy("too many requests are waiting for speech synthesis");
    ++pending_;
    ++job->readers;
  }
  return {this, job};
}

void SpeechCache::leave(const std::shared_ptr<SpeechJob>& job) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (job->settled) return;
  --pending_;
  if (--job->readers == 0) cancelLocked(job);
}

void SpeechCache::cancelLocked(const std::shared_ptr<SpeechJob>& job) {
  if (job->cancelled || job->settled) return;
  job->cancelled = true;
  job->stop = true;
  if (auto it = inFlight_.find(job->name); it != inFlight_.end() && it->second == job)
    inFlight_.erase(it);
  auto queued = std::find(queue_.begin(), queue_.end(), job);
  if (queued == queue_.end()) return;  // running: the synthesis sees `stop` and ends
  queue_.erase(queued);
  {
    std::lock_guard<std::mutex> jobLock(job->m);
    job->failure = std::make_exception_ptr(SpeechStopped("speech synthesis was stopped"));
    job->grown.notify_all();
  }
  job->settled = true;
  pending_ -= job->readers;
}

void SpeechCache::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    std::vector<std::shared_ptr<SpeechJob>> jobs(queue_.begin(), queue_.end());
    for (const auto& [name, job] : inFlight_) jobs.push_back(job);
    if (running_) jobs.push_back(running_);
    for (const auto& job : jobs) cancelLocked(job);
    wake_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void SpeechCache::runSyntheses() {
  for (;;) {
    std::shared_ptr<SpeechJob> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      job = queue_.front();
      queue_.pop_front();
      running_ = job;
    }
    run(job);
    std::lock_guard<std::mutex> lock(mutex_);
    running_.reset();
  }
}

void SpeechCache::run(const std::shared_ptr<SpeechJob>& job) {
  ++syntheses_;
  std::exception_ptr failure;
  try {
    synthesise_(job->key, SpeechOutput(
                              [&job](std::string_view bytes) {
                                if (job->stop) return false;
                                std::lock_guard<std::mutex> lock(job->m);
                                job->bytes.append(bytes);
                                job->grown.notify_all();
                                return true;
                              },
                              [&job](std::vector<SentenceMark> marks) {
                                std::lock_guard<std::mutex> lock(job->m);
                                job->marks = std::move(marks);
                              }));
    if (job->stop) throw SpeechStopped("speech synthesis was stopped");
  } catch (...) {
    failure = std::current_exception();
  }

  // Stored before the readers learn of the end, so that a request after a complete
  // answer finds the entry. The bytes no longer change once the synthesis has returned.
  if (!failure && !job->name.empty()) writeEntry(job->name, job->bytes, job->marks);

  std::lock_guard<std::mutex> lock(mutex_);
  {
    std::lock_guard<std::mutex> jobLock(job->m);
    if (failure)
      job->failure = failure;
    else
      job->finished = true;
    job->grown.notify_all();
  }
  job->settled = true;
  pending_ -= job->readers;
  if (auto it = inFlight_.find(job->name); it != inFlight_.end() && it->second == job)
    inFlight_.erase(it);
}
