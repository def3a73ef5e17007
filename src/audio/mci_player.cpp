#include "audio/mci_player.h"

namespace {
const char kNoDevice[] = "No MCI device open";
}

TMciPlayer::TMciPlayer(IMediaDeviceService& service, QObject* parent)
    : QObject(parent), service_(service) {}

TMciPlayer::~TMciPlayer() {
  if (deviceId_ != 0) {
    mci::Params p;
    service_.SendCommand(deviceId_, mci::kClose, mci::kWait, p);
  }
}

void TMciPlayer::CheckOpened() const {
  if (!opened_) throw EMciDeviceError(kNoDevice);
}

void TMciPlayer::RaiseDeviceError(uint32_t error) {
  std::string text;
  if (!service_.GetErrorString(error, text)) text = "Unknown error code";
  throw EMciDeviceError(text);
}

uint32_t TMciPlayer::WaitNotifyFlags() {
  uint32_t flags = mci::kWait;
  if (notifyPending_) {
    if (notify_) flags |= mci::kNotify;
    notifyPending_ = false;
  }
  return flags;
}

uint32_t TMciPlayer::PlayFlags() {
  if (!notifyPending_) return mci::kNotify;
  notifyPending_ = false;
  return notify_ ? mci::kNotify : 0;
}

void TMciPlayer::Open() {
  if (opened_) Close();
  mci::Params p;
  p.element = FileName;
  p.callback = this;
  uint32_t flags = WaitNotifyFlags() | mci::kOpenElement;
  if (Shareable) flags |= mci::kOpenShareable;
  error_ = service_.SendCommand(0, mci::kOpen, flags, p);
  if (error_ != 0) RaiseDeviceError(error_);
  opened_ = true;
  deviceId_ = p.deviceId;
  if (speed_ != 1) service_.SetSpeed(deviceId_, speed_);
}

void TMciPlayer::Close() {
  if (deviceId_ == 0) return;
  mci::Params p;
  p.callback = this;
  error_ = service_.SendCommand(deviceId_, mci::kClose, WaitNotifyFlags(), p);
  if (error_ == 0) {
    opened_ = false;
    deviceId_ = 0;
  }
}

void TMciPlayer::Play() {
  CheckOpened();
  if (AutoRewind && Position() == Length()) {
    // Builds no flags of its own and stores no error: the pending mark is Play's.
    mci::Params seek;
    seek.callback = this;
    service_.SendCommand(deviceId_, mci::kSeek, mci::kWait | mci::kSeekToStart, seek);
  }
  mci::Params p;
  p.callback = this;
  error_ = service_.SendCommand(deviceId_, mci::kPlay, PlayFlags(), p);
}

void TMciPlayer::Pause() {
  CheckOpened();
  if (Mode() == mpPlaying) {
    PauseOnly();
  } else if (Mode() == mpPaused) {
    Resume();
  }
}

void TMciPlayer::PauseOnly() {
  CheckOpened();
  mci::Params p;
  p.callback = this;
  error_ = service_.SendCommand(deviceId_, mci::kPause, WaitNotifyFlags(), p);
}

void TMciPlayer::Resume() {
  CheckOpened();
  // The mark is used only if the resume goes through; otherwise Play uses it.
  uint32_t flags = mci::kNotify;
  if (notifyPending_) flags = notify_ ? mci::kNotify : 0;
  mci::Params p;
  p.callback = this;
  error_ = service_.SendCommand(deviceId_, mci::kResume, flags, p);
  if (error_ == 0) {
    notifyPending_ = false;
  } else {
    Play();
  }
}

void TMciPlayer::Stop() {
  CheckOpened();
  mci::Params p;
  p.callback = this;
  error_ = service_.SendCommand(deviceId_, mci::kStop, WaitNotifyFlags(), p);
}

uint32_t TMciPlayer::Status(uint32_t item, uint32_t flags, uint32_t track, uint32_t& value) {
  mci::Params p;
  p.item = item;
  p.track = track;
  const uint32_t result = service_.SendCommand(deviceId_, mci::kStatus, flags, p);
  value = result == 0 ? p.returnValue : 0;
  return result;
}

int32_t TMciPlayer::Position() {
  uint32_t value = 0;
  error_ = Status(mci::kStatusPosition, mci::kWait | mci::kStatusItem, 0, value);
  return static_cast<int32_t>(value);
}

void TMciPlayer::SetPosition(int32_t ms) {
  CheckOpened();
  mci::Params p;
  p.callback = this;
  p.to = static_cast<uint32_t>(ms);
  error_ = service_.SendCommand(deviceId_, mci::kSeek, WaitNotifyFlags() | mci::kTo, p);
}

int32_t TMciPlayer::Length() {
  CheckOpened();
  uint32_t value = 0;
  error_ = Status(mci::kStatusLength, mci::kWait | mci::kStatusItem, 0, value);
  return static_cast<int32_t>(value);
}

int32_t TMciPlayer::TrackLength(int track) {
  CheckOpened();
  uint32_t value = 0;
  Status(mci::kStatusLength, mci::kWait | mci::kStatusItem | mci::kTrack,
         static_cast<uint32_t>(track), value);
  return static_cast<int32_t>(value);
}

TMPModes TMciPlayer::Mode() {
  uint32_t value = 0;
  error_ = Status(mci::kStatusMode, mci::kWait | mci::kStatusItem, 0, value);
  if (error_ != 0) return mpNotReady;
  const auto mode = static_cast<uint8_t>(value - mci::kModeNotReady);
  return mode <= mpOpen ? static_cast<TMPModes>(mode) : mpNotReady;
}

bool TMciPlayer::Starved() {
  uint32_t value = 0;
  // Like the other status reads it neither uses nor clears a pending Notify.
  Status(mci::kStatusStarved, mci::kWait | mci::kStatusItem, 0, value);
  return value != 0;
}

void TMciPlayer::SetNotify(bool notify) {
  notify_ = notify;
  notifyPending_ = true;
}

void TMciPlayer::SetTimeFormat(uint32_t format) {
  mci::Params p;
  p.timeFormat = format;
  error_ = service_.SendCommand(deviceId_, mci::kSet, mci::kSetTimeFormat, p);
}

void TMciPlayer::SetSpeed(double speed) {
  speed_ = speed;
  if (deviceId_ != 0) service_.SetSpeed(deviceId_, speed_);
}

void TMciPlayer::Loaded() {
  if (AutoOpen) Open();
}

bool TMciPlayer::event(QEvent* e) {
  if (e->type() != mci::MciNotifyEvent::EventType()) return QObject::event(e);
  switch (static_cast<mci::MciNotifyEvent*>(e)->Outcome()) {
    case mci::kNotifySuccessful:
      notifyValue_ = nvSuccessful;
      break;
    case mci::kNotifySuperseded:
      notifyValue_ = nvSuperseded;
      break;
    case mci::kNotifyAborted:
      notifyValue_ = nvAborted;
      break;
    case mci::kNotifyFailure:
      notifyValue_ = nvFailure;
      break;
    default:
      break;
  }
  if (OnNotify) OnNotify(*this);
  return true;
}
