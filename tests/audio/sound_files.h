// Sound files made at test time: wave files written sample by sample, and MP3 files
// encoded from them by the lame command-line encoder.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace testsound {

// A RIFF PCM wave image: `frames` frames, each channel's sample in [-1, 1] from `sample`.
inline std::vector<unsigned char> WaveImage(int rate, int channels, int bits, int64_t frames,
                                            const std::function<double(int64_t, int)>& sample) {
  std::vector<unsigned char> w;
  auto u32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) w.push_back(static_cast<unsigned char>(v >> (8 * i)));
  };
  auto u16 = [&](uint16_t v) {
    w.push_back(static_cast<unsigned char>(v));
    w.push_back(static_cast<unsigned char>(v >> 8));
  };
  const uint32_t bytes = static_cast<uint32_t>(frames * channels * bits / 8);
  w.insert(w.end(), {'R', 'I', 'F', 'F'});
  u32(36 + bytes);
  w.insert(w.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  u32(16);
  u16(1);
  u16(static_cast<uint16_t>(channels));
  u32(static_cast<uint32_t>(rate));
  u32(static_cast<uint32_t>(rate * channels * bits / 8));
  u16(static_cast<uint16_t>(channels * bits / 8));
  u16(static_cast<uint16_t>(bits));
  w.insert(w.end(), {'d', 'a', 't', 'a'});
  u32(bytes);
  for (int64_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const double s = std::clamp(sample(i, c), -1.0, 1.0);
      if (bits == 8) {
        w.push_back(static_cast<unsigned char>(std::lround(128 + s * 127)));
      } else {
        u16(static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767))));
      }
    }
  }
  return w;
}

inline void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A tone of `seconds` at `rate`, encoded by lame with `lameArgs` (e.g. "-b 64", "-V 5").
inline std::string MakeMp3(const std::string& dir, const std::string& name, int rate, int channels,
                           double seconds, const std::string& lameArgs) {
  const std::string wav = dir + "/" + name + ".wav";
  const std::string mp3 = dir + "/" + name + ".mp3";
  const auto frames = static_cast<int64_t>(std::llround(seconds * rate));
  WriteFile(wav, WaveImage(rate, channels, 16, frames, [&](int64_t i, int c) {
              return 0.5 * std::sin(2 * M_PI * (440.0 + 110 * c) * static_cast<double>(i) / rate);
            }));
  const std::string cmd = "lame --quiet " + lameArgs + " '" + wav + "' '" + mp3 + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return mp3;
}

}  // namespace testsound
