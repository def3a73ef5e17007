#include "mp3_probe.h"

#include <mpg123.h>

#include <cmath>
#include <vector>

namespace {

void initMpg123() {
  static const bool initialised = [] {
    mpg123_init();
    return true;
  }();
  (void)initialised;
}

}  // namespace

Mp3Probe probeMp3(const std::string& bytes) {
  Mp3Probe probe;
  initMpg123();
  mpg123_handle* mh = mpg123_new(nullptr, nullptr);
  if (!mh) return probe;
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
  mpg123_format_none(mh);
  for (long r : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L})
    mpg123_format(mh, r, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  if (mpg123_open_feed(mh) != MPG123_OK ||
      mpg123_feed(mh, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) !=
          MPG123_OK) {
    mpg123_delete(mh);
    return probe;
  }
  std::vector<unsigned char> out(1 << 16);
  double sumSquares = 0;
  long count = 0;
  bool formatSeen = false;
  for (;;) {
    size_t done = 0;
    int rc = mpg123_read(mh, out.data(), out.size(), &done);
    if (rc == MPG123_NEW_FORMAT) {
      int encoding = 0;
      mpg123_getformat(mh, &probe.rate, &probe.channels, &encoding);
      mpg123_frameinfo info{};
      if (mpg123_info(mh, &info) == MPG123_OK) {
        probe.version = info.version;
        probe.layer = info.layer;
        probe.bitrate = info.bitrate;
        probe.constantBitrate = info.vbr == MPG123_CBR;
      }
      formatSeen = true;
    }
    auto* samples = reinterpret_cast<const short*>(out.data());
    for (size_t i = 0; i < done / 2; ++i) {
      sumSquares += double(samples[i]) * samples[i];
      ++count;
    }
    if (rc == MPG123_NEED_MORE || rc == MPG123_DONE) break;
    if (rc != MPG123_OK && rc != MPG123_NEW_FORMAT) {
      mpg123_delete(mh);
      return probe;
    }
  }
  mpg123_delete(mh);
  if (!formatSeen || probe.channels == 0) return probe;
  probe.samples = count / probe.channels;
  probe.rms = count ? std::sqrt(sumSquares / double(count)) / 32768.0 : 0.0;
  probe.ok = true;
  return probe;
}

std::vector<float> decodeMp3(const std::string& bytes, long* rate) {
  initMpg123();
  std::vector<float> samples;
  mpg123_handle* mh = mpg123_new(nullptr, nullptr);
  if (!mh) return samples;
  // As the reader's decoder is set up: gapless (which without an Info frame trims
  // nothing), floats, two channels.
  mpg123_param(mh, MPG123_ADD_FLAGS,
               MPG123_FORCE_STEREO | MPG123_FORCE_FLOAT | MPG123_QUIET | MPG123_GAPLESS, 0.0);
  mpg123_format_none(mh);
  const long* rates = nullptr;
  size_t count = 0;
  mpg123_rates(&rates, &count);
  for (size_t i = 0; i < count; ++i)
    mpg123_format(mh, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);
  long formatRate = 0;
  if (mpg123_open_feed(mh) == MPG123_OK &&
      mpg123_feed(mh, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) ==
          MPG123_OK) {
    std::vector<float> out(1 << 15);
    for (;;) {
      size_t done = 0;
      const int rc = mpg123_read(mh, reinterpret_cast<unsigned char*>(out.data()),
                                 out.size() * sizeof(float), &done);
      if (rc == MPG123_NEW_FORMAT) {
        int channels = 0, encoding = 0;
        mpg123_getformat(mh, &formatRate, &channels, &encoding);
      }
      for (size_t i = 0; i + 1 < done / sizeof(float); i += 2) samples.push_back(out[i]);
      if (rc != MPG123_OK && rc != MPG123_NEW_FORMAT) break;
    }
  }
  mpg123_delete(mh);
  if (rate) *rate = formatRate;
  return samples;
}

std::vector<double> soundOnsets(const std::vector<float>& samples, long rate, float level,
                                double minPauseMs) {
  // Sound is where the root mean square of the next 5 ms exceeds `level`: a measure of
  // loudness of its own, not the server's test of single samples.
  const auto window = static_cast<size_t>(rate / 200);
  const auto minPause = static_cast<size_t>(minPauseMs * double(rate) / 1000.0);
  std::vector<double> onsets;
  if (window == 0 || samples.size() < window) return onsets;
  const double threshold = double(level) * double(level) * double(window);
  double energy = 0;
  for (size_t i = 0; i < window; ++i) energy += double(samples[i]) * samples[i];
  size_t quietFrom = 0;  // the first window start after the last loud one
  for (size_t i = 0; i + window <= samples.size(); ++i) {
    if (i > 0) {
      energy += double(samples[i + window - 1]) * samples[i + window - 1] -
                double(samples[i - 1]) * samples[i - 1];
    }
    if (energy <= threshold) continue;
    if (onsets.empty() || i - quietFrom >= minPause)
      onsets.push_back(1000.0 * double(i + window) / double(rate));
    quietFrom = i + 1;
  }
  return onsets;
}
