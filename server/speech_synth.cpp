#include "speech_synth.h"

#include <espeak-ng/speak_lib.h>

namespace {

int collectSamples(short* wav, int count, espeak_EVENT* events) {
  if (wav && count > 0 && events) {
    auto* out = static_cast<std::vector<int16_t>*>(events->user_data);
    if (out) out->insert(out->end(), wav, wav + count);
  }
  return 0;  // go on
}

}  // namespace

EspeakSynth::EspeakSynth() {
  sampleRate_ = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, 0);
  if (sampleRate_ <= 0)
    throw SynthError("espeak-ng could not be initialised (is espeak-ng-data installed?)");
  espeak_SetSynthCallback(collectSamples);
  if (espeak_SetVoiceByName(kVoiceNames[0]) != EE_OK)
    throw SynthError("espeak-ng has no Estonian voice \"et\" (is espeak-ng-data installed?)");
}

EspeakSynth::~EspeakSynth() {
  espeak_Terminate();
}

Pcm EspeakSynth::synthesise(const std::string& utf8Text, int rate, int voice) {
  if (rate < 1 || rate > 3 || voice < 0 || voice > 5)
    throw SynthError("speech rate or voice out of range");
  // Control characters (tabs of menu lines, stray carriage returns) are read as pauses.
  std::string text = utf8Text;
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n') c = ' ';

  Pcm pcm;
  pcm.sampleRate = sampleRate_;
  std::lock_guard<std::mutex> lock(mutex_);
  if (espeak_SetVoiceByName(kVoiceNames[voice]) != EE_OK)
    throw SynthError(std::string("espeak-ng voice not found: ") + kVoiceNames[voice]);
  espeak_SetParameter(espeakRATE, kRateWordsPerMinute[rate - 1], 0);
  espeak_ERROR err = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                  espeakCHARS_UTF8, nullptr, &pcm.samples);
  if (err != EE_OK) throw SynthError("espeak-ng synthesis failed");
  espeak_Synchronize();
  return pcm;
}
