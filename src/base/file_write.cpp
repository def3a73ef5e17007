#include "base/file_write.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/unique_fd.h"

namespace tr_base {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    // Nothing written and no error: a descriptor that takes nothing would loop forever.
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int WriteFileAtomically(const std::string& path, std::string_view data, const AtomicWrite& how) {
  struct stat st {};
  if (!how.replace && ::lstat(path.c_str(), &st) == 0) return 0;  // never examined or rewritten
  std::string temp = path + std::string(kTemporaryMarker) + "XXXXXX";
  // mkostemp creates the name exclusively (O_EXCL), so it is never an existing file or a
  // link, with mode 0600.
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return errno;
  bool ok = (how.mode == 0600 || ::fchmod(fd.get(), how.mode) == 0) && WriteAll(fd.get(), data) &&
            (!how.sync || ::fsync(fd.get()) == 0);
  ok = fd.close() == 0 && ok;
  if (ok) {
    // rename() replaces a symlink at `path` itself; link() fails with EEXIST instead of
    // replacing anything.
    if (how.replace) {
      ok = ::rename(temp.c_str(), path.c_str()) == 0;
      if (ok) return 0;
    } else {
      ok = ::link(temp.c_str(), path.c_str()) == 0 || errno == EEXIST;
    }
  }
  const int error = ok ? 0 : errno;
  ::unlink(temp.c_str());
  return error;
}

}  // namespace tr_base
