// Shared by the MP3 and WAV fuzz targets: the input is written to a file of the given
// extension (in memory-backed /dev/shm when there is one) and opened and decoded through
// OpenDecoder as the media device service does: read to the end, seek to the middle and
// read again, seek to the end.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "audio/decoder.h"
#include "fuzz_check.h"

inline std::string DecoderFuzzPath(const char* extension) {
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/tr-decoder-fuzz-" + std::to_string(::getpid()) + "." +
         extension;
}

struct DecodedFuzz {
  bool opened = false;
  int64_t length = 0;   // LengthFrames()
  int64_t frames = 0;   // read before the first seek, at most kMaxFrames
  float peak = 0;       // the largest sample magnitude read
  size_t afterEnd = 0;  // read after a seek to the end
};

// Bounded: a tiny file may claim hours of sound.
constexpr int64_t kMaxFuzzFrames = 1 << 13;

inline DecodedFuzz FuzzDecoder(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);

  constexpr int kRate = 48000;
  uint32_t error = 0;
  std::unique_ptr<Decoder> decoder = OpenDecoder(path, kRate, error);
  DecodedFuzz result;
  if (!decoder) {
    FUZZ_CHECK(error != 0);
    return result;
  }
  result.opened = true;
  result.length = decoder->LengthFrames();
  FUZZ_CHECK(result.length >= 0);
  std::vector<float> block(2 * 4096);
  for (size_t n; result.frames < kMaxFuzzFrames && (n = decoder->Read(block.data(), 4096)) > 0;) {
    FUZZ_CHECK(n <= 4096);
    for (size_t i = 0; i < 2 * n; ++i) {
      FUZZ_CHECK(std::isfinite(block[i]));
      result.peak = std::max(result.peak, std::fabs(block[i]));
    }
    result.frames += static_cast<int64_t>(n);
  }
  if (decoder->Seek(result.length / 2)) decoder->Read(block.data(), 4096);
  if (decoder->Seek(result.length)) result.afterEnd = decoder->Read(block.data(), 4096);
  return result;
}
