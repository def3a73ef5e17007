// MP3 encoding with libmp3lame: MPEG-1 Layer III, mono, 44.1 kHz, 64 kbit/s constant bit
// rate. Each call uses its own encoder, so calls from several threads run in parallel.
#pragma once

#include <string>

#include "speech_synth.h"

// The reader plays a speech file only when it holds at least this many bytes.
constexpr size_t kMinSpeechBytes = 3840;

// Encodes the samples (any input rate; resampled to 44.1 kHz), padded with silence so that
// the result is never shorter than kMinSpeechBytes. Throws SynthError.
std::string encodeMp3(const Pcm& pcm);
