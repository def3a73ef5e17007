// MP3 encoding with libmp3lame: MPEG-1 Layer III, mono, 44.1 kHz, 64 kbit/s constant bit
// rate, without an Info (Xing) frame, so the first byte is an audio frame and a stream can
// be sent while it is being encoded. Each encoder is independent: encoders on several
// threads run in parallel; one encoder is used from one thread at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sentence_map.h"
#include "speech_synth.h"

// The reader plays a speech file only when it holds at least this many bytes.
constexpr size_t kMinSpeechBytes = 3840;

// Encodes samples as they come. encode() returns the frames completed so far, often none:
// the encoder holds about two frames (50 ms) back for its look-ahead.
class Mp3StreamEncoder {
 public:
  // Samples arrive at `inputRate` and are resampled to 44.1 kHz. Throws SynthError.
  explicit Mp3StreamEncoder(int inputRate);
  ~Mp3StreamEncoder();
  Mp3StreamEncoder(const Mp3StreamEncoder&) = delete;
  Mp3StreamEncoder& operator=(const Mp3StreamEncoder&) = delete;

  // Throws SynthError.
  std::string encode(const int16_t* samples, size_t count);
  // Ends the stream: pads it with silence so that the whole stream is never shorter than
  // kMinSpeechBytes, and returns the last frames. Call once, last. Throws SynthError.
  std::string finish();

  // Where input sample `sample` is heard in the decoded stream, in milliseconds as a
  // player counts them. The stream has no Info frame, so a decoder cannot know the
  // encoder's delay and keeps it, and its own as well: every sound comes later by both.
  int64_t decodedMs(size_t sample) const;

 private:
  struct Lame;
  std::unique_ptr<Lame> lame_;
  int inputRate_;
  int delaySamples_ = 0;  // at the output rate
  size_t samplesIn_ = 0;
  size_t bytesOut_ = 0;
};

// Encodes the samples (any input rate) in one go; the same bytes as a stream encoder
// given them. Throws SynthError.
std::string encodeMp3(const Pcm& pcm);

// Synthesises and encodes at once: MP3 frames reach `out` while synthesis goes on, the
// first of them a few hundredths of a second after the start. `out` returns false to stop;
// then the stream is left unfinished and speakMp3 returns false. With `marks`, the
// sentences of what was made are timed in the decoded stream and placed in `utf8Text`;
// a line of the text starts a sentence of its own. Throws SynthError.
bool speakMp3(EspeakSynth& synth, const std::string& utf8Text, int rate, int voice,
              const std::function<bool(std::string_view)>& out, double* audioSeconds = nullptr,
              std::vector<SentenceMark>* marks = nullptr);
