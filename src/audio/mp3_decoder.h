// MP3 through libmpg123: the file is scanned at open for its exact length, decoded with
// gapless trimming to 32-bit float stereo at the output rate (MPG123_FORCE_RATE), and
// seeks land on the asked frame.
#pragma once

#include "audio/decoder.h"

struct mpg123_handle_struct;

class Mp3Decoder : public Decoder {
 public:
  // Returns nullptr and sets `error` when the file does not decode.
  static std::unique_ptr<Mp3Decoder> Open(const std::string& path, int outputRate, uint32_t& error);
  ~Mp3Decoder() override;

  int64_t LengthFrames() const override { return length_; }
  bool Seek(int64_t frame) override;
  std::size_t Read(float* out, std::size_t frames) override;

 private:
  Mp3Decoder() = default;
  mpg123_handle_struct* handle_ = nullptr;
  int64_t length_ = 0;
  bool ended_ = false;
  int fd_ = -1;  // the file; libmpg123 reads it but does not close it
};
