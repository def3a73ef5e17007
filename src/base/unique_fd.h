// Ownership of one file descriptor: it is closed when its owner goes, on every way out of
// a scope, exceptions included. Move-only. Header only, no state beyond the descriptor;
// one owner per descriptor, used from one thread at a time.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tr_base {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes `fd` (may be -1: owns nothing).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor held, if any, and takes `fd`. errno is kept as it was, so that
  // a failure reported before the clean-up still reads right after it.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

  // Closes now and returns close(2)'s result: 0, or -1 with errno set. A write's delayed
  // error (a full disk on a network file system) can show only here. The descriptor is
  // released either way.
  int close() noexcept { return fd_ < 0 ? 0 : ::close(std::exchange(fd_, -1)); }

 private:
  int fd_ = -1;
};

}  // namespace tr_base
