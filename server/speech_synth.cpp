#include "speech_synth.h"

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <exception>

namespace {

// What one synthesis hands to the library's callback through its user data.
struct SinkCall {
  const SampleSink* sink = nullptr;
  const EventSink* events = nullptr;
  bool stopped = false;
  std::exception_ptr failure;  // thrown by a sink; it must not cross the C library
};

int passSamples(short* wav, int count, espeak_EVENT* events) {
  if (!events || !events->user_data) return 0;
  auto* call = static_cast<SinkCall*>(events->user_data);
  try {
    // The events of a call come before its samples: they point into them or beyond.
    if (*call->events) {
      for (const espeak_EVENT* e = events; e->type != espeakEVENT_LIST_TERMINATED; ++e) {
        if (e->type != espeakEVENT_SENTENCE && e->type != espeakEVENT_WORD) continue;
        SynthEvent event;
        event.kind =
            e->type == espeakEVENT_SENTENCE ? SynthEvent::Kind::Sentence : SynthEvent::Kind::Word;
        event.sample = static_cast<size_t>(std::max(e->sample, 0));
        // espeak-ng counts the text's characters from 1.
        event.textPosition = static_cast<size_t>(std::max(e->text_position - 1, 0));
        (*call->events)(event);
      }
    }
    if (!wav || count <= 0) return 0;
    if ((*call->sink)(wav, static_cast<size_t>(count))) return 0;  // go on
    call->stopped = true;
  } catch (...) {
    call->failure = std::current_exception();
  }
  return 1;  // stop the synthesis
}

}  // namespace

EspeakSynth::EspeakSynth() {
  sampleRate_ = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, 0);
  if (sampleRate_ <= 0)
    throw SynthError("espeak-ng could not be initialised (is espeak-ng-data installed?)");
  espeak_SetSynthCallback(passSamples);
  if (espeak_SetVoiceByName(kVoiceNames[0]) != EE_OK)
    throw SynthError("espeak-ng has no Estonian voice \"et\" (is espeak-ng-data installed?)");
}

EspeakSynth::~EspeakSynth() {
  espeak_Terminate();
}

Pcm EspeakSynth::synthesise(const std::string& utf8Text, int rate, int voice) {
  Pcm pcm;
  pcm.sampleRate = sampleRate_;
  synthesise(utf8Text, rate, voice, [&pcm](const int16_t* samples, size_t count) {
    pcm.samples.insert(pcm.samples.end(), samples, samples + count);
    return true;
  });
  return pcm;
}

bool EspeakSynth::synthesise(const std::string& utf8Text, int rate, int voice,
                             const SampleSink& sink, const EventSink& events) {
  if (rate < 1 || rate > 3 || voice < 0 || voice > 5)
    throw SynthError("speech rate or voice out of range");
  // Control characters (tabs of menu lines, stray carriage returns) are read as pauses.
  std::string text = utf8Text;
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n') c = ' ';

  SinkCall call;
  call.sink = &sink;
  call.events = &events;
  std::lock_guard<std::mutex> lock(mutex_);
  if (espeak_SetVoiceByName(kVoiceNames[voice]) != EE_OK)
    throw SynthError(std::string("espeak-ng voice not found: ") + kVoiceNames[voice]);
  espeak_SetParameter(espeakRATE, kRateWordsPerMinute[rate - 1], 0);
  espeak_ERROR err = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                  espeakCHARS_UTF8, nullptr, &call);
  espeak_Synchronize();
  if (call.failure) std::rethrow_exception(call.failure);
  if (err != EE_OK) throw SynthError("espeak-ng synthesis failed");
  return !call.stopped;
}
