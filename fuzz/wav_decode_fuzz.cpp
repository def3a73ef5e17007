// WAV open and decode through OpenDecoder: a wave image decodes to exactly its length
// and nothing past it, every sample near full scale. Converted to the output rate, a
// full-scale signal overshoots full scale a little (the mixer's limiter takes that); a
// sample far past it would be a scaling fault, such as integer samples left unscaled.
#include "decoder_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = DecoderFuzzPath("wav");
  const DecodedFuzz decoded = FuzzDecoder(path, data, size);
  if (!decoded.opened) return 0;
  if (decoded.length < kMaxFuzzFrames) FUZZ_CHECK(decoded.frames == decoded.length);
  FUZZ_CHECK(decoded.peak <= 4.0f);
  FUZZ_CHECK(decoded.afterEnd == 0);
  return 0;
}
