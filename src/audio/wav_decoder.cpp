#include "audio/wav_decoder.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "audio/mci_errors.h"
#include "base/regular_file.h"
#include "base/unique_fd.h"

namespace {

uint32_t Le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

}  // namespace

std::unique_ptr<WavDecoder> WavDecoder::OpenFile(const std::string& path, uint32_t& error) {
  // The regular-file check is made on the opened descriptor: a FIFO put in the file's place
  // after OpenDecoder looked at it fails here instead of blocking the open.
  const tr_base::UniqueFd fd(tr_base::OpenRegularFile(path.c_str(), O_RDONLY));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    error = mci::kErrFileRead;
    return nullptr;
  }
  std::unique_ptr<WavDecoder> dec(new WavDecoder);
  dec->owned_.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  while (got < dec->owned_.size()) {
    const ssize_t n = ::read(fd.get(), dec->owned_.data() + got, dec->owned_.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != dec->owned_.size()) {
    error = mci::kErrFileRead;
    return nullptr;
  }
  if (!dec->Parse(dec->owned_.data(), dec->owned_.size())) {
    error = mci::kErrInvalidFile;
    return nullptr;
  }
  error = 0;
  return dec;
}

std::unique_ptr<WavDecoder> WavDecoder::OpenImage(const void* image, std::size_t size,
                                                  uint32_t& error) {
  std::unique_ptr<WavDecoder> dec(new WavDecoder);
  if (image == nullptr || !dec->Parse(static_cast<const unsigned char*>(image), size)) {
    error = mci::kErrInvalidFile;
    return nullptr;
  }
  error = 0;
  return dec;
}

bool WavDecoder::Parse(const unsigned char* p, std::size_t size) {
  if (size < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0)
    return false;
  bool haveFormat = false;
  std::size_t at = 12;
  while (at + 8 <= size) {
    const unsigned char* chunk = p + at;
    const uint32_t chunkSize = Le32(chunk + 4);
    const std::size_t body = at + 8;
    const std::size_t avail = size - body;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (chunkSize < 16 || avail < 16) return false;
      const uint16_t tag = Le16(chunk + 8);
      channels_ = Le16(chunk + 10);
      sourceRate_ = static_cast<int>(Le32(chunk + 12));
      const uint16_t bits = Le16(chunk + 22);
      // WAVE_FORMAT_EXTENSIBLE carries the real tag in its sub-format GUID.
      const bool pcm = tag == 1 || (tag == 0xFFFE && chunkSize >= 40 && avail >= 40 &&
                                    Le16(chunk + 8 + 24) == 1);
      if (!pcm || (channels_ != 1 && channels_ != 2) || (bits != 8 && bits != 16) ||
          sourceRate_ < 1000 || sourceRate_ > 384000)
        return false;
      bytesPerSample_ = bits / 8;
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) return false;
      pcm_ = p + body;
      // A data chunk cut short by a truncated file plays as far as it goes.
      const std::size_t bytes = std::min<std::size_t>(chunkSize, avail);
      sourceFrames_ = static_cast<int64_t>(bytes / (std::size_t(bytesPerSample_) * channels_));
      return true;
    }
    at = body + chunkSize + (chunkSize & 1);
  }
  return false;
}

float WavDecoder::Sample(int64_t frame, int channel) const {
  const int c = channels_ == 1 ? 0 : channel;
  const unsigned char* s = pcm_ + (frame * channels_ + c) * bytesPerSample_;
  if (bytesPerSample_ == 1) return static_cast<float>(static_cast<int>(s[0]) - 128) / 128.0f;
  return static_cast<float>(static_cast<int16_t>(Le16(s))) / 32768.0f;
}

bool WavDecoder::Seek(int64_t frame) {
  if (frame < 0 || frame > sourceFrames_) return false;
  next_ = frame;
  return true;
}

std::size_t WavDecoder::Read(float* out, std::size_t frames) {
  std::size_t n = 0;
  for (; n < frames && next_ < sourceFrames_; ++n, ++next_) {
    out[2 * n] = Sample(next_, 0);
    out[2 * n + 1] = Sample(next_, 1);
  }
  return n;
}
