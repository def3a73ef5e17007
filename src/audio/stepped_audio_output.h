// An output driven by hand, for tests: nothing plays until the test calls Step, which
// renders on the calling thread and keeps what was rendered when capture is on. While
// suspended (or released), Step gives silence without asking the source, as a paused
// device would. A test can wait for the service to release it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
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
  void Resume() override;
  void Release() override;
  bool Suspended() const { return suspended_; }
  bool Released() const;
  // Waits until the output has been released, at most `ms`; true when it was.
  bool WaitUntilReleased(int ms);

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
  mutable std::mutex releaseMutex_;
  std::condition_variable releaseCv_;
  bool released_ = false;
  bool capture_ = false;
  std::vector<float> block_;
  std::vector<float> captured_;
};
