// Opening a file of the work folder so that nothing planted there can hold the program:
// a FIFO, a device or a socket at the file's name fails at once instead of blocking the
// open (a FIFO blocks until its other end is opened) or the reads and writes after it.
// Header only, no state; any thread.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tr_base {

// open(2) of `path` with `flags` (and `mode` for O_CREAT) that never blocks and succeeds
// only for a regular file. Returns the descriptor (close-on-exec, in blocking mode again)
// or -1 with errno set: ENXIO for a FIFO, device or socket, EISDIR for a directory, or
// what open(2) reported.
inline int OpenRegularFile(const char* path, int flags, mode_t mode = 0) {
  // O_NONBLOCK makes the open of a FIFO return at once (a write-only one fails with
  // ENXIO); O_NOCTTY keeps a terminal from becoming the controlling one.
  const int fd = ::open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  struct stat st {};
  int error = 0;
  if (::fstat(fd, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      error = EISDIR;
    } else if (!S_ISREG(st.st_mode)) {
      error = ENXIO;
    } else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
      return fd;
    }
  }
  if (error == 0) error = errno;
  ::close(fd);
  errno = error;
  return -1;
}

}  // namespace tr_base
