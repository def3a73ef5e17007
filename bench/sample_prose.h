// Running prose for the benchmarks, made of the words of the sample pages that are not
// menus (a menu's first line begins with "0"), twelve words to a line.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

inline std::string SampleProse(const std::filesystem::path& pagesDir, size_t words) {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(pagesDir)) {
    if (e.path().extension() == ".txt") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> pool;
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (text.str().empty() || text.str()[0] == '0') continue;
    for (std::string w; text >> w;) pool.push_back(w);
  }
  std::string out;
  for (size_t i = 0; i < words; ++i) {
    out += pool[i % pool.size()];
    out += (i + 1) % 12 == 0 ? "\n" : " ";
  }
  return out + ".\n";
}
