// libasound prints its own errors to standard error ("ALSA lib …") when SDL probes a
// machine without a sound card. The reader says once, in its own words, that it plays
// without sound; these lines would only bury that.
#pragma once

// Sends libasound's error messages nowhere. Idempotent; call before SDL opens audio.
void SilenceAlsaMessages();
