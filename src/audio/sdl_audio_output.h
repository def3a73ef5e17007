// The real audio output: one SDL2 playback device (audio subsystem only), in 32-bit float
// stereo. SDL runs Render on its own callback thread. The device is opened at start and
// runs, rendering silence while suspended; while the program is quiet the service releases
// it (the device is closed and SDL's thread ends), and Resume opens it again at the rate
// of the first open.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/audio_output.h"

class SilentAudioOutput;

class SdlAudioOutput : public AudioOutput {
 public:
  // Opens SDL's default playback device (SDL_AUDIODRIVER chooses the driver). Returns
  // nullptr and fills `error` when no device opens.
  static std::unique_ptr<SdlAudioOutput> Open(std::string& error);
  ~SdlAudioOutput() override;

  int SampleRate() const override { return rate_; }
  std::size_t PeriodFrames() const override { return period_.load(); }
  std::string Name() const override { return name_; }
  void Start(AudioSource& source) override;
  void Stop() override;
  void Suspend() override;
  // After a release, a device that no longer opens (the sound server has gone) is replaced
  // by a silent clock until the next release, so that playback still advances and ends;
  // that is said once on standard error.
  void Resume() override;
  void Release() override;

 private:
  SdlAudioOutput();
  // Opens the default device with the first open's rate (SDL converts when the device
  // runs at another); the device starts paused. False with `error` when none opens.
  bool OpenDevice(bool firstOpen, std::string& error);
  static void Callback(void* self, unsigned char* stream, int bytes);

  uint32_t device_ = 0;  // SDL_AudioDeviceID; 0 while released or stopped
  int rate_ = 0;
  std::atomic<std::size_t> period_{0};
  std::string name_;
  AudioSource* source_ = nullptr;
  bool subsystemUp_ = false;
  bool stopped_ = false;
  std::unique_ptr<SilentAudioOutput> standIn_;  // while the device cannot be opened again
  bool saidStandIn_ = false;
};
