// A single-producer single-consumer ring of stereo float frames between a device's
// decoder (producer: whoever holds the device's decode lock) and the mixer (consumer: the
// output's thread). Lock free; the storage is allocated once at construction.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class FrameRing {
 public:
  explicit FrameRing(std::size_t capacityFrames)
      : capacity_(capacityFrames), data_(capacityFrames * 2) {}

  std::size_t Capacity() const { return capacity_; }
  std::size_t Readable() const {
    return static_cast<std::size_t>(write_.load(std::memory_order_acquire) -
                                    read_.load(std::memory_order_acquire));
  }
  std::size_t Writable() const { return capacity_ - Readable(); }

  // Producer: appends up to `frames` frames; returns how many fit.
  std::size_t Write(const float* src, std::size_t frames) {
    const uint64_t w = write_.load(std::memory_order_relaxed);
    const uint64_t r = read_.load(std::memory_order_acquire);
    frames = std::min<std::size_t>(frames, capacity_ - static_cast<std::size_t>(w - r));
    for (std::size_t i = 0; i < frames; ++i) {
      const std::size_t at = static_cast<std::size_t>((w + i) % capacity_) * 2;
      data_[at] = src[2 * i];
      data_[at + 1] = src[2 * i + 1];
    }
    write_.store(w + frames, std::memory_order_release);
    return frames;
  }

  // Consumer: copies up to `frames` frames into `dst` and takes them out; returns how
  // many were taken.
  std::size_t Read(float* dst, std::size_t frames) {
    const uint64_t r = read_.load(std::memory_order_relaxed);
    frames = Copy(r, dst, frames);
    read_.store(r + frames, std::memory_order_release);
    return frames;
  }

  // Consumer: copies up to `frames` frames into `dst` and leaves them in the ring.
  std::size_t Peek(float* dst, std::size_t frames) const {
    return Copy(read_.load(std::memory_order_relaxed), dst, frames);
  }

  // Takes back the last `frames` frames written. Only while neither side runs (the caller
  // holds both the decode lock and the mixer lock).
  void DropNewest(std::size_t frames) {
    frames = std::min(frames, Readable());
    write_.store(write_.load(std::memory_order_relaxed) - frames, std::memory_order_release);
  }

  // Empties the ring. Only while neither side runs (the caller holds both the decode lock
  // and the mixer lock).
  void Clear() { read_.store(write_.load(std::memory_order_relaxed), std::memory_order_release); }

 private:
  std::size_t Copy(uint64_t r, float* dst, std::size_t frames) const {
    const uint64_t w = write_.load(std::memory_order_acquire);
    frames = std::min<std::size_t>(frames, static_cast<std::size_t>(w - r));
    for (std::size_t i = 0; i < frames; ++i) {
      const std::size_t at = static_cast<std::size_t>((r + i) % capacity_) * 2;
      dst[2 * i] = data_[at];
      dst[2 * i + 1] = data_[at + 1];
    }
    return frames;
  }

  std::size_t capacity_;
  std::vector<float> data_;
  std::atomic<uint64_t> write_{0};
  std::atomic<uint64_t> read_{0};
};
