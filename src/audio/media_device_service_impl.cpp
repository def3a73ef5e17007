#include "audio/media_device_service_impl.h"

#include <pthread.h>

#include <QCoreApplication>
#include <QPointer>
#include <algorithm>
#include <chrono>

#include "audio/decoder.h"
#include "audio/mci_errors.h"
#include "audio/rate_converter.h"
#include "audio/time_stretcher.h"
#include "audio/wav_decoder.h"

namespace {

// Ring of about 0.7 s at 48 kHz: ample slack for a feeder thread that a busy machine
// schedules late.
constexpr std::size_t kRingFrames = 32768;
// Decoded per lock hold, so that a seek from the GUI thread never waits long.
constexpr std::size_t kChunkFrames = 2048;
// Decoded at open, so that the first block after Play already carries sound.
constexpr std::size_t kPrefillFrames = 4096;
// While a device plays at another speed than 1, its ring holds only 50 ms at 48 kHz, so
// that a new speed is heard that soon (libsonic takes it at once); the feeder tops the ring
// up every 10 ms, which leaves it slack still.
constexpr std::size_t kStretchedRingFrames = 2400;
// What a change from speed 1 keeps of the ring, about 20 ms: the sound after it is made
// again at the new speed from the same frame on, before the output can reach it.
constexpr std::size_t kSpeedChangeLeadFrames = 960;

bool Interrupts(uint32_t command) {
  return command == mci::kStop || command == mci::kPause || command == mci::kSeek ||
         command == mci::kClose || command == mci::kPlay;
}

}  // namespace

struct MediaDeviceService::Device {
  Device(uint16_t deviceId, std::unique_ptr<Decoder> dec, TimeStretcher* stretching,
         std::string file, bool grows)
      : id(deviceId),
        path(std::move(file)),
        decoder(std::move(dec)),
        stretcher(stretching),
        scratch(kChunkFrames * 2),
        channel(kRingFrames),
        length(decoder->LengthFrames()),
        growing(grows) {}

  enum class State { kStopped, kPlaying, kPaused };

  const uint16_t id;
  const std::string path;
  std::mutex decodeMutex;            // held by whoever decodes into the ring
  std::unique_ptr<Decoder> decoder;  // under decodeMutex
  TimeStretcher* stretcher;          // under decodeMutex; part of `decoder`
  std::vector<float> scratch;        // under decodeMutex
  MixerChannel channel;
  // Frames at the output rate; grows with a growing file (written under decodeMutex).
  std::atomic<int64_t> length;
  std::atomic<bool> waiting{false};  // the decoder waits for more of a growing file
  std::atomic<bool> endSeen{false};  // the feeder has reported the end once
  std::atomic<bool> failed{false};   // playback ended at data that does not decode

  // GUI thread only.
  bool growing;      // the file is still being written
  double speed = 1;  // the speed asked for
  int64_t base = 0;  // position of the first frame in the ring
  State state = State::kStopped;
  bool hasPending = false;  // a play notice waits for the end of playback
  QPointer<QObject> pending;
};

// Lives on the GUI thread; the feeder posts to it when playback has reached its end.
class MediaDeviceService::Relay : public QObject {
 public:
  explicit Relay(MediaDeviceService& service)
      : service_(service), type_(static_cast<QEvent::Type>(QEvent::registerEventType())) {}
  QEvent::Type WakeType() const { return type_; }
  bool event(QEvent* e) override {
    if (e->type() != type_) return QObject::event(e);
    service_.SettleAll();
    return true;
  }

 private:
  MediaDeviceService& service_;
  const QEvent::Type type_;
};

MediaDeviceService::MediaDeviceService(std::unique_ptr<AudioOutput> output,
                                       std::chrono::milliseconds releaseAfter)
    : output_(std::move(output)),
      rate_(output_->SampleRate()),
      mixer_(rate_),
      owner_(QThread::currentThread()),
      relay_(std::make_unique<Relay>(*this)),
      releaseAfter_(releaseAfter) {
  // Nothing plays yet: the output starts suspended, and is released after the usual wait.
  output_->Suspend();
  quietSince_ = std::chrono::steady_clock::now();
  output_->Start(mixer_);
  feeder_ = std::thread(&MediaDeviceService::FeederLoop, this);
}

MediaDeviceService::~MediaDeviceService() {
  {
    std::lock_guard<std::mutex> lock(feederMutex_);
    feederQuit_ = true;
  }
  feederCv_.notify_all();
  feeder_.join();
  output_->Stop();
}

bool MediaDeviceService::GetErrorString(uint32_t error, std::string& text) {
  return mci::ErrorText(error, text);
}

uint32_t MediaDeviceService::SendCommand(uint16_t device, uint32_t command, uint32_t flags,
                                         mci::Params& params) {
  if (command == mci::kOpen) return Open(flags, params);
  switch (command) {
    case mci::kClose:
    case mci::kPlay:
    case mci::kSeek:
    case mci::kStop:
    case mci::kPause:
    case mci::kSet:
    case mci::kStatus:
    case mci::kResume:
      break;
    default:
      return mci::kErrUnrecognizedCommand;
  }
  std::shared_ptr<Device> d = Find(device);
  if (!d) return mci::kErrInvalidDeviceId;
  Settle(*d);
  return Command(*d, command, flags, params);
}

uint32_t MediaDeviceService::Open(uint32_t flags, mci::Params& params) {
  if ((flags & mci::kOpenElement) == 0) return mci::kErrMissingParameter;
  uint32_t error = 0;
  const bool growing = growing_.count(params.element) != 0;
  TimeStretcher* stretcher = nullptr;
  std::unique_ptr<Decoder> decoder = OpenDecoder(params.element, rate_, error, growing, &stretcher);
  if (!decoder) return error;
  // Ids count up and wrap, skipping 0 and the ids still open, so that a late notice
  // about a closed device never names a newer one.
  std::shared_ptr<Device> d;
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    do {
      ++lastId_;
    } while (lastId_ == 0 || devices_.count(lastId_) != 0);
    d = std::make_shared<Device>(lastId_, std::move(decoder), stretcher, params.element, growing);
    devices_[d->id] = d;
  }
  Fill(*d, kPrefillFrames);
  mixer_.Add(&d->channel);
  params.deviceId = d->id;
  if (flags & mci::kNotify) Post(params.callback, mci::kNotifySuccessful, d->id);
  return 0;
}

uint32_t MediaDeviceService::Command(Device& d, uint32_t command, uint32_t flags,
                                     mci::Params& params) {
  const bool notify = (flags & mci::kNotify) != 0;
  // Refusals first: a refused command changes nothing, its pending notice included.
  int64_t seekTarget = 0;
  switch (command) {
    case mci::kPlay:
      if (flags & (mci::kFrom | mci::kTo)) return mci::kErrUnsupportedFunction;
      break;
    case mci::kResume:
      if (d.state == Device::State::kStopped) return mci::kErrNonApplicableFunction;
      break;
    case mci::kSeek: {
      const bool to = flags & mci::kTo;
      const bool start = flags & mci::kSeekToStart;
      if (to && start) return mci::kErrFlagsNotCompatible;
      if (!to && !start) return mci::kErrMissingParameter;
      if (to) {
        // A growing file clamps at what has arrived; a complete one refuses.
        if (params.to > ToMs(d.length) && !d.growing) return mci::kErrOutOfRange;
        // Rounded up, so that the position reads back as exactly the asked millisecond.
        seekTarget = std::min<int64_t>((static_cast<int64_t>(params.to) * rate_ + 999) / 1000,
                                       d.length.load());
      }
      break;
    }
    case mci::kSet:
      if ((flags & mci::kSetTimeFormat) == 0) return mci::kErrMissingParameter;
      if (params.timeFormat != mci::kFormatMilliseconds) return mci::kErrBadTimeFormat;
      break;
    case mci::kStatus:
      if ((flags & mci::kStatusItem) == 0) return mci::kErrMissingParameter;
      if (flags & mci::kTrack) {
        if (params.item != mci::kStatusLength) return mci::kErrUnsupportedFunction;
        if (params.track != 1) return mci::kErrOutOfRange;
      } else if (params.item != mci::kStatusLength && params.item != mci::kStatusPosition &&
                 params.item != mci::kStatusMode && params.item != mci::kStatusStarved) {
        return mci::kErrUnsupportedFunction;
      }
      break;
    default:
      break;
  }

  // One pending notice per device: a playback-interrupting command aborts it; any other
  // command that asks for a notice supersedes it.
  if (d.hasPending && (Interrupts(command) || notify)) {
    Post(d.pending, Interrupts(command) ? mci::kNotifyAborted : mci::kNotifySuperseded, d.id);
    d.hasPending = false;
  }

  Kind kind = Kind::kInstant;
  switch (command) {
    case mci::kPlay:
    case mci::kResume:
      if (PositionFrames(d) >= d.length && !d.growing) {
        // Nothing left to play: done at once. (A growing file waits for more instead.)
        Halt(d);
        d.state = Device::State::kStopped;
      } else {
        if (d.state != Device::State::kPlaying) StartPlaying(d);
        kind = Kind::kRunning;
      }
      break;
    case mci::kPause:
      if (d.state == Device::State::kPlaying) {
        Halt(d);
        d.state = Device::State::kPaused;
      }
      break;
    case mci::kStop:
      Halt(d);
      d.state = Device::State::kStopped;
      break;
    case mci::kSeek:
      Reposition(d, seekTarget);
      d.state = Device::State::kStopped;
      break;
    case mci::kClose: {
      Halt(d);
      mixer_.Remove(&d.channel);
      std::lock_guard<std::mutex> lock(devicesMutex_);
      devices_.erase(d.id);  // the caller's reference keeps `d` alive until we return
      break;
    }
    case mci::kStatus:
      Status(d, flags, params);
      break;
    default:
      break;
  }

  if (notify) {
    if (kind == Kind::kRunning) {
      d.hasPending = true;
      d.pending = params.callback;
    } else {
      Post(params.callback, mci::kNotifySuccessful, d.id);
    }
  }
  return 0;
}

uint32_t MediaDeviceService::Status(Device& d, uint32_t, mci::Params& params) {
  switch (params.item) {
    case mci::kStatusMode:
      params.returnValue = d.state == Device::State::kPlaying  ? mci::kModePlay
                           : d.state == Device::State::kPaused ? mci::kModePause
                                                               : mci::kModeStop;
      break;
    case mci::kStatusPosition:
      params.returnValue = ToMs(PositionFrames(d));
      break;
    case mci::kStatusStarved:
      params.returnValue =
          d.state == Device::State::kPlaying && d.waiting.load() && d.channel.ring.Readable() == 0
              ? 1
              : 0;
      break;
    default:
      if (d.growing) {
        // What has arrived of a growing file also while the device does not decode (paused,
        // stopped, or not yet played).
        std::lock_guard<std::mutex> lock(d.decodeMutex);
        d.length.store(d.decoder->LengthFrames());
      }
      params.returnValue = ToMs(d.length);
      break;
  }
  return 0;
}

std::shared_ptr<MediaDeviceService::Device> MediaDeviceService::Find(uint16_t device) {
  std::lock_guard<std::mutex> lock(devicesMutex_);
  auto it = devices_.find(device);
  return it != devices_.end() ? it->second : nullptr;
}

void MediaDeviceService::SetGrowing(const std::string& path, bool growing) {
  if (growing) {
    growing_.insert(path);
  } else {
    growing_.erase(path);
  }
  std::vector<std::shared_ptr<Device>> all;
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    for (auto& [id, d] : devices_)
      if (d->path == path && d->growing != growing) all.push_back(d);
  }
  for (auto& d : all) {
    if (!growing) {
      std::lock_guard<std::mutex> lock(d->decodeMutex);
      d->decoder->SetGrowing(false);
      d->length.store(d->decoder->LengthFrames());
      d->growing = false;
      continue;
    }
    // Opened on data that was complete then: a growing decoder takes over at the
    // position, as after a seek. A file it cannot open keeps its decoder.
    uint32_t error = 0;
    TimeStretcher* stretcher = nullptr;
    std::unique_ptr<Decoder> decoder = OpenDecoder(path, rate_, error, true, &stretcher);
    if (!decoder) continue;
    stretcher->SetSpeed(d->speed);
    const bool wasPlaying = d->state == Device::State::kPlaying;
    const int64_t at = PositionFrames(*d);
    {
      std::lock_guard<std::mutex> lock(d->decodeMutex);
      d->decoder = std::move(decoder);
      d->stretcher = stretcher;
      d->length.store(std::max(at, d->decoder->LengthFrames()));
      d->growing = true;
    }
    Reposition(*d, at);
    if (wasPlaying) StartPlaying(*d);
  }
  WakeFeeder();
}

void MediaDeviceService::SetDucksOthers(uint16_t device, bool ducks) {
  if (std::shared_ptr<Device> d = Find(device)) mixer_.SetDucksOthers(&d->channel, ducks);
}

void MediaDeviceService::SetSpeed(uint16_t device, double speed) {
  std::shared_ptr<Device> d = Find(device);
  if (!d) return;
  speed = std::clamp(speed, TimeStretcher::kSlowest, TimeStretcher::kFastest);
  if (speed == d->speed) return;
  d->speed = speed;
  {
    std::lock_guard<std::mutex> lock(d->decodeMutex);
    if (d->decoder->Stretched()) {
      // The ring is short while stretching, and libsonic takes the new speed from the
      // input it has not used yet: the change is heard as soon as the ring has played.
      d->stretcher->SetSpeed(speed);
    } else {
      // The ring holds the sound's own frames, up to 0.7 s of them: keep a short lead,
      // drop the rest, and make the sound again at the new speed from the frame after the
      // lead. Those are the frames playing on would give, so there is no seam.
      int64_t from = 0;
      mixer_.Locked([&] {
        const std::size_t held = d->channel.ring.Readable();
        // A device that does not play keeps nothing: it starts at the new speed.
        const std::size_t keep =
            d->channel.playing.load() ? std::min(held, kSpeedChangeLeadFrames) : 0;
        d->channel.ring.DropNewest(held - keep);
        from = d->base + d->channel.consumed.load() + static_cast<int64_t>(keep);
        d->channel.decoderEof.store(false);
      });
      d->stretcher->SetSpeed(speed);
      if (!d->decoder->Seek(from)) d->channel.decoderEof.store(true);
    }
  }
  Fill(*d, kPrefillFrames);
  WakeFeeder();
}

bool MediaDeviceService::PlayWave(const void* image, std::size_t size) {
  uint32_t error = 0;
  std::unique_ptr<Decoder> decoder = WavDecoder::OpenImage(image, size, error);
  if (decoder) decoder = ConvertRate(std::move(decoder), rate_);
  if (!decoder) return false;
  const auto frames = static_cast<std::size_t>(decoder->LengthFrames());
  std::vector<float> sound(frames * 2);
  decoder->Read(sound.data(), frames);
  mixer_.SetWave(sound.data(), frames);
  // The mixer now reads the new buffer; the old one is freed here, on this thread.
  wave_.swap(sound);
  WakeOutput();
  WakeFeeder();
  return true;
}

void MediaDeviceService::Settle(Device& d) {
  if (d.state != Device::State::kPlaying || !d.channel.ended.load(std::memory_order_acquire))
    return;
  d.state = Device::State::kStopped;
  if (d.hasPending) {
    d.hasPending = false;
    // Sound that breaks into data that does not decode ends as a failure, not as the end.
    Post(d.pending, d.failed.load() ? mci::kNotifyFailure : mci::kNotifySuccessful, d.id);
  }
}

void MediaDeviceService::SettleAll() {
  std::vector<std::shared_ptr<Device>> all;
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    for (auto& [id, d] : devices_) all.push_back(d);
  }
  for (auto& d : all) Settle(*d);
}

void MediaDeviceService::Fill(Device& d, std::size_t maxFrames) {
  std::size_t filled = 0;
  while (filled < maxFrames) {
    std::lock_guard<std::mutex> lock(d.decodeMutex);
    if (d.channel.decoderEof.load(std::memory_order_relaxed)) return;
    std::size_t want = std::min(kChunkFrames, maxFrames - filled);
    if (d.decoder->Stretched()) {
      const std::size_t held = d.channel.ring.Readable();
      if (held >= kStretchedRingFrames) return;
      want = std::min(want, kStretchedRingFrames - held);
    }
    if (d.channel.ring.Writable() < want) return;
    const std::size_t n = d.decoder->Read(d.scratch.data(), want);
    d.channel.ring.Write(d.scratch.data(), n);
    filled += n;
    // A growing file's length follows what has arrived; a wait is not the end.
    d.length.store(d.decoder->LengthFrames());
    const bool waiting = d.decoder->Waiting();
    d.waiting.store(waiting);
    d.channel.starving.store(waiting, std::memory_order_release);
    if (waiting) return;
    if (n < want) {
      d.failed.store(d.decoder->Failed());
      d.channel.decoderEof.store(true, std::memory_order_release);
    }
  }
}

void MediaDeviceService::FillBuffers() {
  ReopenOutputIfWanted();
  std::vector<std::shared_ptr<Device>> all;
  {
    std::lock_guard<std::mutex> lock(devicesMutex_);
    for (auto& [id, d] : devices_) all.push_back(d);
  }
  bool ended = false;
  for (auto& d : all) {
    Fill(*d, kRingFrames);
    if (d->channel.ended.load(std::memory_order_acquire) && !d->endSeen.exchange(true))
      ended = true;
  }
  if (ended) {
    if (QThread::currentThread() == owner_) {
      SettleAll();
    } else {
      QCoreApplication::postEvent(relay_.get(), new QEvent(relay_->WakeType()));
    }
  }
  SuspendOutputIfQuiet();
}

bool MediaDeviceService::OutputRunning() {
  std::lock_guard<std::mutex> lock(outputMutex_);
  return outputState_ == OutputState::kRunning;
}

bool MediaDeviceService::OutputReleased() {
  std::lock_guard<std::mutex> lock(outputMutex_);
  return outputState_ == OutputState::kReleasing || outputState_ == OutputState::kReleased;
}

void MediaDeviceService::WakeOutput() {
  {
    std::lock_guard<std::mutex> lock(outputMutex_);
    switch (outputState_) {
      case OutputState::kRunning:
      case OutputState::kOpening:
        return;
      case OutputState::kSuspended:
        output_->Resume();
        outputState_ = OutputState::kRunning;
        return;
      case OutputState::kReleasing:
      case OutputState::kReleased:
        // Opening a device takes a sound server some milliseconds: the feeder does it, so
        // that the command returns at once.
        reopenWanted_ = true;
        break;
    }
  }
  WakeFeeder();
}

void MediaDeviceService::ReopenOutputIfWanted() {
  {
    std::lock_guard<std::mutex> lock(outputMutex_);
    if (!reopenWanted_ || outputState_ != OutputState::kReleased) return;
    reopenWanted_ = false;
    outputState_ = OutputState::kOpening;
  }
  // Outside the lock, so that a command meanwhile never waits for the device.
  output_->Resume();
  std::lock_guard<std::mutex> lock(outputMutex_);
  outputState_ = OutputState::kRunning;
}

void MediaDeviceService::SuspendOutputIfQuiet() {
  // A play that starts after the check cannot be missed: it marks its channel playing
  // before it takes this lock to resume the output.
  std::lock_guard<std::mutex> lock(outputMutex_);
  if (outputState_ != OutputState::kRunning || !mixer_.Quiet()) return;
  output_->Suspend();
  outputState_ = OutputState::kSuspended;
  quietSince_ = std::chrono::steady_clock::now();
}

std::optional<std::chrono::steady_clock::time_point>
MediaDeviceService::ReleaseOutputIfLongQuiet() {
  {
    std::lock_guard<std::mutex> lock(outputMutex_);
    if (outputState_ != OutputState::kSuspended) return std::nullopt;
    const auto due = quietSince_ + releaseAfter_;
    if (std::chrono::steady_clock::now() < due) return due;
    outputState_ = OutputState::kReleasing;
  }
  // Closing waits for the driver's thread (and a sound server may take a while): outside
  // the lock, so that a command meanwhile only asks for the output to be opened again.
  output_->Release();
  std::lock_guard<std::mutex> lock(outputMutex_);
  outputState_ = OutputState::kReleased;
  return std::nullopt;
}

void MediaDeviceService::StartPlaying(Device& d) {
  d.endSeen = false;
  mixer_.Start(&d.channel);
  d.state = Device::State::kPlaying;
  WakeOutput();
  WakeFeeder();
}

void MediaDeviceService::Halt(Device& d) {
  mixer_.Cut(&d.channel);
}

void MediaDeviceService::Reposition(Device& d, int64_t frame) {
  {
    std::lock_guard<std::mutex> lock(d.decodeMutex);
    mixer_.Cut(&d.channel);
    mixer_.Locked([&] {
      d.channel.ended.store(false);
      d.channel.ring.Clear();
      d.channel.consumed.store(0);
      d.channel.decoderEof.store(false);
    });
    d.failed.store(false);
    d.base = frame;
    if (!d.decoder->Seek(frame)) d.channel.decoderEof.store(true);
  }
  Fill(d, kPrefillFrames);
}

int64_t MediaDeviceService::PositionFrames(Device& d) {
  const int64_t streamFrame = d.base + d.channel.consumed.load(std::memory_order_acquire);
  std::lock_guard<std::mutex> lock(d.decodeMutex);
  if (!d.decoder->Stretched()) return std::min(d.length.load(), streamFrame);
  // Everything handed out: the end.
  if (d.channel.decoderEof.load() && d.channel.ring.Readable() == 0) return d.length.load();
  // The frames handed out are stretched: where in the sound the next one comes from.
  const double sound = d.decoder->SoundFrameAt(static_cast<double>(streamFrame));
  return std::clamp<int64_t>(static_cast<int64_t>(sound), 0, d.length.load());
}

uint32_t MediaDeviceService::ToMs(int64_t frames) const {
  return static_cast<uint32_t>(frames * 1000 / rate_);
}

void MediaDeviceService::Post(QObject* callback, uint32_t outcome, uint16_t device) {
  if (callback != nullptr)
    QCoreApplication::postEvent(callback, new mci::MciNotifyEvent(outcome, device));
}

void MediaDeviceService::WakeFeeder() {
  {
    std::lock_guard<std::mutex> lock(feederMutex_);
    feederWake_ = true;
  }
  feederCv_.notify_one();
}

void MediaDeviceService::FeederLoop() {
  pthread_setname_np(pthread_self(), "tr-audio-feed");
  bool busy = false;
  std::optional<std::chrono::steady_clock::time_point> releaseAt = ReleaseOutputIfLongQuiet();
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(feederMutex_);
      auto woken = [&] { return feederQuit_ || feederWake_; };
      // While something plays or the output still runs, top up every 10 ms; when all is
      // quiet, sleep until the output is due to be released, and once it is, until a
      // command starts playback.
      if (busy) {
        feederCv_.wait_for(lock, std::chrono::milliseconds(10), woken);
      } else if (releaseAt) {
        feederCv_.wait_until(lock, *releaseAt, woken);
      } else {
        feederCv_.wait(lock, woken);
      }
      if (feederQuit_) return;
      feederWake_ = false;
    }
    FillBuffers();
    busy = OutputRunning();
    {
      std::lock_guard<std::mutex> lock(devicesMutex_);
      for (auto& [id, d] : devices_)
        if (d->channel.playing.load() || (d->channel.ended.load() && !d->endSeen.load()))
          busy = true;
    }
    releaseAt = busy ? std::nullopt : ReleaseOutputIfLongQuiet();
  }
}
