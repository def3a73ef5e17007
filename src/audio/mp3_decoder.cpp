#include "audio/mp3_decoder.h"

#include <mpg123.h>
#include <unistd.h>

#include "audio/mci_errors.h"
#include "base/regular_file.h"

std::unique_ptr<Mp3Decoder> Mp3Decoder::Open(const std::string& path, uint32_t& error) {
  error = mci::kErrInvalidFile;
  // A no-op since libmpg123 1.27; kept for older libraries.
  mpg123_init();
  int err = MPG123_OK;
  std::unique_ptr<Mp3Decoder> dec(new Mp3Decoder);
  dec->handle_ = mpg123_new(nullptr, &err);
  if (dec->handle_ == nullptr) return nullptr;
  mpg123_handle* h = dec->handle_;
  if (!Configure(h)) return nullptr;
  // The regular-file check is made on the opened descriptor: a FIFO put in the file's place
  // after OpenDecoder looked at it fails here instead of blocking the open.
  dec->fd_.reset(tr_base::OpenRegularFile(path.c_str(), O_RDONLY));
  if (!dec->fd_.valid() || mpg123_open_fd(h, dec->fd_.get()) != MPG123_OK) {
    error = mci::kErrFileRead;
    return nullptr;
  }
  // The scan walks every frame header: exact length and an exact seek index.
  if (mpg123_scan(h) != MPG123_OK) return nullptr;
  const off_t length = mpg123_length(h);
  long rate = 0;
  int channels = 0;
  int encoding = 0;
  if (length <= 0 || mpg123_getformat(h, &rate, &channels, &encoding) != MPG123_OK ||
      channels != 2 || encoding != MPG123_ENC_FLOAT_32)
    return nullptr;
  dec->rate_ = static_cast<int>(rate);
  dec->length_ = length;
  dec->mono_ = IsMono(h);
  error = 0;
  return dec;
}

bool Mp3Decoder::Configure(mpg123_handle* h) {
  if (mpg123_param(h, MPG123_ADD_FLAGS,
                   MPG123_FORCE_STEREO | MPG123_FORCE_FLOAT | MPG123_QUIET | MPG123_GAPLESS,
                   0) != MPG123_OK)
    return false;
  // Every rate the format knows, always as float stereo.
  mpg123_format_none(h);
  const long* rates = nullptr;
  std::size_t count = 0;
  mpg123_rates(&rates, &count);
  for (std::size_t i = 0; i < count; ++i)
    mpg123_format(h, rates[i], MPG123_STEREO, MPG123_ENC_FLOAT_32);
  return true;
}

bool Mp3Decoder::IsMono(mpg123_handle* h) {
  mpg123_frameinfo info{};
  return mpg123_info(h, &info) == MPG123_OK && info.mode == MPG123_M_MONO;
}

Mp3Decoder::~Mp3Decoder() {
  if (handle_ != nullptr) {
    mpg123_close(handle_);
    mpg123_delete(handle_);
  }
}

bool Mp3Decoder::Seek(int64_t frame) {
  ended_ = false;
  failed_ = false;
  return mpg123_seek(handle_, static_cast<off_t>(frame), SEEK_SET) >= 0;
}

std::size_t Mp3Decoder::Read(float* out, std::size_t frames) {
  std::size_t total = 0;
  while (!ended_ && total < frames) {
    std::size_t done = 0;
    const int r = mpg123_read(handle_, reinterpret_cast<unsigned char*>(out + 2 * total),
                              (frames - total) * 2 * sizeof(float), &done);
    total += done / (2 * sizeof(float));
    if (r == MPG123_NEW_FORMAT || (r == MPG123_OK && done > 0)) continue;
    if (r == MPG123_OK) continue;
    // MPG123_DONE, or a stream that breaks off: what was decoded plays, then it ends.
    // libmpg123 gives up with MPG123_ERR only where no frame follows within its resync
    // limit: the rest is not sound.
    ended_ = true;
    failed_ = r == MPG123_ERR;
  }
  return total;
}
