#include "mp3_encoder.h"

#include <lame/lame.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

struct LameDeleter {
  void operator()(lame_global_flags* gf) const { lame_close(gf); }
};

std::string encodeOnce(const std::vector<int16_t>& samples, int sampleRate) {
  std::unique_ptr<lame_global_flags, LameDeleter> gf(lame_init());
  if (!gf) throw SynthError("LAME could not be initialised");
  lame_set_num_channels(gf.get(), 1);
  lame_set_mode(gf.get(), MONO);
  lame_set_in_samplerate(gf.get(), sampleRate);
  lame_set_out_samplerate(gf.get(), 44100);
  lame_set_VBR(gf.get(), vbr_off);
  lame_set_brate(gf.get(), 64);
  lame_set_quality(gf.get(), 5);
  // The buffer interface cannot go back to fill in an Info frame; none is wanted.
  lame_set_bWriteVbrTag(gf.get(), 0);
  if (lame_init_params(gf.get()) < 0) throw SynthError("LAME rejected the encoding parameters");

  std::string out;
  // LAME's documented worst case: 1.25 × samples + 7200 bytes per call.
  const size_t chunk = 8192;
  std::vector<unsigned char> buffer(chunk * 5 / 4 * 2 + 7200);
  for (size_t pos = 0; pos < samples.size(); pos += chunk) {
    int n = static_cast<int>(std::min(chunk, samples.size() - pos));
    auto* pcm = const_cast<short*>(reinterpret_cast<const short*>(samples.data() + pos));
    int written = lame_encode_buffer(gf.get(), pcm, nullptr, n, buffer.data(),
                                     static_cast<int>(buffer.size()));
    if (written < 0) throw SynthError("LAME encoding failed");
    out.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(written));
  }
  int written = lame_encode_flush(gf.get(), buffer.data(), static_cast<int>(buffer.size()));
  if (written < 0) throw SynthError("LAME encoding failed");
  out.append(reinterpret_cast<char*>(buffer.data()), static_cast<size_t>(written));
  return out;
}

}  // namespace

std::string encodeMp3(const Pcm& pcm) {
  if (pcm.sampleRate <= 0) throw SynthError("no sample rate");
  std::vector<int16_t> samples = pcm.samples;
  // 64 kbit/s is 8000 bytes a second: three quarters of a second is well above the
  // minimum, and the loop below covers any encoder framing surprise.
  size_t minSamples = static_cast<size_t>(pcm.sampleRate) * 3 / 4;
  if (samples.size() < minSamples) samples.resize(minSamples, 0);
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string mp3 = encodeOnce(samples, pcm.sampleRate);
    if (mp3.size() >= kMinSpeechBytes) return mp3;
    samples.resize(samples.size() + static_cast<size_t>(pcm.sampleRate) / 4, 0);
  }
  throw SynthError("encoded speech stays shorter than the minimum");
}
