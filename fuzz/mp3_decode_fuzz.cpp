// MP3 open and decode through OpenDecoder.
#include "decoder_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = DecoderFuzzPath("mp3");
  FuzzDecoder(path, data, size);
  return 0;
}
