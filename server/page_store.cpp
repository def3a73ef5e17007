#include "page_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "base/regular_file.h"
#include "base/unique_fd.h"
#include "page_name.h"

PageFile PageStore::read(const std::string& pagePath) const {
  PageFile page;
  if (!isValidPagePath(pagePath)) return page;  // a second guard: never a free-form name
  std::string fileName = dir_ + "/" + pagePath + ".txt";
  // Only regular files are pages: a FIFO or device under a page's name would block a
  // worker or stream without end.
  const tr_base::UniqueFd fd(tr_base::OpenRegularFile(fileName.c_str(), O_RDONLY));
  if (!fd.valid()) {
    page.status = errno == ENOENT || errno == ENOTDIR ? PageFile::Status::Missing
                                                      : PageFile::Status::Unreadable;
    return page;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    page.status = PageFile::Status::Unreadable;
    return page;
  }
  if (static_cast<size_t>(st.st_size) > kMaxPageBytes) {
    page.status = PageFile::Status::TooLarge;
    return page;
  }
  std::string text;
  std::array<char, 16384> buffer{};
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      page.status = PageFile::Status::Unreadable;
      return page;
    }
    if (n == 0) break;
    text.append(buffer.data(), static_cast<size_t>(n));
    if (text.size() > kMaxPageBytes) {
      page.status = PageFile::Status::TooLarge;
      return page;
    }
  }
  page.status = PageFile::Status::Ok;
  page.text = std::move(text);
  return page;
}
