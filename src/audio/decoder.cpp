#include "audio/decoder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "audio/growing_mp3_decoder.h"
#include "audio/mci_errors.h"
#include "audio/mp3_decoder.h"
#include "audio/rate_converter.h"
#include "audio/time_stretcher.h"
#include "audio/wav_decoder.h"

std::unique_ptr<Decoder> OpenDecoder(const std::string& path, int outputRate, uint32_t& error,
                                     bool growing, TimeStretcher** stretcher) {
  const auto dot = path.find_last_of("./");
  std::string ext = dot != std::string::npos && path[dot] == '.' ? path.substr(dot + 1) : "";
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext != "mp3" && ext != "wav") {
    error = mci::kErrExtensionNotFound;
    return nullptr;
  }
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    error = mci::kErrFileNotFound;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode) || st.st_size == 0) {
    error = mci::kErrInvalidFile;
    return nullptr;
  }
  std::unique_ptr<Decoder> decoder;
  if (ext == "mp3" && growing) {
    decoder = GrowingMp3Decoder::Open(path, error);
  } else if (ext == "mp3") {
    decoder = Mp3Decoder::Open(path, error);
  } else {
    decoder = WavDecoder::OpenFile(path, error);
  }
  if (!decoder) return nullptr;
  if (stretcher != nullptr) {
    auto stretching = std::make_unique<TimeStretcher>(std::move(decoder));
    *stretcher = stretching.get();
    decoder = std::move(stretching);
  }
  return ConvertRate(std::move(decoder), outputRate);
}
