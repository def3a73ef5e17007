#include "page_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "page_name.h"

PageFile PageStore::read(const std::string& pagePath) const {
  PageFile page;
  if (!isValidPagePath(pagePath)) return page;  // a second guard: never a free-form name
  std::string fileName = dir_ + "/" + pagePath + ".txt";
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    page.status = errno == ENOENT || errno == ENOTDIR ? PageFile::Status::Missing
                                                      : PageFile::Status::Unreadable;
    return page;
  }
  struct stat st {};
  // Only regular files are pages: a FIFO or device under a page's name would block a
  // worker or stream without end.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    page.status = PageFile::Status::Unreadable;
    return page;
  }
  if (static_cast<size_t>(st.st_size) > kMaxPageBytes) {
    ::close(fd);
    page.status = PageFile::Status::TooLarge;
    return page;
  }
  std::string text;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      page.status = PageFile::Status::Unreadable;
      return page;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > kMaxPageBytes) {
      ::close(fd);
      page.status = PageFile::Status::TooLarge;
      return page;
    }
  }
  ::close(fd);
  page.status = PageFile::Status::Ok;
  page.text = std::move(text);
  return page;
}
