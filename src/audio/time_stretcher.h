// Time-stretching between a file's decoder and the rate converter: the sound played
// faster or slower with its pitch kept, through libsonic (made for speech at high speed,
// and cheap). At speed 1 it passes the decoder's frames through untouched; the stretched
// path is taken only at another speed, and left again once the speed is back at 1 and
// what the stretcher held has been given out.
//
// Frames are counted two ways. Sound frames are the file's own (LengthFrames, seeks,
// SoundFrameAt's answer). Stream frames are those Read gives, counted on from the frame of
// the last seek; while the stream is stretched the two part, and SoundFrameAt tells where
// in the sound a stream frame comes from (within a few milliseconds: libsonic keeps a
// little of its input).
//
// A growing file that waits for data is only waited for: what the stretcher holds stays
// there until more comes, and only the real end of the sound is flushed out.
//
// Threading: as the decoder it wraps (one thread at a time, the device's decode lock).
#pragma once

#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "audio/decoder.h"

struct sonicStreamStruct;

class TimeStretcher : public Decoder {
 public:
  static constexpr double kSlowest = 0.5;
  static constexpr double kFastest = 4.0;

  explicit TimeStretcher(std::unique_ptr<Decoder> source);
  ~TimeStretcher() override;

  int SampleRate() const override { return rate_; }
  bool Mono() const override { return source_->Mono(); }
  int64_t LengthFrames() const override { return source_->LengthFrames(); }
  bool Seek(int64_t frame) override { return SeekAhead(frame, frame); }
  // Frames before `target` come unchanged (a resampler's lead-in, which it discards);
  // stretching starts at `target`.
  bool SeekAhead(int64_t frame, int64_t target) override;
  std::size_t Read(float* out, std::size_t frames) override;
  bool Waiting() const override { return waiting_; }
  void SetGrowing(bool growing) override { source_->SetGrowing(growing); }
  bool Failed() const override { return source_->Failed(); }
  // True while the speed is not 1, and from the first stretched frame until the next seek.
  bool Stretched() const override { return stretched_ || speed_ != 1.0; }
  double SoundFrameAt(double streamFrame) const override;

  // From the next frame on (kSlowest to kFastest; outside, the nearest end).
  void SetSpeed(double speed);
  double Speed() const { return speed_; }

 private:
  // Fades the last frames of the sound out (`frames` just read after the end was pushed
  // through libsonic, stereo).
  void FadeTheEnd(float* frames, int n);
  enum class Mode { kNatural, kStretching };

  void StartStretching();
  void StopStretching();
  // Notes that the stream has reached `streamFrame` at sound frame `soundFrame`.
  void Mark(int64_t streamFrame, double soundFrame);

  std::unique_ptr<Decoder> source_;
  const int rate_;
  // The most input libsonic keeps back (four of its longest pitch periods), in frames.
  const int64_t heldBack_;
  double speed_ = 1.0;
  Mode mode_ = Mode::kNatural;
  sonicStreamStruct* sonic_ = nullptr;
  std::vector<float> block_;  // input on its way into libsonic
  // A sound of one channel is stretched as one, at half the cost.
  const int channels_;
  std::vector<float> mono_;
  int64_t stretchFrom_ = 0;  // sound frame where stretching may start after a seek
  int64_t fed_ = 0;          // sound frame that the next read of the source gives
  int64_t next_ = 0;         // stream frame that the next Read gives
  double nextSound_ = 0;     // where in the sound that frame comes from
  bool stretched_ = false;
  bool draining_ = false;  // back at speed 1: what libsonic holds is being given out
  bool flushed_ = false;   // the end of the sound has been pushed through libsonic
  int flushLeft_ = 0;      // frames libsonic still gives after the end was pushed through
  bool waiting_ = false;
  // (stream frame, sound frame) at the ends of what Read gave, oldest first; a few
  // seconds of them, enough for everything a device still holds in its buffers.
  std::deque<std::pair<int64_t, double>> marks_;
};
