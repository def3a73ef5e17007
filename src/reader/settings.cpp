#include "reader/settings.h"

#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "base/regular_file.h"
#include "base/unique_fd.h"
#include "reader/work_folder.h"

namespace {

constexpr size_t kMaxSettingsBytes = 4096;

bool ReadLine(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

void WriteSettings(const std::string& path, const Settings& settings) {
  WriteFileAtomically(path, settings.speechRate + "\r\n" + settings.voice + "\r\n");
}

Settings ReadSettings(const std::string& path) {
  // Only a regular file is read: a FIFO or device at the name fails at once. Two short
  // lines are all it holds, so no more than a few KiB are looked at.
  const tr_base::UniqueFd fd(tr_base::OpenRegularFile(path.c_str(), O_RDONLY));
  if (!fd.valid()) throw EInOutError(errno, path);
  std::string text(kMaxSettingsBytes, '\0');
  size_t size = 0;
  while (size < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + size, text.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw EInOutError(errno, path);
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  text.resize(size);
  std::istringstream in(text);
  Settings settings;
  if (!ReadLine(in, settings.speechRate) || !ReadLine(in, settings.voice)) {
    throw EInOutError(EIO, path);
  }
  return settings;
}

bool SettingsValid(const Settings& s) {
  const auto oneOf = [](const std::string& v, char low, char high) {
    return v.size() == 1 && v[0] >= low && v[0] <= high;
  };
  return oneOf(s.speechRate, '1', '3') && oneOf(s.voice, '0', '5');
}
