#include "audio/growing_mp3_decoder.h"

#include <fcntl.h>
#include <mpg123.h>
#include <unistd.h>

#include <algorithm>

#include "audio/mci_errors.h"
#include "audio/mp3_decoder.h"
#include "base/regular_file.h"

namespace {

// File bytes read per feed.
constexpr std::size_t kFeedBytes = 16384;

}  // namespace

std::unique_ptr<GrowingMp3Decoder> GrowingMp3Decoder::Open(const std::string& path,
                                                           uint32_t& error) {
  error = mci::kErrInvalidFile;
  mpg123_init();
  std::unique_ptr<GrowingMp3Decoder> dec(new GrowingMp3Decoder);
  dec->path_ = path;
  dec->buffer_.resize(kFeedBytes);
  dec->fd_.reset(tr_base::OpenRegularFile(path.c_str(), O_RDONLY));
  if (!dec->fd_.valid()) {
    error = mci::kErrFileRead;
    return nullptr;
  }
  int err = MPG123_OK;
  dec->decode_ = mpg123_new(nullptr, &err);
  dec->scan_ = mpg123_new(nullptr, &err);
  if (dec->decode_ == nullptr || dec->scan_ == nullptr || !Mp3Decoder::Configure(dec->decode_) ||
      !Mp3Decoder::Configure(dec->scan_) || mpg123_open_feed(dec->decode_) != MPG123_OK ||
      mpg123_open_feed(dec->scan_) != MPG123_OK)
    return nullptr;
  dec->Count();
  while (dec->Feed()) {
  }
  long rate = 0;
  int channels = 0;
  int encoding = 0;
  // Parses the first frame of what has arrived.
  if (dec->frames_ == 0 ||
      mpg123_getformat(dec->decode_, &rate, &channels, &encoding) != MPG123_OK || channels != 2 ||
      encoding != MPG123_ENC_FLOAT_32)
    return nullptr;
  dec->rate_ = static_cast<int>(rate);
  dec->mono_ = Mp3Decoder::IsMono(dec->decode_);
  error = 0;
  return dec;
}

GrowingMp3Decoder::~GrowingMp3Decoder() {
  for (mpg123_handle* h : {decode_, scan_}) {
    if (h != nullptr) {
      mpg123_close(h);
      mpg123_delete(h);
    }
  }
}

bool GrowingMp3Decoder::Feed() {
  const ssize_t n =
      ::pread(fd_.get(), buffer_.data(), buffer_.size(), static_cast<off_t>(feedOffset_));
  if (n <= 0) return false;
  mpg123_feed(decode_, buffer_.data(), static_cast<std::size_t>(n));
  feedOffset_ += n;
  return true;
}

void GrowingMp3Decoder::Count() const {
  for (;;) {
    for (;;) {
      const int r = mpg123_framebyframe_next(scan_);
      if (r == MPG123_OK || r == MPG123_NEW_FORMAT) {
        ++frames_;
        if (samplesPerFrame_ == 0) samplesPerFrame_ = mpg123_spf(scan_);
        continue;
      }
      break;  // MPG123_NEED_MORE, or garbage that more data may get past
    }
    const ssize_t n =
        ::pread(fd_.get(), buffer_.data(), buffer_.size(), static_cast<off_t>(scanOffset_));
    if (n <= 0) return;
    mpg123_feed(scan_, buffer_.data(), static_cast<std::size_t>(n));
    scanOffset_ += n;
  }
}

int64_t GrowingMp3Decoder::LengthFrames() const {
  if (complete_) return complete_->LengthFrames();
  if (growing_) Count();
  return frames_ * samplesPerFrame_;
}

bool GrowingMp3Decoder::Seek(int64_t frame) {
  waiting_ = false;
  ended_ = false;
  failed_ = false;
  if (complete_) return complete_->Seek(frame);
  off_t input = 0;
  if (mpg123_feedseek(decode_, static_cast<off_t>(frame), SEEK_SET, &input) < 0) return false;
  // libmpg123 goes on from the byte it names.
  feedOffset_ = input;
  next_ = frame;
  return true;
}

std::size_t GrowingMp3Decoder::Read(float* out, std::size_t frames) {
  if (complete_) return complete_->Read(out, frames);
  if (growing_) Count();
  waiting_ = false;
  std::size_t total = 0;
  while (!ended_ && total < frames) {
    std::size_t done = 0;
    const int r = mpg123_read(decode_, reinterpret_cast<unsigned char*>(out + 2 * total),
                              (frames - total) * 2 * sizeof(float), &done);
    total += done / (2 * sizeof(float));
    if (r == MPG123_OK || r == MPG123_NEW_FORMAT) continue;
    if (r == MPG123_NEED_MORE) {
      if (Feed()) continue;
      if (growing_) {
        waiting_ = true;
        break;
      }
    }
    // The end of a complete file whose final scan failed, a stream that breaks off, or
    // (MPG123_ERR) data that is no sound where the rest of it should be.
    ended_ = true;
    failed_ = r == MPG123_ERR;
  }
  next_ += static_cast<int64_t>(total);
  return total;
}

bool GrowingMp3Decoder::Failed() const {
  return complete_ ? complete_->Failed() : failed_;
}

void GrowingMp3Decoder::SetGrowing(bool growing) {
  if (growing || !growing_) return;
  growing_ = false;
  waiting_ = false;
  Count();
  uint32_t error = 0;
  std::unique_ptr<Mp3Decoder> complete = Mp3Decoder::Open(path_, error);
  // Goes on from the same frame with the exact length; if the complete file does not
  // scan, the feed decoder plays what it can and ends at the end of the data.
  if (complete && complete->Seek(std::min(next_, complete->LengthFrames())))
    complete_ = std::move(complete);
}
