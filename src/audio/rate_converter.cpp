#include "audio/rate_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

// Source frames taken per decoder call.
constexpr std::size_t kBlockFrames = 1024;
// The same from a stretched source, whose frames are made at one speed: few, so that what
// waits here at an old speed is heard soon after a change.
constexpr std::size_t kStretchedBlockFrames = 256;
// Source frames decoded before a seek target so that the filter has forgotten that the
// stream started there (the high-quality filter is a few hundred taps long).
constexpr int64_t kPrerollFrames = 2048;
// Above this the two clocks meet too seldom to start on a meeting point; the seek then
// starts within one source frame of the exact phase.
constexpr int64_t kMaxAlign = 16384;
// How far the resampler's output may fall short of the exact length at the end.
constexpr int64_t kRoundingFrames = 4;

}  // namespace

std::unique_ptr<Decoder> ConvertRate(std::unique_ptr<Decoder> source, int outputRate) {
  if (source->SampleRate() == outputRate) return source;
  return RateConverter::Create(std::move(source), outputRate);
}

std::unique_ptr<RateConverter> RateConverter::Create(std::unique_ptr<Decoder> source,
                                                     int outputRate) {
  std::unique_ptr<RateConverter> c(new RateConverter(std::move(source), outputRate));
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  c->soxr_ = soxr_create(c->inRate_, c->outRate_, 2, &error, &io, &quality, &runtime);
  if (error != nullptr || c->soxr_ == nullptr) return nullptr;
  return c;
}

RateConverter::RateConverter(std::unique_ptr<Decoder> source, int outputRate)
    : source_(std::move(source)),
      inRate_(source_->SampleRate()),
      outRate_(outputRate),
      in_(kBlockFrames * 2),
      discard_(kBlockFrames * 2) {
  const int64_t step = outRate_ / std::gcd(inRate_, outRate_);
  alignOut_ = step <= kMaxAlign ? step : 1;
}

RateConverter::~RateConverter() {
  if (soxr_ != nullptr) soxr_delete(soxr_);
}

int64_t RateConverter::LengthFrames() const {
  return source_->LengthFrames() * outRate_ / inRate_;
}

bool RateConverter::Seek(int64_t frame) {
  if (frame < 0 || frame > LengthFrames()) return false;
  const int64_t prerollOut = kPrerollFrames * outRate_ / inRate_;
  int64_t start = std::max<int64_t>(0, frame - prerollOut);
  start -= start % alignOut_;
  // The lead-in is given unstretched by a stretched source, which stretches from the
  // frame asked for on.
  if (!source_->SeekAhead(start * inRate_ / outRate_, frame * inRate_ / outRate_)) return false;
  soxr_clear(soxr_);
  inStart_ = 0;
  inFrames_ = 0;
  sourceEnded_ = false;
  skip_ = frame - start;
  next_ = frame;
  return true;
}

double RateConverter::SoundFrameAt(double streamFrame) const {
  return source_->SoundFrameAt(streamFrame * inRate_ / outRate_) * outRate_ / inRate_;
}

std::size_t RateConverter::Read(float* out, std::size_t frames) {
  const int64_t length = LengthFrames();
  // A stretched stream's length is known only at its end.
  const bool exactLength = !source_->Stretched();
  std::size_t done = 0;
  while (done < frames) {
    if (inFrames_ == 0 && !sourceEnded_) {
      inStart_ = 0;
      inFrames_ = source_->Read(in_.data(), exactLength ? kBlockFrames : kStretchedBlockFrames);
      // A growing file's data has run out for now: the resampler keeps its state and
      // goes on when more comes.
      if (inFrames_ == 0 && source_->Waiting()) break;
      if (inFrames_ == 0) sourceEnded_ = true;
    }
    const bool skipping = skip_ > 0;
    float* dst = skipping ? discard_.data() : out + 2 * done;
    std::size_t room =
        skipping ? static_cast<std::size_t>(std::min<int64_t>(skip_, kBlockFrames)) : frames - done;
    if (sourceEnded_ && !skipping && exactLength) {
      // What the resampler gives out after the end is cut at the exact length. (Before
      // the end it stays short of it, so a growing file is never cut.)
      room = static_cast<std::size_t>(std::clamp<int64_t>(
          length - next_ - static_cast<int64_t>(done), 0, static_cast<int64_t>(room)));
      if (room == 0) break;
    }
    std::size_t used = 0;
    std::size_t made = 0;
    // A null input tells the resampler that the input has ended: it gives out the rest.
    soxr_process(soxr_, sourceEnded_ ? nullptr : in_.data() + 2 * inStart_, inFrames_, &used, dst,
                 room, &made);
    inStart_ += used;
    inFrames_ -= used;
    if (skipping) {
      skip_ -= static_cast<int64_t>(made);
    } else {
      done += made;
    }
    if (sourceEnded_ && made == 0) break;
  }
  const int64_t shortOfLength = length - next_ - static_cast<int64_t>(done);
  if (exactLength && sourceEnded_ && done < frames && skip_ == 0 && shortOfLength > 0 &&
      shortOfLength <= kRoundingFrames) {
    // The resampler's rounding can leave the last frame or so short of the exact length;
    // a stream that broke off earlier ends where it broke off.
    const auto pad = std::min(frames - done, static_cast<std::size_t>(shortOfLength));
    std::memset(out + 2 * done, 0, pad * 2 * sizeof(float));
    done += pad;
  }
  next_ += static_cast<int64_t>(done);
  return done;
}
