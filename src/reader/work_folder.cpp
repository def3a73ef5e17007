#include "reader/work_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/file_write.h"
#include "base/regular_file.h"

namespace {

std::string WithSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// 0 when `path` is a directory we can use, else the errno that explains the refusal.
int CheckExisting(std::string path) {
  // A trailing '/' would make lstat() follow a symlink.
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return errno;
  if (S_ISLNK(st.st_mode)) return ELOOP;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (st.st_uid != geteuid()) return EPERM;
  if ((st.st_mode & 07777) != 0700) return EACCES;
  return 0;
}

}  // namespace

EInOutError::EInOutError(int error, const std::string& what)
    : Exception("I/O error " + std::to_string(error) + ": " + std::strerror(error) + " (" + what +
                ")"),
      error_(error) {}

std::vector<std::string> WorkFolderCandidates() {
  const std::string uid = std::to_string(geteuid());
  std::vector<std::string> candidates;
  if (!Env("XDG_CACHE_HOME").empty()) {
    candidates.push_back(WithSlash(Env("XDG_CACHE_HOME")) + "talking-reader/");
  } else if (!Env("HOME").empty()) {
    candidates.push_back(WithSlash(Env("HOME")) + ".cache/talking-reader/");
  }
  if (!Env("TMPDIR").empty())
    candidates.push_back(WithSlash(Env("TMPDIR")) + "talking-reader-" + uid + "/");
  candidates.push_back("/tmp/talking-reader-" + uid + "/");
  candidates.push_back("/var/tmp/talking-reader-" + uid + "/");
  return candidates;
}

std::string FindWorkFolder(const std::vector<std::string>& candidates) {
  int lastError = ENOENT;
  for (const std::string& candidate : candidates) {
    std::string folder = WithSlash(candidate);
    int error = CheckExisting(folder);
    if (error == ENOENT) {
      error = ::mkdir(folder.c_str(), 0700) == 0 ? 0 : errno;
      // The umask may have narrowed the mode; anything wider than 0700 is refused above.
      if (error == 0) error = CheckExisting(folder);
    }
    if (error == 0) return folder;
    lastError = error;
  }
  throw Exception(std::strerror(lastError));
}

void WriteFileAtomically(const std::string& path, std::string_view data) {
  if (const int error = tr_base::WriteFileAtomically(path, data)) throw EInOutError(error, path);
}

void WriteFileIfMissing(const std::string& path, std::string_view data) {
  if (const int error = tr_base::WriteFileAtomically(path, data, {.replace = false}))
    throw EInOutError(error, path);
}

void CreateEmptyFile(const std::string& path) {
  const int fd =
      tr_base::OpenRegularFile(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
  if (fd < 0) throw EInOutError(errno, path);
  ::close(fd);
}
