// Sound files and measures shared by the audio benchmarks: tones written as wave files and
// encoded by lame, SINAD by a least-squares fit, the largest sample step, thread CPU time,
// and a media device service over a stepped output, stepped as the feeder and the sound
// card would.
#pragma once

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audio/media_device_service_impl.h"
#include "audio/stepped_audio_output.h"

namespace benchaudio {

constexpr int kOut = 48000;
constexpr std::size_t kPeriod = 512;

inline bool Run(const std::string& cmd) {
  return std::system(cmd.c_str()) == 0;
}

inline double ThreadCpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double ChildrenCpu() {
  rusage r{};
  getrusage(RUSAGE_CHILDREN, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

inline void WriteWav(const std::string& path, int rate, const std::vector<float>& mono) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const auto bytes = static_cast<uint32_t>(mono.size() * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(static_cast<uint32_t>(rate));
  u32(static_cast<uint32_t>(rate * 2));
  u16(2);
  u16(16);
  out.write("data", 4);
  u32(bytes);
  for (float s : mono) u16(static_cast<uint16_t>(static_cast<int16_t>(std::lround(s * 32767))));
}

inline std::vector<float> Tone(int rate, double hz, double seconds, double amplitude = 0.5) {
  std::vector<float> s(static_cast<std::size_t>(seconds * rate));
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate));
  return s;
}

// An MP3 of a tone, as lame makes it at the highest bit rate for that sample rate.
inline std::string ToneMp3(const std::string& dir, int rate, double hz, double seconds) {
  const std::string base = dir + "/tone" + std::to_string(rate) + "_" + std::to_string(int(hz));
  WriteWav(base + ".wav", rate, Tone(rate, hz, seconds));
  const char* bitrate = rate >= 32000 ? "320" : "160";
  if (!Run("lame --quiet -q 0 -b " + std::string(bitrate) + " '" + base + ".wav' '" + base +
           ".mp3'"))
    return "";
  return base + ".mp3";
}

// SINAD (dB) of a tone of `hz` in the left channel of interleaved stereo `s`, over
// frames [from, from + n): a sine of that frequency and an offset are fitted by least
// squares; everything else is noise and distortion.
inline double Sinad(const std::vector<float>& s, double hz, int rate, std::size_t from,
                    std::size_t n) {
  double m[3][4] = {};
  for (std::size_t i = from; i < from + n; ++i) {
    const double t = 2 * M_PI * hz * static_cast<double>(i) / rate;
    const double v[3] = {std::sin(t), std::cos(t), 1};
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) m[a][b] += v[a] * v[b];
      m[a][3] += v[a] * s[2 * i];
    }
  }
  for (int c = 0; c < 3; ++c)
    for (int r = c + 1; r < 3; ++r) {
      const double k = m[r][c] / m[c][c];
      for (int j = c; j < 4; ++j) m[r][j] -= k * m[c][j];
    }
  double x[3];
  for (int r = 2; r >= 0; --r) {
    double v = m[r][3];
    for (int j = r + 1; j < 3; ++j) v -= m[r][j] * x[j];
    x[r] = v / m[r][r];
  }
  double signal = 0, error = 0;
  for (std::size_t i = from; i < from + n; ++i) {
    const double t = 2 * M_PI * hz * static_cast<double>(i) / rate;
    const double fit = x[0] * std::sin(t) + x[1] * std::cos(t);
    signal += fit * fit;
    error += (s[2 * i] - fit - x[2]) * (s[2 * i] - fit - x[2]);
  }
  return 10 * std::log10(signal / error);
}

inline float LargestStep(const std::vector<float>& s, std::size_t from = 0,
                         std::size_t to = static_cast<std::size_t>(-1)) {
  to = std::min(to, s.size() / 2);
  float worst = 0;
  for (std::size_t i = std::max<std::size_t>(from, 1); i < to; ++i)
    for (int c = 0; c < 2; ++c) worst = std::max(worst, std::fabs(s[2 * i + c] - s[2 * i - 2 + c]));
  return worst;
}

// A service over a stepped output, stepped as the feeder and the sound card would.
struct Rig {
  Rig() {
    auto out = std::make_unique<SteppedAudioOutput>(kOut, kPeriod);
    output = out.get();
    service = std::make_unique<MediaDeviceService>(std::move(out));
    output->SetCapture(true);
  }
  void Step(double ms) {
    auto frames = static_cast<std::size_t>(ms * kOut / 1000);
    while (frames > 0) {
      service->FillBuffers();
      const std::size_t n = std::min(frames, kPeriod);
      output->Step(n);
      frames -= n;
    }
  }
  uint16_t Open(const std::string& path) {
    mci::Params p;
    p.element = path;
    return service->SendCommand(0, mci::kOpen, mci::kWait | mci::kOpenElement, p) == 0 ? p.deviceId
                                                                                       : 0;
  }
  void Send(uint16_t d, uint32_t command, uint32_t flags, uint32_t to = 0) {
    mci::Params p;
    p.to = to;
    service->SendCommand(d, command, flags, p);
  }
  std::size_t Frames() const { return output->Captured().size() / 2; }
  SteppedAudioOutput* output = nullptr;
  std::unique_ptr<MediaDeviceService> service;
};

}  // namespace benchaudio
