#include "mp3_encoder.h"

#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "text_encoding.h"

namespace {

// The delay of a Layer III decoder (its synthesis filter bank) in samples: a decoder that
// knows no Info frame keeps it in what it gives, as libmpg123 does.
constexpr int kDecoderDelay = 529;
constexpr int kOutputRate = 44100;

struct LameDeleter {
  void operator()(lame_global_flags* gf) const { lame_close(gf); }
};
using LamePtr = std::unique_ptr<lame_global_flags, LameDeleter>;

LamePtr openLame(int inputRate) {
  LamePtr gf(lame_init());
  if (!gf) throw SynthError("LAME could not be initialised");
  lame_set_num_channels(gf.get(), 1);
  lame_set_mode(gf.get(), MONO);
  lame_set_in_samplerate(gf.get(), inputRate);
  lame_set_out_samplerate(gf.get(), kOutputRate);
  lame_set_VBR(gf.get(), vbr_off);
  lame_set_brate(gf.get(), 64);
  lame_set_quality(gf.get(), 5);
  // An Info frame would have to be filled in at the start once the end is known, which a
  // stream already sent cannot have. Without it players treat the encoder's delay (about
  // 25 ms) and its last padding as silence, which they are.
  lame_set_bWriteVbrTag(gf.get(), 0);
  if (lame_init_params(gf.get()) < 0) throw SynthError("LAME rejected the encoding parameters");
  return gf;
}

// Samples given to LAME per call; its documented worst case of output for n samples is
// 1.25 n + 7200 bytes (doubled here for the resampling from the synthesiser's rate).
constexpr size_t kChunk = 8192;
constexpr size_t kBufferBytes = kChunk * 5 / 4 * 2 + 7200;

}  // namespace

struct Mp3StreamEncoder::Lame {
  LamePtr gf;
  std::vector<unsigned char> buffer = std::vector<unsigned char>(kBufferBytes);
};

Mp3StreamEncoder::Mp3StreamEncoder(int inputRate)
    : lame_(std::make_unique<Lame>()), inputRate_(inputRate) {
  if (inputRate <= 0) throw SynthError("no sample rate");
  lame_->gf = openLame(inputRate);
  delaySamples_ = lame_get_encoder_delay(lame_->gf.get()) + kDecoderDelay;
}

int64_t Mp3StreamEncoder::decodedMs(size_t sample) const {
  // LAME's resampling from the synthesiser's rate adds no delay of its own (measured: an
  // impulse comes out exactly encoder delay plus decoder delay later).
  const double decoded = double(sample) * kOutputRate / double(inputRate_) + double(delaySamples_);
  return std::llround(decoded * 1000.0 / kOutputRate);
}

Mp3StreamEncoder::~Mp3StreamEncoder() = default;

std::string Mp3StreamEncoder::encode(const int16_t* samples, size_t count) {
  std::string out;
  for (size_t pos = 0; pos < count; pos += kChunk) {
    int n = static_cast<int>(std::min(kChunk, count - pos));
    auto* pcm = const_cast<short*>(reinterpret_cast<const short*>(samples + pos));
    int written = lame_encode_buffer(lame_->gf.get(), pcm, nullptr, n, lame_->buffer.data(),
                                     static_cast<int>(lame_->buffer.size()));
    if (written < 0) throw SynthError("LAME encoding failed");
    out.append(reinterpret_cast<char*>(lame_->buffer.data()), static_cast<size_t>(written));
  }
  samplesIn_ += count;
  bytesOut_ += out.size();
  return out;
}

std::string Mp3StreamEncoder::finish() {
  std::string out;
  // 64 kbit/s is 8000 bytes a second: three quarters of a second is well above the
  // minimum.
  size_t minSamples = static_cast<size_t>(inputRate_) * 3 / 4;
  if (samplesIn_ < minSamples) {
    std::vector<int16_t> silence(minSamples - samplesIn_, 0);
    out = encode(silence.data(), silence.size());
  }
  int written = lame_encode_flush(lame_->gf.get(), lame_->buffer.data(),
                                  static_cast<int>(lame_->buffer.size()));
  if (written < 0) throw SynthError("LAME encoding failed");
  out.append(reinterpret_cast<char*>(lame_->buffer.data()), static_cast<size_t>(written));
  bytesOut_ += static_cast<size_t>(written);
  // Should the encoder's framing ever fall short, frames of silence from a fresh encoder
  // follow: a new encoder's first frame refers to no earlier data, so the stream stays
  // valid.
  for (int attempt = 0; bytesOut_ < kMinSpeechBytes; ++attempt) {
    if (attempt == 8) throw SynthError("encoded speech stays shorter than the minimum");
    Mp3StreamEncoder more(inputRate_);
    std::string tail = more.finish();
    bytesOut_ += tail.size();
    out += tail;
  }
  return out;
}

std::string encodeMp3(const Pcm& pcm) {
  Mp3StreamEncoder encoder(pcm.sampleRate);
  std::string out = encoder.encode(pcm.samples.data(), pcm.samples.size());
  return out + encoder.finish();
}

bool speakMp3(EspeakSynth& synth, const std::string& utf8Text, int rate, int voice,
              const std::function<bool(std::string_view)>& out, double* audioSeconds,
              std::vector<SentenceMark>* marks) {
  Mp3StreamEncoder encoder(synth.sampleRate());
  const std::u32string chars = utf8CodePoints(utf8Text);
  std::vector<size_t> lineStarts;
  for (size_t i = 0; i + 1 < chars.size(); ++i)
    if (chars[i] == '\n') lineStarts.push_back(i + 1);
  SentenceTimer timer(lineStarts);
  size_t samples = 0;
  EventSink events;
  if (marks) {
    events = [&timer](const SynthEvent& e) {
      if (e.kind == SynthEvent::Kind::Sentence)
        timer.sentence(e.sample, e.textPosition);
      else
        timer.word(e.sample, e.textPosition);
    };
  }
  bool whole = synth.synthesise(
      utf8Text, rate, voice,
      [&](const int16_t* s, size_t count) {
        samples += count;
        if (marks) timer.samples(s, count);
        std::string frames = encoder.encode(s, count);
        return frames.empty() || out(frames);
      },
      events);
  if (audioSeconds) *audioSeconds = double(samples) / synth.sampleRate();
  if (!whole) return false;
  if (marks) {
    // Each sentence reads the text from its start to the next one's.
    const size_t textLength = chars.size();
    const std::vector<SentenceTimer::Mark> timed = timer.finish();
    marks->clear();
    for (size_t i = 0; i < timed.size(); ++i) {
      const size_t to = i + 1 < timed.size() ? timed[i + 1].textPosition : textLength;
      marks->push_back({encoder.decodedMs(timed[i].startSample),
                        encoder.decodedMs(timed[i].endSample), timed[i].textPosition,
                        std::max(to, timed[i].textPosition)});
    }
  }
  std::string last = encoder.finish();
  return last.empty() || out(last);
}
