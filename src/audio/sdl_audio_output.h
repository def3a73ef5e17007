// The real audio output: one SDL2 playback device (audio subsystem only), opened once for
// the run, in 32-bit float stereo. SDL runs Render on its own callback thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audio/audio_output.h"

class SdlAudioOutput : public AudioOutput {
 public:
  // Opens SDL's default playback device (SDL_AUDIODRIVER chooses the driver). Returns
  // nullptr and fills `error` when no device opens.
  static std::unique_ptr<SdlAudioOutput> Open(std::string& error);
  ~SdlAudioOutput() override;

  int SampleRate() const override { return rate_; }
  std::size_t PeriodFrames() const override { return period_; }
  std::string Name() const override { return name_; }
  void Start(AudioSource& source) override;
  void Stop() override;
  void Suspend() override;
  void Resume() override;

 private:
  SdlAudioOutput() = default;
  static void Callback(void* self, unsigned char* stream, int bytes);

  uint32_t device_ = 0;  // SDL_AudioDeviceID
  int rate_ = 0;
  std::size_t period_ = 0;
  std::string name_;
  AudioSource* source_ = nullptr;
  bool subsystemUp_ = false;
  bool suspended_ = false;
};
