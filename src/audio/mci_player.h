// TMciPlayer: the component through which the reader plays its sound files. A thin layer
// over IMediaDeviceService: each operation is one command to the device the player has
// open (a few preceded by status reads), and the service's completion notices come back
// to the player's own QObject and leave it as OnNotify.
//
// Threading: GUI thread only. Notices are posted events, handled when the event loop
// runs; the one that arrives after the player was closed or reopened still reaches
// OnNotify.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <string>

#include "audio/media_device_service.h"
#include "base/exception.h"

enum TMPModes { mpNotReady, mpStopped, mpPlaying, mpRecording, mpSeeking, mpPaused, mpOpen };
enum TMPNotifyValues { nvSuccessful, nvSuperseded, nvAborted, nvFailure };

// The player's one exception: a refused open, or an operation that needs an open device.
class EMciDeviceError : public Exception {
 public:
  using Exception::Exception;
};

class TMciPlayer : public QObject {
 public:
  explicit TMciPlayer(IMediaDeviceService& service, QObject* parent = nullptr);
  // Closes the open device (MCI_WAIT), ignoring the result.
  ~TMciPlayer() override;

  std::string FileName;  // read by the next Open
  bool Shareable = false;
  bool AutoRewind = true;  // Play at the end of the sound starts from the beginning
  bool AutoOpen = false;   // Loaded() opens the player when set
  // Called once for every completion notice, with the player as sender.
  std::function<void(TMciPlayer& sender)> OnNotify;

  // Closes an open device first, then opens FileName. Raises EMciDeviceError with the
  // service's text when the open is refused.
  void Open();
  // Closes the device; does nothing without a device id.
  void Close();
  // Plays from the current position to the end; rewinds first when at the end and
  // AutoRewind is set. Returns at once.
  void Play();
  // Pauses a playing device, resumes a paused one, does nothing otherwise.
  void Pause();
  void PauseOnly();
  // Resumes a paused device; when the service refuses, plays instead.
  void Resume();
  void Stop();
  // Position in ms; a refused read gives 0. The write seeks.
  int32_t Position();
  void SetPosition(int32_t ms);
  int32_t Length();
  int32_t TrackLength(int track);
  // The device's mode; a refused read (no device) gives mpNotReady.
  TMPModes Mode();
  // True while the device plays a file that is still arriving and waits for more of it.
  bool Starved();
  // One-shot: the next command that builds its wait and notify flags asks for a notice
  // when `notify` is true, and for none when false.
  void SetNotify(bool notify);
  void SetTimeFormat(uint32_t format);
  // The listening speed: the player's sound plays at `speed` times its natural speed with
  // the pitch kept (IMediaDeviceService::SetSpeed; positions stay in the sound's own
  // milliseconds). It is given to the open device at once and to each device the player
  // opens. 1 at first.
  void SetSpeed(double speed);
  double Speed() const { return speed_; }
  // Opens the player when AutoOpen is set; for the owner to call once it is set up.
  void Loaded();

  TMPNotifyValues NotifyValue() const { return notifyValue_; }
  uint32_t Error() const { return error_; }
  uint16_t DeviceID() const { return deviceId_; }

  // Takes mci::MciNotifyEvent: sets NotifyValue, then calls OnNotify.
  bool event(QEvent* e) override;

 private:
  void CheckOpened() const;
  uint32_t WaitNotifyFlags();  // rule for Open, Close, Stop, PauseOnly and the seek
  uint32_t PlayFlags();        // rule for Play and Resume
  uint32_t Status(uint32_t item, uint32_t flags, uint32_t track, uint32_t& value);
  [[noreturn]] void RaiseDeviceError(uint32_t error);

  IMediaDeviceService& service_;
  bool opened_ = false;
  uint16_t deviceId_ = 0;
  uint32_t error_ = 0;
  bool notify_ = false;
  bool notifyPending_ = false;
  TMPNotifyValues notifyValue_ = nvSuccessful;
  double speed_ = 1;
};
