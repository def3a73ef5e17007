#include "audio/alsa_messages.h"

#include <alsa/asoundlib.h>

namespace {

// SDL loads the same shared libasound at run time, so the handler set here is the one
// its ALSA driver sees.
void Discard(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void SilenceAlsaMessages() {
  snd_lib_error_set_handler(&Discard);
}
