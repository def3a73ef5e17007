// The media device service of the program: one device per opened sound file, all mixed
// into one audio output together with the wave voice.
//
// Threading. Commands, PlayWave and the delivery of notices happen on the thread that
// created the service (the GUI thread). A feeder thread of the service decodes ahead into
// each device's ring buffer; the output's thread only mixes from those buffers. Positions
// count the frames actually handed to the output. The end of playback is seen by the
// mixer, passed to the GUI thread through the Qt event queue, and the completion notice
// is posted from there, so notices arrive only when the event loop runs.
//
// Idle. When no device plays, no wave sound is left and the last fade is over, the feeder
// suspends the output, and once that has lasted `releaseAfter` it releases the output (the
// sound device is closed, so that neither its thread nor the sound server wakes for this
// program); then it sleeps until a command starts playback again. A play or a wave sound
// resumes a suspended output at once; a released one is opened again by the feeder,
// which the command wakes.
//
// Speed. Each device's decoder holds a TimeStretcher between the file's decoder and the
// rate converter, untouched at speed 1. While a device is stretched its ring is kept short
// (50 ms), so that a new speed is heard soon; a change from speed 1 keeps a short lead of
// the ring and makes the rest again from the same frame at the new speed. Positions map
// the frames handed out back to the sound's own.
#pragma once

#include <QEvent>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_output.h"
#include "audio/media_device_service.h"
#include "audio/mixer.h"

class MediaDeviceService : public IMediaDeviceService, public IWaveVoice {
 public:
  // How long the output stays open, suspended, after the last sound: keys pressed in a
  // row find it open and are heard within two periods.
  static constexpr std::chrono::milliseconds kReleaseAfter{3000};

  // Starts `output` with the service's mixer. The service owns the output.
  explicit MediaDeviceService(std::unique_ptr<AudioOutput> output,
                              std::chrono::milliseconds releaseAfter = kReleaseAfter);
  ~MediaDeviceService() override;
  MediaDeviceService(const MediaDeviceService&) = delete;
  MediaDeviceService& operator=(const MediaDeviceService&) = delete;

  uint32_t SendCommand(uint16_t device, uint32_t command, uint32_t flags,
                       mci::Params& params) override;
  bool GetErrorString(uint32_t error, std::string& text) override;
  bool PlayWave(const void* image, std::size_t size) override;
  void SetDucksOthers(uint16_t device, bool ducks) override;
  void SetGrowing(const std::string& path, bool growing) override;
  void SetSpeed(uint16_t device, double speed) override;

  // Opens a released output again when a sound waits for it, tops up every device's
  // buffer, notes playback that has reached its end, and suspends the output when all is
  // quiet. The feeder thread does this all the time; a test that
  // steps its output by hand calls it between steps (on the GUI thread) so that nothing
  // depends on the feeder's timing.
  void FillBuffers();
  AudioOutput& Output() { return *output_; }
  // Whether the output is asking for blocks (false while suspended for being idle).
  bool OutputRunning();
  // Whether the output has been released (or is being released) for being idle for long.
  bool OutputReleased();

 private:
  struct Device;
  class Relay;
  enum class Kind { kInstant, kRunning };

  uint32_t Open(uint32_t flags, mci::Params& params);
  uint32_t Command(Device& d, uint32_t command, uint32_t flags, mci::Params& params);
  uint32_t Status(Device& d, uint32_t flags, mci::Params& params);
  void Settle(Device& d);
  void SettleAll();
  void Fill(Device& d, std::size_t maxFrames);
  void StartPlaying(Device& d);
  void Halt(Device& d);
  void Reposition(Device& d, int64_t frame);
  int64_t PositionFrames(Device& d);
  uint32_t ToMs(int64_t frames) const;
  void Post(QObject* callback, uint32_t outcome, uint16_t device);
  std::shared_ptr<Device> Find(uint16_t device);
  void WakeOutput();
  void SuspendOutputIfQuiet();
  void ReopenOutputIfWanted();
  // Releases an output suspended for `releaseAfter_`; the time to try again while it is
  // suspended for less, else nothing.
  std::optional<std::chrono::steady_clock::time_point> ReleaseOutputIfLongQuiet();
  void WakeFeeder();
  void FeederLoop();

  std::unique_ptr<AudioOutput> output_;
  const int rate_;
  Mixer mixer_;
  QThread* const owner_;
  std::unique_ptr<Relay> relay_;

  std::mutex devicesMutex_;  // guards the map; the GUI thread changes it, the feeder reads
  std::map<uint16_t, std::shared_ptr<Device>> devices_;
  uint16_t lastId_ = 0;
  std::set<std::string> growing_;  // GUI thread: paths of files still being written

  std::vector<float> wave_;  // the wave voice's current sound, at the output rate

  // kReleasing and kOpening: the feeder closes or opens the device, outside the lock.
  enum class OutputState { kRunning, kSuspended, kReleasing, kReleased, kOpening };
  const std::chrono::milliseconds releaseAfter_;
  std::mutex outputMutex_;  // serialises the output's state changes with the decision to make them
  OutputState outputState_ = OutputState::kSuspended;
  std::chrono::steady_clock::time_point quietSince_;
  bool reopenWanted_ = false;  // a released output is to be opened again by the feeder

  std::mutex feederMutex_;
  std::condition_variable feederCv_;
  bool feederQuit_ = false;
  bool feederWake_ = false;
  std::thread feeder_;
};

// The output for the run: SDL2's default playback device, or, when none opens, a silent
// output that keeps time, announced by one line on standard error.
std::unique_ptr<AudioOutput> OpenDefaultOutput();
