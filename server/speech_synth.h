// Estonian speech synthesis with libespeak-ng. The library keeps global state and is not
// thread-safe, so one EspeakSynth serves the whole process and runs one synthesis at a
// time under its own lock; callers on any thread simply wait their turn.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/exception.h"

struct Pcm {
  std::vector<int16_t> samples;  // mono
  int sampleRate = 0;
  double seconds() const { return sampleRate ? double(samples.size()) / sampleRate : 0.0; }
};

class SynthError : public Exception {
 public:
  using Exception::Exception;
};

// Words per minute for the speech rates "1" (slow), "2" (normal) and "3" (fast).
constexpr std::array<int, 3> kRateWordsPerMinute = {120, 175, 260};
// The espeak-ng voices for v = "0" to "5": the Estonian voice and five of its variants.
constexpr std::array<const char*, 6> kVoiceNames = {"et",    "et+f3",     "et+m4",
                                                    "et+f5", "et+klatt3", "et+m7"};

// Takes samples as synthesis makes them; returns false to stop the synthesis there.
using SampleSink = std::function<bool(const int16_t* samples, size_t count)>;

// A point the synthesiser marks in what it makes: where a sentence or a word of the text
// begins. A sentence's event comes before the first event of its first word.
struct SynthEvent {
  enum class Kind { Sentence, Word };
  Kind kind = Kind::Sentence;
  size_t sample = 0;        // samples from the start of the synthesis
  size_t textPosition = 0;  // characters (code points) of the text, from 0
};
// Takes the events; each comes before the samples it points into.
using EventSink = std::function<void(const SynthEvent&)>;

class EspeakSynth {
 public:
  // Initialises espeak-ng for synchronous synthesis. Throws SynthError when the library
  // or the Estonian voice data cannot be loaded. Create at most one per process.
  EspeakSynth();
  ~EspeakSynth();
  EspeakSynth(const EspeakSynth&) = delete;
  EspeakSynth& operator=(const EspeakSynth&) = delete;

  // Speaks UTF-8 text at rate 1..3 with voice 0..5. Blocks while another synthesis runs.
  // Throws SynthError.
  Pcm synthesise(const std::string& utf8Text, int rate, int voice);

  // The same, handing the samples (mono, sampleRate()) to `sink` a few hundredths of a
  // second at a time while synthesis goes on, and the sentence and word events to
  // `events`, on the calling thread and under the lock. Returns false when the sink
  // stopped it. Throws SynthError, or what a sink threw.
  bool synthesise(const std::string& utf8Text, int rate, int voice, const SampleSink& sink,
                  const EventSink& events = {});

  int sampleRate() const { return sampleRate_; }

 private:
  std::mutex mutex_;
  int sampleRate_ = 0;
};
