// Sample-rate conversion between a file's decoder and the output, with libsoxr's
// high-quality band-limited resampler (linear phase, 20-bit precision). Lengths and seeks
// stay exact at the output rate: the converted stream has floor(length * out / in)
// frames, and a seek starts the resampler a little before the asked frame, on a frame
// where the input and output clocks meet, so the frames after a seek are the frames that
// playing through gives. Over a time-stretched source the stream is converted as it
// comes, to its end, whatever its length.
//
// Threading: as the decoder it wraps (one thread at a time).
#pragma once

#include <memory>
#include <vector>

#include "audio/decoder.h"

struct soxr;

class RateConverter : public Decoder {
 public:
  // nullptr when libsoxr refuses the rates.
  static std::unique_ptr<RateConverter> Create(std::unique_ptr<Decoder> source, int outputRate);
  ~RateConverter() override;

  int SampleRate() const override { return outRate_; }
  int64_t LengthFrames() const override;
  bool Seek(int64_t frame) override;
  std::size_t Read(float* out, std::size_t frames) override;
  bool Waiting() const override { return source_->Waiting(); }
  void SetGrowing(bool growing) override { source_->SetGrowing(growing); }
  bool Failed() const override { return source_->Failed(); }
  bool Mono() const override { return source_->Mono(); }
  bool Stretched() const override { return source_->Stretched(); }
  double SoundFrameAt(double streamFrame) const override;

 private:
  RateConverter(std::unique_ptr<Decoder> source, int outputRate);

  std::unique_ptr<Decoder> source_;
  const int inRate_;
  const int outRate_;
  int64_t alignOut_ = 1;  // output frames between two frames where both clocks meet
  soxr* soxr_ = nullptr;
  std::vector<float> in_;       // source frames not yet taken by the resampler
  std::size_t inStart_ = 0;     // first frame in in_ not yet taken
  std::size_t inFrames_ = 0;    // frames in in_ from inStart_
  std::vector<float> discard_;  // room for the frames a seek skips
  int64_t skip_ = 0;            // frames still to skip after a seek
  int64_t next_ = 0;            // output frame that the next Read returns
  bool sourceEnded_ = false;
};

// `source` when it already runs at `outputRate`, else `source` behind a RateConverter
// (nullptr if the converter cannot be made).
std::unique_ptr<Decoder> ConvertRate(std::unique_ptr<Decoder> source, int outputRate);
