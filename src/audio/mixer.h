// The mixer: the one AudioSource of the output. It adds up every playing device's
// channel and the wave voice, and keeps the sum clean:
//  - Every cut fades. A channel stopped while it plays, and a wave sound cut off by the
//    next one, go on for about 5 ms from a copy of what they would have played, along a
//    falling half-cosine; the channel's own position stays where the cut was asked. A
//    channel that starts (play, resume) rises along the same curve. A channel whose
//    growing file has run out of data fades out over its last frames and back in when
//    more comes.
//  - While a channel that ducks the others plays (the key names), every other channel is
//    lowered by 10 dB, with a short ramp down and a slower one back.
//  - The sum passes a limiter instead of being clipped: the gain falls smoothly just
//    before a peak that would go past full scale, and recovers slowly after it.
//
// Render runs on the output's thread; it only copies from ring buffers that decoders
// filled ahead, never allocates, and holds the mixer lock for the few microseconds a block
// takes. The GUI thread holds the same lock for as briefly when it starts, cuts or
// re-aims a channel, so a change never lands in mid-block.
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
  // Set by Mixer::Start, cleared by Mixer::Cut or by Render at the end.
  std::atomic<bool> playing{false};
  // Set by the decoder after it wrote the last frame into the ring.
  std::atomic<bool> decoderEof{false};
  // Set by Render when the last frame went out while playing.
  std::atomic<bool> ended{false};
  // Frames handed to the output since the ring was last cleared.
  std::atomic<int64_t> consumed{0};
  // Blocks that found the ring empty before the end (the decoder fell behind).
  std::atomic<uint32_t> underruns{0};
  // Set by the decoder while a growing file's data has run out for now.
  std::atomic<bool> starving{false};

  // Under the mixer lock.
  std::size_t fadedIn = 0;   // the place on the rising fade; at its length, full gain
  bool ducksOthers = false;  // a key name: the other channels are lowered while it plays
};

class Mixer : public AudioSource {
 public:
  explicit Mixer(int sampleRate);
  void Render(float* out, std::size_t frames) noexcept override;

  // GUI thread. The channel must stay alive until removed.
  void Add(MixerChannel* channel);
  void Remove(MixerChannel* channel);
  // Starts a channel from its ring's next frame, fading in.
  void Start(MixerChannel* channel);
  // Stops a playing channel with a fade-out; its ring and position stay as they are.
  // Does nothing to a channel that is not playing.
  void Cut(MixerChannel* channel);
  void SetDucksOthers(MixerChannel* channel, bool ducks);
  // Runs `change` while no block is being rendered.
  template <class F>
  void Locked(F&& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change();
  }
  // Starts the wave voice on `frames` stereo frames at `data` (nullptr: silence it),
  // cutting off the previous sound with a fade. The data must stay valid until the next
  // call.
  void SetWave(const float* data, std::size_t frames);
  // True when nothing sounds: no channel plays, no wave sound and no fade is left.
  bool Quiet();

  std::size_t FadeFrames() const { return fadeFrames_; }

 private:
  // What a cut sound still plays while it fades out.
  struct Tail {
    std::vector<float> data;
    std::size_t frames = 0;  // of data
    std::size_t pos = 0;     // next frame to play; done at `frames`
    float gain = 1;          // where the fade starts (a cut during a fade-in starts lower)
    bool ducked = false;     // follows the ducking of the other channels
  };

  void RenderChunk(float* out, std::size_t frames);
  void Limit(float* out, std::size_t frames);
  Tail& FreeTail();
  void CutLocked(MixerChannel* channel);

  const std::size_t fadeFrames_;
  std::vector<float> rise_;  // the fade curve, fadeFrames_ values rising towards 1
  const float duckDownStep_;
  const float duckUpStep_;
  const float attackStep_;
  const std::size_t holdFrames_;
  const float releaseStep_;

  std::mutex mutex_;
  std::vector<MixerChannel*> channels_;
  std::vector<Tail> tails_;
  const float* wave_ = nullptr;
  std::size_t waveFrames_ = 0;
  std::size_t wavePos_ = 0;
  float duck_ = 1;               // the present gain of the ducked channels
  float limiterGain_ = 1;        // the limiter's present gain
  std::size_t limiterHold_ = 0;  // frames the gain still holds after a peak
  std::vector<float> scratch_;
  std::vector<float> duckGains_;
  std::vector<float> need_;    // the limiter's gain that each frame needs
  std::vector<float> window_;  // the lowest of those over the hold time ahead
  std::vector<std::size_t> queue_;
};
