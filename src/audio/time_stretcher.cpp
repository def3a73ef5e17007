#include "audio/time_stretcher.h"

#include <sonic.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Source frames written into libsonic at a time: few, so that little of what it makes at
// one speed waits when the speed changes.
constexpr std::size_t kBlockFrames = 256;
// How far back SoundFrameAt can look: more than a device's ring and the converter's
// buffers hold (a few seconds at any speed).
constexpr std::size_t kMarks = 4096;

}  // namespace

TimeStretcher::TimeStretcher(std::unique_ptr<Decoder> source)
    : source_(std::move(source)),
      rate_(source_->SampleRate()),
      heldBack_(4 * static_cast<int64_t>(source_->SampleRate() / SONIC_MIN_PITCH + 1)),
      block_(kBlockFrames * 2),
      channels_(source_->Mono() ? 1 : 2),
      mono_(kBlockFrames * 4) {
  Mark(0, 0);
}

TimeStretcher::~TimeStretcher() {
  if (sonic_ != nullptr) sonicDestroyStream(sonic_);
}

void TimeStretcher::SetSpeed(double speed) {
  speed = std::clamp(speed, kSlowest, kFastest);
  if (speed == speed_) return;
  speed_ = speed;
  if (mode_ != Mode::kStretching) return;
  // libsonic takes a new speed in mid-stream, from the input it has not yet used.
  sonicSetSpeed(sonic_, static_cast<float>(speed_));
  draining_ = speed_ == 1.0;
  if (draining_) {
    // At speed 1 libsonic copies what it holds; an empty write makes it do so now.
    sonicWriteFloatToStream(sonic_, nullptr, 0);
  }
}

bool TimeStretcher::SeekAhead(int64_t frame, int64_t target) {
  if (!source_->Seek(frame)) return false;
  StopStretching();
  stretchFrom_ = std::max(frame, target);
  fed_ = frame;
  next_ = frame;
  nextSound_ = static_cast<double>(frame);
  stretched_ = false;
  waiting_ = false;
  marks_.clear();
  Mark(frame, nextSound_);
  return true;
}

void TimeStretcher::StartStretching() {
  if (sonic_ == nullptr) sonic_ = sonicCreateStream(rate_, channels_);
  if (sonic_ == nullptr) {
    // Out of memory: the sound plays on at its own speed rather than not at all.
    stretchFrom_ = std::numeric_limits<int64_t>::max();
    return;
  }
  // The full-rate pitch search: the faster one looks at a quarter of the samples and picks
  // periods coarse enough to lower a steady tone by 0.7 % at 4 times and to cost 10 dB of
  // cleanness. This one keeps the pitch within 0.1 %, for about a core's 2 % more at 3
  // times.
  sonicSetQuality(sonic_, 1);
  sonicSetSpeed(sonic_, static_cast<float>(speed_));
  mode_ = Mode::kStretching;
  stretched_ = true;
  draining_ = false;
  flushed_ = false;
}

void TimeStretcher::StopStretching() {
  if (sonic_ != nullptr) {
    // A new stream: nothing of the old one's input or state may come out later.
    sonicDestroyStream(sonic_);
    sonic_ = nullptr;
  }
  mode_ = Mode::kNatural;
  draining_ = false;
  flushed_ = false;
}

void TimeStretcher::Mark(int64_t streamFrame, double soundFrame) {
  const auto natural = [](const std::pair<int64_t, double>& a, int64_t stream, double sound) {
    return sound - a.second == static_cast<double>(stream - a.first);
  };
  // A mark on a run of the sound's own frames only moves that run's end.
  if (!marks_.empty() &&
      (marks_.back().first == streamFrame ||
       (marks_.size() >= 2 && natural(marks_.back(), streamFrame, soundFrame) &&
        natural(marks_[marks_.size() - 2], marks_.back().first, marks_.back().second)))) {
    marks_.back() = {streamFrame, soundFrame};
    return;
  }
  marks_.emplace_back(streamFrame, soundFrame);
  if (marks_.size() > kMarks) marks_.pop_front();
}

std::size_t TimeStretcher::Read(float* out, std::size_t frames) {
  waiting_ = false;
  std::size_t done = 0;
  while (done < frames) {
    if (mode_ == Mode::kNatural) {
      std::size_t want = frames - done;
      if (speed_ != 1.0) {
        if (fed_ >= stretchFrom_) {
          StartStretching();
          continue;
        }
        want = static_cast<std::size_t>(
            std::min<int64_t>(static_cast<int64_t>(want), stretchFrom_ - fed_));
      }
      const std::size_t n = source_->Read(out + 2 * done, want);
      done += n;
      fed_ += static_cast<int64_t>(n);
      next_ += static_cast<int64_t>(n);
      nextSound_ = static_cast<double>(fed_);
      Mark(next_, nextSound_);
      if (n < want) {
        waiting_ = source_->Waiting();
        break;
      }
      continue;
    }

    const int available = sonicSamplesAvailable(sonic_);
    if (available > 0) {
      const int want = static_cast<int>(std::min<std::size_t>(frames - done, kBlockFrames * 4));
      float* to = out + 2 * done;
      int n = 0;
      if (channels_ == 1) {
        mono_.resize(static_cast<std::size_t>(want));
        n = sonicReadFloatFromStream(sonic_, mono_.data(), want);
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i)
          to[2 * i] = to[2 * i + 1] = mono_[i];
      } else {
        n = sonicReadFloatFromStream(sonic_, to, want);
      }
      if (flushed_) FadeTheEnd(to, n);
      done += static_cast<std::size_t>(n);
      next_ += n;
      // Where in the sound these frames come from: on by the speed, but never further than
      // what went in, nor further behind it than libsonic ever keeps.
      nextSound_ = std::clamp(nextSound_ + n * (draining_ ? 1.0 : speed_),
                              static_cast<double>(fed_ - heldBack_), static_cast<double>(fed_));
      Mark(next_, nextSound_);
      continue;
    }
    if (flushed_) {
      // Everything has come out: the stream ends where the sound ends.
      nextSound_ = static_cast<double>(fed_);
      Mark(next_, nextSound_);
      break;
    }
    if (draining_) {
      // What libsonic held has come out at speed 1: from here on the source's own frames.
      StopStretching();
      nextSound_ = static_cast<double>(fed_);
      Mark(next_, nextSound_);
      continue;
    }
    const std::size_t n = source_->Read(block_.data(), kBlockFrames);
    if (n == 0) {
      if (source_->Waiting()) {
        // More of a growing file is to come: what libsonic holds waits for it.
        waiting_ = true;
        break;
      }
      sonicFlushStream(sonic_);
      flushed_ = true;
      flushLeft_ = sonicSamplesAvailable(sonic_);
      continue;
    }
    if (channels_ == 1) {
      mono_.resize(n);
      for (std::size_t i = 0; i < n; ++i) mono_[i] = block_[2 * i];
      sonicWriteFloatToStream(sonic_, mono_.data(), static_cast<int>(n));
    } else {
      sonicWriteFloatToStream(sonic_, block_.data(), static_cast<int>(n));
    }
    fed_ += static_cast<int64_t>(n);
  }
  return done;
}

void TimeStretcher::FadeTheEnd(float* frames, int n) {
  // The last piece libsonic gives stops where its last splice stopped, mid-wave as often
  // as not: its final 2 ms fall along a half-cosine, so that the end never clicks.
  const int fade = std::max(1, rate_ / 500);
  for (int i = 0; i < n; ++i) {
    const int left = flushLeft_ - i;  // frames to the end, this one included
    if (left > fade) continue;
    const auto gain = static_cast<float>(0.5 - 0.5 * std::cos(M_PI * (left - 1) / fade));
    const auto at = 2 * static_cast<std::size_t>(i);
    frames[at] *= gain;
    frames[at + 1] *= gain;
  }
  flushLeft_ = std::max(0, flushLeft_ - n);
}

double TimeStretcher::SoundFrameAt(double streamFrame) const {
  // The marks rise in both counts; between two of them the stream ran at one pace.
  auto after = std::lower_bound(marks_.begin(), marks_.end(), streamFrame,
                                [](const std::pair<int64_t, double>& m, double f) {
                                  return static_cast<double>(m.first) < f;
                                });
  if (after == marks_.end()) {
    const auto& last = marks_.back();
    return last.second + (streamFrame - static_cast<double>(last.first)) * speed_;
  }
  if (after == marks_.begin()) {
    return after->second - (static_cast<double>(after->first) - streamFrame);
  }
  const auto before = std::prev(after);
  const auto span = static_cast<double>(after->first - before->first);
  return before->second + (after->second - before->second) *
                              (streamFrame - static_cast<double>(before->first)) / span;
}
