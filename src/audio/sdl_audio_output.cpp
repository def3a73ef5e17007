#include "audio/sdl_audio_output.h"

#include <SDL2/SDL.h>

#include <cstring>

#include "audio/alsa_messages.h"

std::unique_ptr<SdlAudioOutput> SdlAudioOutput::Open(std::string& error) {
  std::unique_ptr<SdlAudioOutput> out(new SdlAudioOutput);
  SilenceAlsaMessages();
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    error = SDL_GetError();
    return nullptr;
  }
  out->subsystemUp_ = true;
  SDL_AudioSpec want{};
  want.freq = 48000;
  want.format = AUDIO_F32SYS;
  want.channels = kChannels;
  // A short period keeps the echo of a key close to the key press.
  want.samples = 512;
  want.callback = &SdlAudioOutput::Callback;
  want.userdata = out.get();
  SDL_AudioSpec have{};
  out->device_ = SDL_OpenAudioDevice(
      nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_SAMPLES_CHANGE);
  if (out->device_ == 0) {
    error = SDL_GetError();
    return nullptr;  // the destructor quits the subsystem
  }
  out->rate_ = have.freq;
  out->period_ = have.samples;
  const char* driver = SDL_GetCurrentAudioDriver();
  out->name_ = std::string("SDL ") + (driver ? driver : "?");
  return out;
}

SdlAudioOutput::~SdlAudioOutput() {
  SdlAudioOutput::Stop();
  if (subsystemUp_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void SdlAudioOutput::Start(AudioSource& source) {
  SDL_LockAudioDevice(device_);
  source_ = &source;
  SDL_UnlockAudioDevice(device_);
  if (!suspended_) SDL_PauseAudioDevice(device_, 0);
}

void SdlAudioOutput::Suspend() {
  suspended_ = true;
  // A paused SDL device no longer calls back; SDL's own thread keeps feeding the driver
  // silence.
  if (device_ != 0 && source_ != nullptr) SDL_PauseAudioDevice(device_, 1);
}

void SdlAudioOutput::Resume() {
  suspended_ = false;
  if (device_ != 0 && source_ != nullptr) SDL_PauseAudioDevice(device_, 0);
}

void SdlAudioOutput::Stop() {
  if (device_ != 0) {
    // Closing waits for the callback thread to finish.
    SDL_CloseAudioDevice(device_);
    device_ = 0;
  }
}

void SdlAudioOutput::Callback(void* self, unsigned char* stream, int bytes) {
  auto* out = static_cast<SdlAudioOutput*>(self);
  const std::size_t frames = static_cast<std::size_t>(bytes) / (sizeof(float) * kChannels);
  if (out->source_ == nullptr) {
    std::memset(stream, 0, static_cast<std::size_t>(bytes));
    return;
  }
  out->source_->Render(reinterpret_cast<float*>(stream), frames);
}
