#include "audio/mixer.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kFadeSeconds = 0.005;
// -10 dB.
constexpr float kDuckGain = 0.316f;
constexpr double kDuckDownSeconds = 0.010;
constexpr double kDuckUpSeconds = 0.040;
// The limiter keeps peaks a little under full scale: its gain reaches a peak's value 1 ms
// before the peak, falling at most from 1 to 0 in 2 ms before that, and takes 200 ms to
// come back from 0 to 1.
constexpr float kCeiling = 0.97f;
constexpr double kAttackSeconds = 0.002;
constexpr double kHoldSeconds = 0.001;
constexpr double kReleaseSeconds = 0.2;
// Blocks are rendered in pieces of at most this many frames (the scratch buffers' size).
constexpr std::size_t kChunkFrames = 1024;
constexpr std::size_t kTails = 8;

}  // namespace

Mixer::Mixer(int sampleRate)
    : fadeFrames_(static_cast<std::size_t>(std::lround(kFadeSeconds * sampleRate))),
      rise_(fadeFrames_),
      duckDownStep_(static_cast<float>((1 - kDuckGain) / (kDuckDownSeconds * sampleRate))),
      duckUpStep_(static_cast<float>((1 - kDuckGain) / (kDuckUpSeconds * sampleRate))),
      attackStep_(static_cast<float>(1 / (kAttackSeconds * sampleRate))),
      holdFrames_(static_cast<std::size_t>(kHoldSeconds * sampleRate)),
      releaseStep_(static_cast<float>(1 / (kReleaseSeconds * sampleRate))),
      tails_(kTails),
      scratch_(kChunkFrames * AudioOutput::kChannels),
      duckGains_(kChunkFrames),
      need_(kChunkFrames),
      window_(kChunkFrames),
      queue_(kChunkFrames) {
  for (std::size_t k = 0; k < fadeFrames_; ++k)
    rise_[k] = static_cast<float>(0.5 - 0.5 * std::cos(M_PI * static_cast<double>(k + 1) /
                                                       static_cast<double>(fadeFrames_ + 1)));
  for (Tail& t : tails_) t.data.resize(fadeFrames_ * AudioOutput::kChannels);
  channels_.reserve(64);
}

void Mixer::Render(float* out, std::size_t frames) noexcept {
  std::lock_guard<std::mutex> lock(mutex_);
  while (frames > 0) {
    const std::size_t n = std::min(frames, kChunkFrames);
    RenderChunk(out, n);
    out += n * AudioOutput::kChannels;
    frames -= n;
  }
}

void Mixer::RenderChunk(float* out, std::size_t frames) {
  std::fill(out, out + frames * AudioOutput::kChannels, 0.0f);

  bool keyVoice = false;
  for (const MixerChannel* c : channels_)
    keyVoice |= c->ducksOthers && c->playing.load(std::memory_order_relaxed);
  const float target = keyVoice ? kDuckGain : 1.0f;
  for (std::size_t i = 0; i < frames; ++i) {
    duck_ = duck_ > target ? std::max(target, duck_ - duckDownStep_)
                           : std::min(target, duck_ + duckUpStep_);
    duckGains_[i] = duck_;
  }

  for (MixerChannel* c : channels_) {
    if (!c->playing.load(std::memory_order_relaxed)) continue;
    // Read the end mark before the ring: if it is set, every frame is already in.
    const bool eof = c->decoderEof.load(std::memory_order_acquire);
    // A growing file whose data has run out for now: the last frames there are fade out,
    // so that the wait starts without a click, and playing on fades in again.
    const bool starving = !eof && c->starving.load(std::memory_order_acquire);
    const std::size_t available = c->ring.Readable();
    const std::size_t n = c->ring.Read(scratch_.data(), frames);
    c->consumed.fetch_add(static_cast<int64_t>(n), std::memory_order_release);
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t k = c->fadedIn;  // the place on the rising curve; past its end, full gain
      if (starving) k = std::min(k, available - i - 1);
      float g = k < fadeFrames_ ? rise_[k] : 1.0f;
      c->fadedIn = std::min(k + 1, fadeFrames_);
      if (!c->ducksOthers) g *= duckGains_[i];
      out[2 * i] += scratch_[2 * i] * g;
      out[2 * i + 1] += scratch_[2 * i + 1] * g;
    }
    if (n < frames) {
      if (eof && c->ring.Readable() == 0) {
        c->playing.store(false, std::memory_order_relaxed);
        c->ended.store(true, std::memory_order_release);
      } else {
        c->underruns.fetch_add(1, std::memory_order_relaxed);
        c->fadedIn = 0;
      }
    }
  }

  for (Tail& t : tails_) {
    for (std::size_t i = 0; i < frames && t.pos < t.frames; ++i, ++t.pos) {
      float g = t.gain * rise_[fadeFrames_ - 1 - t.pos];
      if (t.ducked) g *= duckGains_[i];
      out[2 * i] += t.data[2 * t.pos] * g;
      out[2 * i + 1] += t.data[2 * t.pos + 1] * g;
    }
  }

  if (wave_ != nullptr) {
    const std::size_t n = std::min(frames, waveFrames_ - wavePos_);
    const float* src = wave_ + wavePos_ * 2;
    for (std::size_t i = 0; i < n * 2; ++i) out[i] += src[i];
    wavePos_ += n;
    if (wavePos_ >= waveFrames_) wave_ = nullptr;
  }
  Limit(out, frames);
}

void Mixer::Limit(float* out, std::size_t frames) {
  bool over = false;
  for (std::size_t i = 0; i < frames; ++i) {
    const float peak = std::max(std::fabs(out[2 * i]), std::fabs(out[2 * i + 1]));
    need_[i] = peak > kCeiling ? kCeiling / peak : 1.0f;
    over |= peak > kCeiling;
  }
  if (!over && limiterGain_ >= 1.0f) return;
  // Backwards: the lowest gain needed within the next hold time (a sliding minimum, kept
  // in a queue of rising values), then a limit on how fast the gain may fall towards it.
  // The gain is thus already down, and held, when a crest of this block comes: the crest
  // is scaled, not flattened.
  std::size_t head = 0;
  std::size_t tail = 0;
  float ahead = 1.0f;
  for (std::size_t i = frames; i-- > 0;) {
    while (tail > head && need_[queue_[tail - 1]] >= need_[i]) --tail;
    queue_[tail++] = i;
    while (queue_[head] > i + holdFrames_) ++head;
    ahead = std::min(need_[queue_[head]], ahead + attackStep_);
    window_[i] = ahead;
  }
  // Forwards: hold after a peak too, then recover slowly. A peak at the very start of a
  // block, which the previous block could not see coming, lowers the gain at once; that
  // is still no clipping.
  for (std::size_t i = 0; i < frames; ++i) {
    if (window_[i] <= limiterGain_) {
      limiterGain_ = window_[i];
      limiterHold_ = holdFrames_;
    } else if (limiterHold_ > 0) {
      --limiterHold_;
    } else {
      limiterGain_ = std::min(window_[i], limiterGain_ + releaseStep_);
    }
    out[2 * i] *= limiterGain_;
    out[2 * i + 1] *= limiterGain_;
  }
  limiterGain_ = std::min(limiterGain_, 1.0f);
}

void Mixer::Add(MixerChannel* channel) {
  Locked([&] { channels_.push_back(channel); });
}

void Mixer::Remove(MixerChannel* channel) {
  Locked([&] {
    CutLocked(channel);
    channels_.erase(std::remove(channels_.begin(), channels_.end(), channel), channels_.end());
  });
}

void Mixer::Start(MixerChannel* channel) {
  Locked([&] {
    channel->ended.store(false);
    channel->fadedIn = 0;
    channel->playing.store(true);
  });
}

void Mixer::Cut(MixerChannel* channel) {
  Locked([&] { CutLocked(channel); });
}

void Mixer::CutLocked(MixerChannel* channel) {
  if (!channel->playing.load()) return;
  Tail& t = FreeTail();
  // The consumer's side of the ring is ours while the lock is held.
  t.frames = channel->ring.Peek(t.data.data(), fadeFrames_);
  t.pos = 0;
  t.gain = channel->fadedIn < fadeFrames_ ? rise_[channel->fadedIn] : 1.0f;
  t.ducked = !channel->ducksOthers;
  channel->playing.store(false);
}

void Mixer::SetDucksOthers(MixerChannel* channel, bool ducks) {
  Locked([&] { channel->ducksOthers = ducks; });
}

Mixer::Tail& Mixer::FreeTail() {
  Tail* best = &tails_[0];
  for (Tail& t : tails_) {
    if (t.pos >= t.frames) return t;
    if (t.pos > best->pos) best = &t;
  }
  return *best;
}

void Mixer::SetWave(const float* data, std::size_t frames) {
  Locked([&] {
    if (wave_ != nullptr) {
      Tail& t = FreeTail();
      t.frames = std::min(fadeFrames_, waveFrames_ - wavePos_);
      std::copy(wave_ + wavePos_ * 2, wave_ + (wavePos_ + t.frames) * 2, t.data.begin());
      t.pos = 0;
      t.gain = 1.0f;
      t.ducked = false;
    }
    wave_ = frames > 0 ? data : nullptr;
    waveFrames_ = frames;
    wavePos_ = 0;
  });
}

bool Mixer::Quiet() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (wave_ != nullptr) return false;
  for (const MixerChannel* c : channels_)
    if (c->playing.load(std::memory_order_relaxed)) return false;
  for (const Tail& t : tails_)
    if (t.pos < t.frames) return false;
  return true;
}
