// The mixer: the one AudioSource of the output. It adds up every playing device's
// channel and the wave voice. Render runs on the output's thread; it only copies from
// ring buffers that decoders filled ahead, never allocates, and holds the mixer lock for
// the few microseconds a block takes. The GUI thread holds the same lock for as briefly
// when it starts, stops or re-aims a channel, so a change never lands in mid-block.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "audio/audio_output.h"
#include "audio/frame_ring.h"

// One device's voice in the mix.
struct MixerChannel {
  explicit MixerChannel(std::size_t ringFrames) : ring(ringFrames) {}
  FrameRing ring;
  // Set by the GUI thread (under the mixer lock); cleared by Render at the end.
  std::atomic<bool> playing{false};
  // Set by the decoder after it wrote the last frame into the ring.
  std::atomic<bool> decoderEof{false};
  // Set by Render when the last frame went out while playing.
  std::atomic<bool> ended{false};
  // Frames handed to the output since the ring was last cleared.
  std::atomic<int64_t> consumed{0};
  // Blocks that found the ring empty before the end (the decoder fell behind).
  std::atomic<uint32_t> underruns{0};
};

class Mixer : public AudioSource {
 public:
  Mixer();
  void Render(float* out, std::size_t frames) noexcept override;

  // GUI thread. The channel must stay alive until removed.
  void Add(MixerChannel* channel);
  void Remove(MixerChannel* channel);
  // Runs `change` while no block is being rendered.
  template <class F>
  void Locked(F&& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
  }
  // Starts the wave voice on `frames` stereo frames at `data` (nullptr: silence it),
  // cutting off the previous sound. The data must stay valid until the next call.
  void SetWave(const float* data, std::size_t frames);

 private:
  std::mutex mutex_;
  std::vector<MixerChannel*> channels_;
  const float* wave_ = nullptr;
  std::size_t waveFrames_ = 0;
  std::size_t wavePos_ = 0;
};
