#include "audio/mixer.h"

#include <algorithm>

Mixer::Mixer() {
  channels_.reserve(64);
}

void Mixer::Render(float* out, std::size_t frames) noexcept {
  std::fill(out, out + frames * AudioOutput::kChannels, 0.0f);
  std::lock_guard<std::mutex> lock(mutex_);
  for (MixerChannel* c : channels_) {
    if (!c->playing.load(std::memory_order_relaxed)) continue;
    // Read the end mark before the ring: if it is set, every frame is already in.
    const bool eof = c->decoderEof.load(std::memory_order_acquire);
    const std::size_t n = c->ring.MixInto(out, frames);
    c->consumed.fetch_add(static_cast<int64_t>(n), std::memory_order_release);
    if (n < frames) {
      if (eof && c->ring.Readable() == 0) {
        c->playing.store(false, std::memory_order_relaxed);
        c->ended.store(true, std::memory_order_release);
      } else {
        c->underruns.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }
  if (wave_ != nullptr) {
    const std::size_t n = std::min(frames, waveFrames_ - wavePos_);
    const float* src = wave_ + wavePos_ * 2;
    for (std::size_t i = 0; i < n * 2; ++i) out[i] += src[i];
    wavePos_ += n;
    if (wavePos_ >= waveFrames_) wave_ = nullptr;
  }
  for (std::size_t i = 0; i < frames * AudioOutput::kChannels; ++i)
    out[i] = std::clamp(out[i], -1.0f, 1.0f);
}

void Mixer::Add(MixerChannel* channel) {
  Locked([&] { channels_.push_back(channel); });
}

void Mixer::Remove(MixerChannel* channel) {
  Locked([&] {
    channels_.erase(std::remove(channels_.begin(), channels_.end(), channel), channels_.end());
  });
}

void Mixer::SetWave(const float* data, std::size_t frames) {
  Locked([&] {
    wave_ = frames > 0 ? data : nullptr;
    waveFrames_ = frames;
    wavePos_ = 0;
  });
}
