// An output driven by hand, for tests: nothing plays until the test calls Step, which
// renders on the calling thread and keeps what was rendered when capture is on. While
// suspended, Step gives silence without asking the source, as a paused device would.
#pragma once

#include <atomic>
#include <vector>

#include "audio/audio_output.h"

class SteppedAudioOutput : public AudioOutput {
 public:
  explicit SteppedAudioOutput(int sampleRate = 48000, std::size_t periodFrames = 480);

  int SampleRate() const override { return rate_; }
  std::size_t PeriodFrames() const override { return period_; }
  std::string Name() const override { return "stepped"; }
  void Start(AudioSource& source) override { source_ = &source; }
  void Stop() override { source_ = nullptr; }
  void Suspend() override { suspended_ = true; }
  void Resume() override { suspended_ = false; }
  bool Suspended() const { return suspended_; }

  // Renders `frames` frames in blocks of at most one period. Without a started source
  // the frames are silence.
  void Step(std::size_t frames);
  // Everything rendered while capture was on, interleaved stereo.
  void SetCapture(bool on) { capture_ = on; }
  const std::vector<float>& Captured() const { return captured_; }
  void ClearCaptured() { captured_.clear(); }

 private:
  int rate_;
  std::size_t period_;
  AudioSource* source_ = nullptr;
  std::atomic<bool> suspended_{false};
  bool capture_ = false;
  std::vector<float> block_;
  std::vector<float> captured_;
};
