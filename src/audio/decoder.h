// Decoders turn a sound file into stereo float frames. A file's own decoder (MP3, wave)
// gives frames at the file's rate; OpenDecoder puts a rate converter in front when the
// output runs at another rate. A device owns one; it is used by one thread at a time
// (the device's decode lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Decoder {
 public:
  virtual ~Decoder() = default;
  // Frames per second of what Read gives.
  virtual int SampleRate() const = 0;
  // Exact length in frames at SampleRate().
  virtual int64_t LengthFrames() const = 0;
  // Moves to `frame` (0 … LengthFrames()); the next Read starts there.
  virtual bool Seek(int64_t frame) = 0;
  // Decodes up to `frames` frames into `out` (2 floats a frame); returns the count, 0 at
  // the end. A stream that breaks off in the middle ends there.
  virtual std::size_t Read(float* out, std::size_t frames) = 0;

  // Files still being written (growing): the end of the data that has arrived is not
  // the end of the sound. LengthFrames counts what has arrived and decodes.
  // True when the last Read stopped short only because more data has yet to arrive; a
  // later Read gives more. Always false for a complete file.
  virtual bool Waiting() const { return false; }
  // The file is complete (`growing` false): from now on the end of its data is the end,
  // and LengthFrames is exact. Blocks for the scan of the file.
  virtual void SetGrowing(bool /*growing*/) {}

  // True when the last Read ended at data that does not decode (an error page or noise
  // in place of the rest of the sound), not at the real end of the sound. A little junk
  // at the very end (a tag, a cut last frame) is an end, not a failure.
  virtual bool Failed() const { return false; }
  // True when the sound has one channel: both of every frame Read gives are the same.
  virtual bool Mono() const { return false; }

  // Time-stretched streams (TimeStretcher, and a rate converter over one). Stream frames
  // are those Read gives, counted on from the frame of the last seek; sound frames are
  // the file's own, counted by LengthFrames. For any other decoder they are the same.
  // Seek for a reader that will discard the frames before `target` (a resampler's
  // lead-in): a stretched stream gives those unchanged, and stretches from `target` on.
  virtual bool SeekAhead(int64_t frame, int64_t /*target*/) { return Seek(frame); }
  // True when the stream frames are not (or from some frame on will not be) the sound's
  // own one for one: their number is known only at their end.
  virtual bool Stretched() const { return false; }
  // The sound frame (fractional) that stream frame `streamFrame` comes from. Only for a
  // frame near what Read last gave (within the few seconds a device buffers).
  virtual double SoundFrameAt(double streamFrame) const { return streamFrame; }
};

class TimeStretcher;

// Opens `path` with the decoder its extension names (.mp3, .wav; letter case ignored),
// giving frames at `outputRate`. A growing MP3 needs only its first frames. With
// `stretcher`, a TimeStretcher goes between the file's decoder and the rate converter, and
// `*stretcher` points at it (it belongs to the returned decoder). On refusal returns
// nullptr and sets `error` to an mci::kErr… code.
std::unique_ptr<Decoder> OpenDecoder(const std::string& path, int outputRate, uint32_t& error,
                                     bool growing = false, TimeStretcher** stretcher = nullptr);
