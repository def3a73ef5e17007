// Measures of a test tone in a stereo float stream, shared by the audio tests and the audio
// benchmarks. No test framework: pure functions.
#pragma once

#include <cstddef>
#include <vector>

namespace testsound {

// The frequency of the tone in the left channel of `s` (stereo frames) over frames
// [from, to), from its first and last rising zero crossings (interpolated between samples).
inline double ToneHz(const std::vector<float>& s, int rate, std::size_t from, std::size_t to) {
  double first = -1, last = -1;
  int cycles = -1;
  for (std::size_t i = from + 1; i < to && 2 * i < s.size(); ++i) {
    const float a = s[2 * (i - 1)], b = s[2 * i];
    if (a < 0 && b >= 0) {
      const double at = static_cast<double>(i - 1) + a / (a - b);
      if (first < 0) first = at;
      last = at;
      ++cycles;
    }
  }
  return cycles > 0 ? cycles * rate / (last - first) : 0;
}

}  // namespace testsound
