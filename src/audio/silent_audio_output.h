// The fallback output when no sound device opens: it renders and discards the sound on a
// clock thread of its own, one buffer period at a time in real time, so playback
// advances, ends and notifies exactly as with a sound card. While suspended the clock
// thread sleeps until it is resumed.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "audio/audio_output.h"

class SilentAudioOutput : public AudioOutput {
 public:
  explicit SilentAudioOutput(int sampleRate = 48000, std::size_t periodFrames = 512);
  ~SilentAudioOutput() override;

  int SampleRate() const override { return rate_; }
  std::size_t PeriodFrames() const override { return period_; }
  std::string Name() const override { return "silent"; }
  void Start(AudioSource& source) override;
  void Stop() override;
  void Suspend() override;
  void Resume() override;

 private:
  void Run(AudioSource* source);

  int rate_;
  std::size_t period_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool quit_ = false;
  bool suspended_ = false;
  std::thread thread_;
};
