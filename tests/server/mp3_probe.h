// Decodes MP3 bytes with libmpg123 for tests and benchmarks: the stream's format and its
// exact length, its samples as the reader decodes them, and where sound begins after a
// pause.
#pragma once

#include <string>
#include <vector>

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

// The samples of the first channel, decoded as the reader decodes speech (libmpg123,
// gapless, as floats of -1..1); empty when the stream does not decode. 44.1 kHz for the
// server's speech.
std::vector<float> decodeMp3(const std::string& bytes, long* rate = nullptr);

// Milliseconds where sound begins again after each pause of at least `minPauseMs` (and at
// the very start): where the root mean square of 5 ms of samples first exceeds `level`
// (of 1), counted at the end of those 5 ms.
std::vector<double> soundOnsets(const std::vector<float>& samples, long rate, float level,
                                double minPauseMs);
