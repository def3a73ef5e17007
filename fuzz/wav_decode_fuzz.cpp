// WAV open and decode through OpenDecoder: a wave image decodes to exactly its length
// and nothing past it, every sample within full scale.
#include "decoder_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = DecoderFuzzPath("wav");
  const DecodedFuzz decoded = FuzzDecoder(path, data, size);
  if (!decoded.opened) return 0;
  if (decoded.length < kMaxFuzzFrames) FUZZ_CHECK(decoded.frames == decoded.length);
  FUZZ_CHECK(decoded.peak <= 1.0f);
  FUZZ_CHECK(decoded.afterEnd == 0);
  return 0;
}
