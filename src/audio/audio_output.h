// Audio outputs: where the mixer's sound goes. An output calls its source for blocks of
// interleaved stereo float samples at its own rate, one block per buffer period. The
// variants (SDL2 device, silent real-time clock, manually stepped for tests) live in files
// of their own with the same shape.
//
// Threading: Start and Stop are called from the thread that owns the output (the GUI
// thread); Suspend, Resume and Release from any thread of the service, one at a time (the
// service serialises them). Render is called on the output's own thread (the SDL callback thread,
// the silent output's clock thread) or, for the stepped output, on the thread that steps it.
#pragma once

#include <cstddef>
#include <string>

// What an output plays: fills blocks of sound on demand.
class AudioSource {
 public:
  virtual ~AudioSource() = default;
  // Writes `frames` stereo frames (2 * frames floats, left then right) into `out`.
  // Called on the output's thread; must not block for long, allocate or throw.
  virtual void Render(float* out, std::size_t frames) noexcept = 0;
};

class AudioOutput {
 public:
  static constexpr int kChannels = 2;

  virtual ~AudioOutput() = default;
  // Frames per second of the blocks the output asks for.
  virtual int SampleRate() const = 0;
  // Frames per Render call: the buffer period, the floor of the output's latency.
  virtual std::size_t PeriodFrames() const = 0;
  // A short name for messages and benchmark figures ("SDL pulseaudio", "silent").
  virtual std::string Name() const = 0;
  // Begins calling source.Render; returns at once. Called once.
  virtual void Start(AudioSource& source) = 0;
  // Ends the calls; returns after the last Render call has finished. Idempotent.
  virtual void Stop() = 0;
  // Stops asking for blocks until Resume, so that an idle program costs no wake-ups of
  // its own (a driver may still keep its thread running). Returns at once. Starting
  // suspended is allowed: Suspend before Start keeps the output quiet from its first block.
  virtual void Suspend() = 0;
  // Asks for blocks again from the next period on. Returns at once, unless the output was
  // released: then it opens its device again first (a sound server's stream set-up, some
  // milliseconds), at the same rate and format.
  virtual void Resume() = 0;
  // Only while suspended: closes the device, so that neither the driver's thread nor the
  // sound server wakes for this program while it stays quiet. The next Resume opens it
  // again. Blocks until the device is closed. An output without a device of its own only
  // stays suspended.
  virtual void Release() {}
};
