// A media device service that plays nothing but keeps each device's mode, position and
// length the way the real one does, posts completion notices by the same rules, and
// records every command. Tests end or move playback by hand. Also a wave voice that
// records what it was asked to play.
#pragma once

#include <QCoreApplication>
#include <QPointer>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "audio/media_device_service.h"

class FakeMediaDevices : public IMediaDeviceService, public IWaveVoice {
 public:
  static constexpr uint32_t kInvalidDevice = 257;
  static constexpr uint32_t kFileNotFound = 275;
  static constexpr uint32_t kCannotPlay = 277;

  struct Command {
    uint16_t device;
    uint32_t command;
    uint32_t flags;
    std::string element;  // the file's base name, for kOpen
    uint32_t to;          // for kSeek with kTo
  };

  // Length in ms that a file of this base name opens with (default 60000).
  void SetLength(const std::string& baseName, int32_t ms) { lengths_[baseName] = ms; }

  // The open device playing or holding a file of this base name, or 0.
  uint16_t DeviceOf(const std::string& baseName) const {
    for (const auto& [id, d] : devices_) {
      if (BaseName(d.file) == baseName) return id;
    }
    return 0;
  }
  std::string FileOf(uint16_t id) const {
    auto it = devices_.find(id);
    return it == devices_.end() ? "" : BaseName(it->second.file);
  }
  int32_t PositionOf(uint16_t id) const {
    auto it = devices_.find(id);
    return it == devices_.end() ? -1 : it->second.position;
  }
  uint32_t ModeOf(uint16_t id) const {
    auto it = devices_.find(id);
    return it == devices_.end() ? mci::kModeNotReady : it->second.mode;
  }
  // Devices that are playing now, by base name.
  std::vector<std::string> Playing() const {
    std::vector<std::string> names;
    for (const auto& [id, d] : devices_) {
      if (d.mode == mci::kModePlay) names.push_back(BaseName(d.file));
    }
    return names;
  }
  bool IsPlaying(const std::string& baseName) const {
    const uint16_t id = DeviceOf(baseName);
    return id != 0 && ModeOf(id) == mci::kModePlay;
  }

  // Playback of the device reaches its end: mode stopped, the play notice posted.
  void EndPlayback(uint16_t id) {
    auto it = devices_.find(id);
    if (it == devices_.end() || it->second.mode != mci::kModePlay) return;
    it->second.position = it->second.length;
    it->second.mode = mci::kModeStop;
    if (it->second.playPending) {
      it->second.playPending = false;
      Post(it->second.pendingCallback, mci::kNotifySuccessful, id);
    }
  }
  void EndPlayback(const std::string& baseName) { EndPlayback(DeviceOf(baseName)); }
  // Moves a playing device's position forward.
  void Advance(uint16_t id, int32_t ms) {
    auto it = devices_.find(id);
    if (it != devices_.end()) it->second.position = std::min(it->second.length, it->second.position + ms);
  }

  const std::vector<Command>& Commands() const { return commands_; }
  void ClearCommands() { commands_.clear(); }
  // Base names of every file opened, in order.
  std::vector<std::string> Opened() const {
    std::vector<std::string> names;
    for (const Command& c : commands_) {
      if (c.command == mci::kOpen) names.push_back(c.element);
    }
    return names;
  }
  int wavesPlayed = 0;

  uint32_t SendCommand(uint16_t device, uint32_t command, uint32_t flags,
                       mci::Params& params) override {
    commands_.push_back({device, command, flags,
                         command == mci::kOpen ? BaseName(params.element) : "", params.to});
    const bool notify = flags & mci::kNotify;
    if (command == mci::kOpen) {
      struct stat st {};
      if (::stat(params.element.c_str(), &st) != 0) return kFileNotFound;
      if (st.st_size == 0) return kCannotPlay;
      const uint16_t id = nextId_++;
      Device& d = devices_[id];
      d.file = params.element;
      auto length = lengths_.find(BaseName(params.element));
      d.length = length == lengths_.end() ? 60000 : length->second;
      params.deviceId = id;
      if (notify) Post(params.callback, mci::kNotifySuccessful, id);
      return 0;
    }
    auto it = devices_.find(device);
    if (it == devices_.end()) return kInvalidDevice;
    Device& d = it->second;
    if (command == mci::kStatus) {
      if (params.item == mci::kStatusMode) params.returnValue = d.mode;
      if (params.item == mci::kStatusPosition) params.returnValue = static_cast<uint32_t>(d.position);
      if (params.item == mci::kStatusLength) params.returnValue = static_cast<uint32_t>(d.length);
      return 0;
    }
    if (command == mci::kSet) return 0;
    if (command == mci::kResume && d.mode != mci::kModePause) return kCannotPlay;

    // A new command ends a pending play notice: aborted when it interrupts playback,
    // superseded when it merely asks for a notice of its own.
    const bool interrupts = command == mci::kStop || command == mci::kPause ||
                            command == mci::kSeek || command == mci::kClose ||
                            command == mci::kPlay;
    if (d.playPending && (interrupts || notify)) {
      d.playPending = false;
      Post(d.pendingCallback, interrupts ? mci::kNotifyAborted : mci::kNotifySuperseded, device);
    }
    switch (command) {
      case mci::kClose:
        devices_.erase(it);
        if (notify) Post(params.callback, mci::kNotifySuccessful, device);
        return 0;
      case mci::kPlay:
      case mci::kResume:
        if (d.position >= d.length) {
          d.mode = mci::kModeStop;
          if (notify) Post(params.callback, mci::kNotifySuccessful, device);
          return 0;
        }
        d.mode = mci::kModePlay;
        if (notify) {
          d.playPending = true;
          d.pendingCallback = params.callback;
        }
        return 0;
      case mci::kPause:
        d.mode = mci::kModePause;
        break;
      case mci::kStop:
        d.mode = mci::kModeStop;
        break;
      case mci::kSeek:
        d.position = (flags & mci::kSeekToStart) ? 0 : std::min<int32_t>(static_cast<int32_t>(params.to), d.length);
        d.mode = mci::kModeStop;
        break;
      default:
        return kInvalidDevice;
    }
    if (notify) Post(params.callback, mci::kNotifySuccessful, device);
    return 0;
  }

  bool GetErrorString(uint32_t error, std::string& text) override {
    if (error == kFileNotFound) text = "The file cannot be found.";
    else if (error == kCannotPlay) text = "The file cannot be played.";
    else if (error == kInvalidDevice) text = "Invalid device id.";
    else return false;
    return true;
  }

  bool PlayWave(const void*, std::size_t) override {
    ++wavesPlayed;
    return true;
  }

 private:
  struct Device {
    std::string file;
    uint32_t mode = mci::kModeStop;
    int32_t position = 0;
    int32_t length = 0;
    bool playPending = false;
    QPointer<QObject> pendingCallback;
  };

  static std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }
  static void Post(QObject* callback, uint32_t outcome, uint16_t id) {
    if (callback) QCoreApplication::postEvent(callback, new mci::MciNotifyEvent(outcome, id));
  }

  std::map<uint16_t, Device> devices_;
  std::map<std::string, int32_t> lengths_;
  std::vector<Command> commands_;
  uint16_t nextId_ = 1;
};
