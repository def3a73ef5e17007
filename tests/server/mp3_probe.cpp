#include "mp3_probe.h"

#include <mpg123.h>

#include <cmath>
#include <vector>

Mp3Probe probeMp3(const std::string& bytes) {
  Mp3Probe probe;
  static const bool initialised = [] {
    mpg123_init();
    return true;
  }();
  (void)initialised;
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
