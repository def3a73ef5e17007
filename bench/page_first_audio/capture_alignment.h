// The reader's captured output held against the page's own speech: the page decoded as
// the reader decodes it, the capture read as it grows, where in the page the capture stands,
// and when the capture leaves the page or a new sound begins. For the benchmarks that time
// what the real reader does to a page.
#pragma once

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audio/decoder.h"
#include "real_reader.h"

namespace real_reader {

inline constexpr int kWindow = kOutputRate / 1000;  // 1 ms, the resolution of every figure
inline constexpr float kSilent = 1e-5f;

// The page's speech decoded as the reader decodes it: the first channel, at the output rate.
inline std::vector<float> DecodePage(const std::string& path) {
  uint32_t error = 0;
  std::unique_ptr<Decoder> decoder = OpenDecoder(path, kOutputRate, error);
  std::vector<float> mono;
  if (!decoder) return mono;
  std::vector<float> block(2 * 8192);
  for (size_t n; (n = decoder->Read(block.data(), 8192)) > 0;) {
    for (size_t i = 0; i < n; ++i) mono.push_back(block[2 * i]);
  }
  return mono;
}

inline double Rms(const float* x, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum / static_cast<double>(n));
}

// 10 ms loudness envelope, for the coarse search of where in the page the capture is.
inline std::vector<float> Envelope(const std::vector<float>& x, size_t from, size_t to) {
  std::vector<float> env;
  for (size_t at = from; at + 480 <= to; at += 480)
    env.push_back(static_cast<float>(Rms(&x[at], 480)));
  return env;
}

// What the reader has said so far: the first channel of the capture file, read as it grows.
class Capture {
 public:
  explicit Capture(std::string path) : path_(std::move(path)) {}
  // Reads what has been written since the last call; returns the frames there are.
  size_t Update() {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(bytes_));
    std::vector<float> block(2 * 4096);
    while (in.read(reinterpret_cast<char*>(block.data()),
                   static_cast<std::streamsize>(block.size() * sizeof(float))) ||
           in.gcount() > 0) {
      const size_t frames = static_cast<size_t>(in.gcount()) / (2 * sizeof(float));
      for (size_t i = 0; i < frames; ++i) samples.push_back(block[2 * i]);
      bytes_ += frames * 2 * sizeof(float);
      if (static_cast<size_t>(in.gcount()) < block.size() * sizeof(float)) break;
    }
    return samples.size();
  }
  // Reads until the capture holds `frames` frames; false when that takes over `ms`.
  bool Until(size_t frames, int ms) {
    return WaitFor([&] { return Update() >= frames; }, ms);
  }
  std::vector<float> samples;

 private:
  std::string path_;
  size_t bytes_ = 0;
};

// Where the capture stands in the page: page index = capture index + offset. Searched from
// the last half second of the capture; false when the page is not what plays.
inline bool Align(const Capture& capture, const std::vector<float>& page,
                  const std::vector<float>& pageEnvelope, long& offset) {
  const size_t end = capture.samples.size();
  const size_t span = kOutputRate / 2;
  if (end < span) return false;
  const size_t start = end - span;
  const std::vector<float> env = Envelope(capture.samples, start, end);
  if (Rms(&capture.samples[start], span) < 1e-3) return false;
  // Coarse: the envelope's best place in the page's.
  double best = 1e30;
  size_t bestAt = 0;
  for (size_t at = 0; at + env.size() <= pageEnvelope.size(); ++at) {
    double d = 0;
    for (size_t i = 0; i < env.size() && d < best; ++i) {
      const double e = pageEnvelope[at + i] - env[i];
      d += e * e;
    }
    if (d < best) {
      best = d;
      bestAt = at;
    }
  }
  // Fine: the sample offset within 10 ms of it with the least difference.
  const long coarse = static_cast<long>(bestAt * 480) - static_cast<long>(start);
  double bestFine = 1e30;
  for (long lag = -480; lag <= 480; ++lag) {
    const long o = coarse + lag;
    if (static_cast<long>(start) + o < 0 ||
        static_cast<long>(end) + o > static_cast<long>(page.size()))
      continue;
    double d = 0;
    for (size_t i = start; i < end && d < bestFine; i += 4) {
      const double e = capture.samples[i] - page[static_cast<size_t>(static_cast<long>(i) + o)];
      d += e * e;
    }
    if (d < bestFine) {
      bestFine = d;
      offset = o;
    }
  }
  // The match must explain the capture: what is left is far below the speech.
  double residual = 0;
  double energy = 0;
  for (size_t i = start; i < end; ++i) {
    const double c = capture.samples[i];
    const double e = c - page[static_cast<size_t>(static_cast<long>(i) + offset)];
    residual += e * e;
    energy += c * c;
  }
  return residual < 0.05 * energy;
}

// True when the page's next `ms` from page index `at` are speech, with no pause in them.
inline bool SpeechAhead(const std::vector<float>& page, size_t at, int ms) {
  const size_t end = at + static_cast<size_t>(ms) * kOutputRate / 1000;
  if (end > page.size()) return false;
  for (size_t w = at; w + 5 * kWindow <= end; w += kWindow) {
    if (Rms(&page[w], 5 * kWindow) < 3e-3) return false;  // 5 ms quieter than -50 dBFS
  }
  return true;
}

// The first 1 ms window at or after `from` where the capture leaves the page's own
// continuation (page index = capture index + offset), looked for as the capture grows;
// -1 when none comes within `ms`.
inline long Departure(Capture& capture, const std::vector<float>& page, long offset, size_t from,
                      int ms) {
  const auto start = Clock::now();
  for (size_t w = from;; w += kWindow) {
    while (w + kWindow > capture.samples.size()) {
      if (MsSince(start) > ms) return -1;
      Sleep(1);
      capture.Update();
    }
    const long p = static_cast<long>(w) + offset;
    if (p < 0 || static_cast<size_t>(p) + kWindow > page.size()) return static_cast<long>(w);
    double diff = 0;
    for (int i = 0; i < kWindow; ++i) {
      const double e =
          capture.samples[w + static_cast<size_t>(i)] - page[static_cast<size_t>(p + i)];
      diff += e * e;
    }
    const double expected = Rms(&page[static_cast<size_t>(p)], kWindow);
    if (std::sqrt(diff / kWindow) > std::max(0.3 * expected, 1e-3)) return static_cast<long>(w);
  }
}

// The first sample at or after `from` louder than `level`, looked for as the capture
// grows; -1 when none comes within `ms`.
inline long FirstAbove(Capture& capture, size_t from, float level, int ms) {
  const auto start = Clock::now();
  for (size_t i = from;; ++i) {
    while (i >= capture.samples.size()) {
      if (MsSince(start) > ms) return -1;
      Sleep(1);
      capture.Update();
    }
    if (std::fabs(capture.samples[i]) > level) return static_cast<long>(i);
  }
}

// The first sample after a stretch of `ms` of silence that starts at or after `from`.
inline long AfterSilence(Capture& capture, size_t from, int silentMs, int ms) {
  const size_t need = static_cast<size_t>(silentMs) * kOutputRate / 1000;
  const auto start = Clock::now();
  size_t quiet = 0;
  for (size_t i = from;; ++i) {
    while (i >= capture.samples.size()) {
      if (MsSince(start) > ms) return -1;
      Sleep(2);
      capture.Update();
    }
    quiet = std::fabs(capture.samples[i]) < kSilent ? quiet + 1 : 0;
    if (quiet >= need) return static_cast<long>(i) + 1;
  }
}

inline double Ms(long frames) {
  return static_cast<double>(frames) * 1000.0 / kOutputRate;
}

}  // namespace real_reader
