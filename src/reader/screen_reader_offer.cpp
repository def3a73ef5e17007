#include "reader/screen_reader_offer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "reader/work_folder.h"

namespace {

std::string HomeFolder(const char* variable, const char* underHome) {
  const char* value = std::getenv(variable);
  // A relative value is invalid by the base-directory rules and is ignored.
  if (value != nullptr && value[0] == '/') return value;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return {};
  return std::string(home) + "/" + underHome;
}

// A descriptor that closes itself.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Opens the folder `base`, creating it and its missing parents (0700, as the base-directory
// rules ask). The base folder is the user's own choice and may be a link.
Fd OpenBase(const std::string& base) {
  Fd dir(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) return dir;
  if (errno != ENOENT) throw EInOutError(errno, base);
  for (size_t slash = base.find('/', 1);; slash = base.find('/', slash + 1)) {
    const std::string prefix = base.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) throw EInOutError(errno, prefix);
    if (slash == std::string::npos) break;
  }
  dir = Fd(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) throw EInOutError(errno, base);
  return dir;
}

// Opens the folder `name` inside `parent`, creating it with `mode` when it is missing.
// Never through a link: one standing at `name` fails (ELOOP or ENOTDIR).
Fd OpenLevel(const Fd& parent, const std::string& name, mode_t mode, const std::string& path) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  Fd dir(::openat(parent.get(), name.c_str(), flags));
  if (dir.get() < 0 && errno == ENOENT) {
    if (::mkdirat(parent.get(), name.c_str(), mode) != 0 && errno != EEXIST) {
      throw EInOutError(errno, path);
    }
    dir = Fd(::openat(parent.get(), name.c_str(), flags));
  }
  if (dir.get() < 0) throw EInOutError(errno, path);
  return dir;
}

// The folder `levels` below `base`, each level opened as above.
Fd OpenFolder(const std::string& base, const std::vector<std::string>& levels, mode_t mode) {
  Fd dir = OpenBase(base);
  std::string path = base;
  for (const std::string& level : levels) {
    path += "/" + level;
    dir = OpenLevel(dir, level, mode, path);
  }
  return dir;
}

void WriteAll(int fd, std::string_view data, const std::string& path) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EInOutError(errno, path);
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

// Writes `data` to a new hidden temporary file in `dir` (O_EXCL|O_NOFOLLOW: never an
// existing file or link) and returns its name; the data is on disk when this returns.
std::string WriteTemporary(const Fd& dir, const std::string& name, std::string_view data,
                           mode_t mode, const std::string& path) {
  std::random_device random;
  std::string tmp =
      "." + name + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(random());
  Fd file(
      ::openat(dir.get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (file.get() < 0) throw EInOutError(errno, path);
  try {
    WriteAll(file.get(), data, path);
    if (::fsync(file.get()) != 0) throw EInOutError(errno, path);
  } catch (...) {
    ::unlinkat(dir.get(), tmp.c_str(), 0);
    throw;
  }
  return tmp;
}

// Gives the temporary file its name only when nothing has that name: false when
// something has. The rename is atomic; a file system without RENAME_NOREPLACE gets a hard
// link, which never replaces either.
bool NameIfFree(const Fd& dir, const std::string& tmp, const std::string& name,
                const std::string& path) {
  int result = ::renameat2(dir.get(), tmp.c_str(), dir.get(), name.c_str(), RENAME_NOREPLACE);
  int error = errno;
  if (result != 0 && (error == EINVAL || error == ENOSYS)) {
    result = ::linkat(dir.get(), tmp.c_str(), dir.get(), name.c_str(), 0);
    error = errno;
    ::unlinkat(dir.get(), tmp.c_str(), 0);
  } else if (result != 0) {
    ::unlinkat(dir.get(), tmp.c_str(), 0);
  }
  if (result == 0) {
    ::fsync(dir.get());
    return true;
  }
  if (error == EEXIST) return false;
  throw EInOutError(error, path);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string DataHome() {
  return HomeFolder("XDG_DATA_HOME", ".local/share");
}

std::string StateHome() {
  return HomeFolder("XDG_STATE_HOME", ".local/state");
}

ScreenReaderOffer::ScreenReaderOffer(Detection detection, std::string dataHome,
                                     std::string stateHome)
    : detection_(std::move(detection)),
      dataHome_(std::move(dataHome)),
      stateHome_(std::move(stateHome)) {}

std::string ScreenReaderOffer::SettingsPath() const {
  return dataHome_ + "/" + kSettingsFolder + "/" + kSettingsName;
}

std::string ScreenReaderOffer::DeclinedPath() const {
  return stateHome_ + "/talking-reader/" + kDeclinedName;
}

bool ScreenReaderOffer::ShouldAsk() const {
  if (detection_() != ScreenReaderDetection::Result::kRunning) return false;
  if (dataHome_.empty() || stateHome_.empty()) return false;
  // Anything at either name counts, a link too: the user or Orca put it there.
  return !Exists(SettingsPath()) && !Exists(DeclinedPath());
}

bool ScreenReaderOffer::Accept() {
  const std::string path = SettingsPath();
  const Fd folder = OpenFolder(dataHome_, {"orca", "app-settings"}, 0700);
  struct stat st {};
  if (::fstatat(folder.get(), kSettingsName, &st, AT_SYMLINK_NOFOLLOW) == 0) return false;
  if (errno != ENOENT) throw EInOutError(errno, path);
  const std::string tmp = WriteTemporary(folder, kSettingsName, kOrcaAppSettings, 0644, path);
  return NameIfFree(folder, tmp, kSettingsName, path);
}

void ScreenReaderOffer::Decline() {
  const std::string path = DeclinedPath();
  const Fd folder = OpenFolder(stateHome_, {"talking-reader"}, 0700);
  // The reader's own folder: private, whatever made it.
  struct stat st {};
  if (::fstat(folder.get(), &st) != 0) throw EInOutError(errno, path);
  if (st.st_uid != ::geteuid()) throw EInOutError(EPERM, path);
  if ((st.st_mode & 077) != 0 && ::fchmod(folder.get(), 0700) != 0) {
    throw EInOutError(errno, path);
  }
  const std::string tmp = WriteTemporary(folder, kDeclinedName, "declined\n", 0600, path);
  // rename() replaces whatever is at the name, a link included, and never writes
  // through it.
  if (::renameat(folder.get(), tmp.c_str(), folder.get(), kDeclinedName) != 0) {
    const int error = errno;
    ::unlinkat(folder.get(), tmp.c_str(), 0);
    throw EInOutError(error, path);
  }
  ::fsync(folder.get());
}
