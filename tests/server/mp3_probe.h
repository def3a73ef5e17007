// Decodes MP3 bytes with libmpg123 for tests: the stream's format and its exact length.
#pragma once

#include <string>

struct Mp3Probe {
  bool ok = false;   // the whole stream decoded
  int version = -1;  // 0: MPEG 1, 1: MPEG 2, 2: MPEG 2.5
  int layer = 0;
  int bitrate = 0;  // kbit/s of the first frame
  long rate = 0;
  int channels = 0;
  bool constantBitrate = false;
  long samples = 0;  // decoded per channel
  double seconds() const { return rate ? double(samples) / double(rate) : 0.0; }
  // Root mean square of the decoded samples, 0..1: tells speech from silence.
  double rms = 0.0;
};

Mp3Probe probeMp3(const std::string& bytes);
