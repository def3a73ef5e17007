#include "reader/settings.h"

#include <cerrno>
#include <fstream>

#include "reader/work_folder.h"

namespace {

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
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EInOutError(errno ? errno : ENOENT, path);
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
