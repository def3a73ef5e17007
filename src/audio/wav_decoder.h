// RIFF wave images (PCM, 8 or 16 bit, mono or stereo, any common rate), read from a file
// or straight from memory, as stereo float at the image's own rate. The whole image is in
// memory; wave sounds are short.
#pragma once

#include <vector>

#include "audio/decoder.h"

class WavDecoder : public Decoder {
 public:
  // Reads and checks the file. nullptr and `error` set when it is not a playable wave.
  static std::unique_ptr<WavDecoder> OpenFile(const std::string& path, uint32_t& error);
  // Uses `image` in place; it must outlive the decoder.
  static std::unique_ptr<WavDecoder> OpenImage(const void* image, std::size_t size,
                                               uint32_t& error);

  int SampleRate() const override { return sourceRate_; }
  int64_t LengthFrames() const override { return sourceFrames_; }
  bool Seek(int64_t frame) override;
  std::size_t Read(float* out, std::size_t frames) override;
  bool Mono() const override { return channels_ == 1; }

 private:
  WavDecoder() = default;
  bool Parse(const unsigned char* image, std::size_t size);
  float Sample(int64_t frame, int channel) const;

  std::vector<unsigned char> owned_;
  const unsigned char* pcm_ = nullptr;
  int64_t sourceFrames_ = 0;
  int sourceRate_ = 0;
  int channels_ = 0;
  int bytesPerSample_ = 0;
  int64_t next_ = 0;
};
