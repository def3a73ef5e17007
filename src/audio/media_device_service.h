// The media device service: the command interface through which TMciPlayer drives
// audio devices, one device per opened file. Commands, flags, status items, modes and
// notice outcomes keep the numeric values of the classic media control interface so
// that the player's flag logic reads exactly as designed.
//
// Threading: every call is made on the GUI thread. Completion notices are posted to
// the callback QObject as MciNotifyEvent through the Qt event queue, so they are
// handled only when an event loop runs, and they are delivered even after the device
// has been closed.
#pragma once

#include <QEvent>
#include <QObject>
#include <cstdint>
#include <string>

namespace mci {

// Commands.
constexpr uint32_t kOpen = 0x0803;
constexpr uint32_t kClose = 0x0804;
constexpr uint32_t kPlay = 0x0806;
constexpr uint32_t kSeek = 0x0807;
constexpr uint32_t kStop = 0x0808;
constexpr uint32_t kPause = 0x0809;
constexpr uint32_t kSet = 0x080D;
constexpr uint32_t kStatus = 0x0814;
constexpr uint32_t kResume = 0x0855;

// Flags.
constexpr uint32_t kNotify = 0x0001;
constexpr uint32_t kWait = 0x0002;
constexpr uint32_t kFrom = 0x0004;
constexpr uint32_t kTo = 0x0008;
constexpr uint32_t kTrack = 0x0010;
constexpr uint32_t kOpenShareable = 0x0100;
constexpr uint32_t kOpenElement = 0x0200;
constexpr uint32_t kSeekToStart = 0x0100;
constexpr uint32_t kStatusItem = 0x0100;
constexpr uint32_t kSetTimeFormat = 0x0400;

// Status items.
constexpr uint32_t kStatusLength = 0x0001;
constexpr uint32_t kStatusPosition = 0x0002;
constexpr uint32_t kStatusMode = 0x0004;
// This service's own item, outside the classic numbers: 1 while a playing device waits
// for more data of a growing file (an underrun: the mode stays playing and the position
// does not move), else 0.
constexpr uint32_t kStatusStarved = 0x0F01;

// Modes returned by kStatusMode.
constexpr uint32_t kModeNotReady = 524;
constexpr uint32_t kModeStop = 525;
constexpr uint32_t kModePlay = 526;
constexpr uint32_t kModeRecord = 527;
constexpr uint32_t kModeSeek = 528;
constexpr uint32_t kModePause = 529;
constexpr uint32_t kModeOpen = 530;

constexpr uint32_t kFormatMilliseconds = 0;

// Notice outcomes.
constexpr uint32_t kNotifySuccessful = 1;
constexpr uint32_t kNotifySuperseded = 2;
constexpr uint32_t kNotifyAborted = 4;
// A play's notice when playback ended at data that does not decode, before the end of
// the file (an error page or noise where the rest of the sound should be).
constexpr uint32_t kNotifyFailure = 8;

// One parameter block for every command; each command reads and writes only the fields
// it needs.
struct Params {
  QObject* callback = nullptr;  // receives MciNotifyEvent when kNotify is given
  std::string element;          // kOpen: the file to open
  uint16_t deviceId = 0;        // kOpen: out, the new device id (never 0)
  uint32_t to = 0;              // kSeek with kTo: target position in ms
  uint32_t item = 0;            // kStatus: which item
  uint32_t track = 0;           // kStatus with kTrack
  uint32_t returnValue = 0;     // kStatus: out
  uint32_t timeFormat = 0;      // kSet with kSetTimeFormat
};

// Posted to Params::callback; handled in the callback object's event().
class MciNotifyEvent : public QEvent {
 public:
  static QEvent::Type EventType() {
    static const int type = QEvent::registerEventType();
    return static_cast<QEvent::Type>(type);
  }
  MciNotifyEvent(uint32_t outcome, uint16_t deviceId)
      : QEvent(EventType()), outcome_(outcome), deviceId_(deviceId) {}
  uint32_t Outcome() const { return outcome_; }
  uint16_t DeviceId() const { return deviceId_; }

 private:
  uint32_t outcome_;
  uint16_t deviceId_;
};

}  // namespace mci

class IMediaDeviceService {
 public:
  virtual ~IMediaDeviceService() = default;
  // Runs one command on a device (kOpen goes to device 0). Returns 0 on success or an
  // error code. Never blocks longer than the command itself takes; kPlay and kResume
  // return as soon as playback has started.
  virtual uint32_t SendCommand(uint16_t device, uint32_t command, uint32_t flags,
                               mci::Params& params) = 0;
  // The text for an error code; false when the service has no text for it.
  virtual bool GetErrorString(uint32_t error, std::string& text) = 0;
  // Marks an open device as a key name (or not): while it plays, every other device is
  // lowered by about 10 dB and comes back with a short ramp when it stops. Unknown ids
  // are ignored. Returns at once.
  virtual void SetDucksOthers(uint16_t /*device*/, bool /*ducks*/) {}
  // Says that the MP3 file at `path` is still being written (`growing` true) or is now
  // complete with its final size on disk (false). While it grows, a device opened on
  // that path (or already open on it) takes the end of the data that has arrived as
  // "more may come": playback waits there (kStatusStarved reads 1) instead of ending,
  // the length counts the whole frames that have arrived, and a seek past them lands on
  // the last one. Once complete, the file is scanned: the length is exact, and playback
  // ends, with its notice, at the real end. Paths are compared as given. Returns once
  // the devices have taken the change (the scan of a complete file included).
  virtual void SetGrowing(const std::string& /*path*/, bool /*growing*/) {}
  // Plays an open device at `speed` times its natural speed, with the pitch kept (time-
  // stretching): 0.5 to 4 (a value outside is taken as the nearer end); 1, the speed of
  // every device at its open, plays the file's own samples untouched. Positions, lengths
  // and seeks stay in the sound's own milliseconds: at 2, a second of playing moves the
  // position by about two seconds (within a few milliseconds), and a seek to 20000 lands
  // 20 s into the sound. A playing device is heard at the new speed within about 70 ms,
  // without a click, gap or repeat; the speed stays through pauses, seeks and the growth
  // of a file, until the device is closed. Unknown ids are ignored. Returns at once.
  virtual void SetSpeed(uint16_t /*device*/, double /*speed*/) {}
};

// The one extra voice of the mixer that plays a wave image straight from memory.
class IWaveVoice {
 public:
  virtual ~IWaveVoice() = default;
  // Starts playing a RIFF wave image and returns at once; a sound still playing is cut
  // off. The image must stay valid while it plays (embedded sounds live for the run).
  // Returns false when the image cannot be played.
  virtual bool PlayWave(const void* image, std::size_t size) = 0;
};
