#include <cstdio>

#include "audio/media_device_service_impl.h"
#include "audio/sdl_audio_output.h"
#include "audio/silent_audio_output.h"

std::unique_ptr<AudioOutput> OpenDefaultOutput() {
  std::string error;
  if (auto sdl = SdlAudioOutput::Open(error)) return sdl;
  std::fprintf(stderr, "No sound output could be opened (%s); carrying on without sound.\n",
               error.c_str());
  return std::make_unique<SilentAudioOutput>();
}
