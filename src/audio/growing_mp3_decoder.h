// An MP3 file that is still being written (speech that is still arriving). It decodes
// through libmpg123's feed interface, reading the file as far as it has arrived; at the
// end of the data it waits (Waiting() is true) instead of ending, until SetGrowing(false)
// says the file is complete. LengthFrames counts the whole frames that have arrived,
// read by a second handle that only parses frame headers. At completion the file is
// scanned as any complete MP3 (exact length), and decoding goes on from the same frame
// with a complete-file decoder.
//
// Threading: one thread at a time (the device's decode lock).
#pragma once

#include <memory>
#include <vector>

#include "audio/decoder.h"
#include "base/unique_fd.h"

struct mpg123_handle_struct;
class Mp3Decoder;

class GrowingMp3Decoder : public Decoder {
 public:
  // Opens once the first frames have arrived and decode; else nullptr and `error`.
  static std::unique_ptr<GrowingMp3Decoder> Open(const std::string& path, uint32_t& error);
  ~GrowingMp3Decoder() override;

  int SampleRate() const override { return rate_; }
  int64_t LengthFrames() const override;
  bool Seek(int64_t frame) override;
  std::size_t Read(float* out, std::size_t frames) override;
  bool Waiting() const override { return waiting_; }
  void SetGrowing(bool growing) override;
  bool Failed() const override;
  bool Mono() const override { return mono_; }

 private:
  GrowingMp3Decoder() = default;
  bool Feed();
  // Counts the whole frames that have arrived since the last count. Const: the count is
  // what has arrived, whoever asks (a paused device's length too).
  void Count() const;

  std::string path_;
  tr_base::UniqueFd fd_;
  mpg123_handle_struct* decode_ = nullptr;  // feed mode: decodes
  mpg123_handle_struct* scan_ = nullptr;    // feed mode: counts frames
  mutable std::vector<unsigned char> buffer_;
  int rate_ = 0;
  int64_t feedOffset_ = 0;          // next byte of the file for decode_
  mutable int64_t scanOffset_ = 0;  // next byte of the file for scan_
  mutable int64_t frames_ = 0;      // whole MP3 frames seen by scan_
  mutable int64_t samplesPerFrame_ = 0;
  int64_t next_ = 0;  // frame that the next Read returns
  bool growing_ = true;
  bool waiting_ = false;
  bool ended_ = false;
  bool failed_ = false;
  bool mono_ = false;
  std::unique_ptr<Mp3Decoder> complete_;  // after SetGrowing(false)
};
