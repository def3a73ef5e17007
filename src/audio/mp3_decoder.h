// MP3 through libmpg123: the file is scanned at open for its exact length, decoded with
// gapless trimming to 32-bit float stereo at the file's own rate, and seeks land on the
// asked frame. Rate conversion is the rate converter's job, not libmpg123's.
#pragma once

#include "audio/decoder.h"
#include "base/unique_fd.h"

struct mpg123_handle_struct;

class Mp3Decoder : public Decoder {
 public:
  // Returns nullptr and sets `error` when the file does not decode.
  static std::unique_ptr<Mp3Decoder> Open(const std::string& path, uint32_t& error);
  ~Mp3Decoder() override;
  // Sets up a new libmpg123 handle as every MP3 decoder here uses it: 32-bit float
  // stereo at any rate the format has, gapless, quiet. False when libmpg123 refuses.
  static bool Configure(mpg123_handle_struct* handle);

  int SampleRate() const override { return rate_; }
  int64_t LengthFrames() const override { return length_; }
  bool Seek(int64_t frame) override;
  std::size_t Read(float* out, std::size_t frames) override;
  bool Failed() const override { return failed_; }
  bool Mono() const override { return mono_; }
  // Whether the stream that `handle` decodes has one channel.
  static bool IsMono(mpg123_handle_struct* handle);

 private:
  Mp3Decoder() = default;
  mpg123_handle_struct* handle_ = nullptr;
  int rate_ = 0;
  int64_t length_ = 0;
  bool mono_ = false;
  bool ended_ = false;
  bool failed_ = false;
  tr_base::UniqueFd fd_;  // the file; libmpg123 reads it but does not close it
};
