#include "audio/sdl_audio_output.h"

#include <SDL2/SDL.h>

#include <cstdio>
#include <cstring>

#include "audio/alsa_messages.h"
#include "audio/silent_audio_output.h"

namespace {

// A short period keeps the echo of a key close to the key press.
constexpr int kWantedPeriod = 512;
constexpr int kWantedRate = 48000;

}  // namespace

SdlAudioOutput::SdlAudioOutput() = default;

std::unique_ptr<SdlAudioOutput> SdlAudioOutput::Open(std::string& error) {
  std::unique_ptr<SdlAudioOutput> out(new SdlAudioOutput);
  SilenceAlsaMessages();
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    error = SDL_GetError();
    return nullptr;
  }
  out->subsystemUp_ = true;
  if (!out->OpenDevice(true, error)) return nullptr;  // the destructor quits the subsystem
  const char* driver = SDL_GetCurrentAudioDriver();
  out->name_ = std::string("SDL ") + (driver ? driver : "?");
  return out;
}

bool SdlAudioOutput::OpenDevice(bool firstOpen, std::string& error) {
  SDL_AudioSpec want{};
  want.freq = firstOpen ? kWantedRate : rate_;
  want.format = AUDIO_F32SYS;
  want.channels = kChannels;
  want.samples = kWantedPeriod;
  want.callback = &SdlAudioOutput::Callback;
  want.userdata = this;
  SDL_AudioSpec have{};
  // The first open takes the device's own rate; a later one keeps it, because every open
  // sound has been converted to it.
  const int changes =
      SDL_AUDIO_ALLOW_SAMPLES_CHANGE | (firstOpen ? SDL_AUDIO_ALLOW_FREQUENCY_CHANGE : 0);
  const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, changes);
  if (device == 0) {
    error = SDL_GetError();
    return false;
  }
  device_ = device;
  rate_ = have.freq;
  period_.store(have.samples);
  return true;
}

SdlAudioOutput::~SdlAudioOutput() {
  SdlAudioOutput::Stop();
  if (subsystemUp_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void SdlAudioOutput::Start(AudioSource& source) {
  SDL_LockAudioDevice(device_);
  source_ = &source;
  SDL_UnlockAudioDevice(device_);
  SDL_PauseAudioDevice(device_, 0);
}

void SdlAudioOutput::Suspend() {
  if (standIn_) standIn_->Suspend();
  // The SDL device itself keeps running on silence: pausing it spares no wake-ups (SDL's
  // thread goes on feeding the driver silence), and on a sound server it lets the stream's
  // latency grow, so that the next sound would queue behind silence and a later close would
  // wait for it. The quiet comes from Release.
}

void SdlAudioOutput::Resume() {
  if (stopped_ || source_ == nullptr) return;
  if (standIn_) {
    standIn_->Resume();
    return;
  }
  if (device_ != 0) return;
  std::string error;
  if (OpenDevice(false, error)) {
    SDL_PauseAudioDevice(device_, 0);
    return;
  }
  // The sound server has gone: a silent clock keeps playback going, so that every sound
  // still ends and the program never waits for one for ever.
  if (!saidStandIn_) {
    std::fprintf(stderr,
                 "The sound output could not be opened again (%s); carrying on without sound.\n",
                 error.c_str());
    saidStandIn_ = true;
  }
  standIn_ = std::make_unique<SilentAudioOutput>(rate_, period_.load());
  standIn_->Start(*source_);
}

void SdlAudioOutput::Release() {
  if (standIn_) {
    // The real device is tried again at the next resume.
    standIn_->Stop();
    standIn_.reset();
    return;
  }
  if (device_ != 0) {
    // Waits for SDL's thread to end.
    SDL_CloseAudioDevice(device_);
    device_ = 0;
  }
}

void SdlAudioOutput::Stop() {
  stopped_ = true;
  if (standIn_) {
    standIn_->Stop();
    standIn_.reset();
  }
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
