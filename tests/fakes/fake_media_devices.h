// The shared fake media device service seen the way the reader's tests look at it: by
// the base names of the files the players open. Opening a file that does not exist, or
// an empty one, is refused as the real service refuses it, and so is a file whose base
// name a test lists in `undecodable`; a test can give the files of a name their own length.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fake_media_device_service.h"

class FakeMediaDevices : public FakeMediaDeviceService {
 public:
  FakeMediaDevices() { newDeviceLength = 60000; }

  void SetLength(const std::string& baseName, uint32_t ms) { lengths_[baseName] = ms; }
  std::set<std::string> undecodable;  // base names of files that are no playable sound
  // When set, a file opened without a length of its own lasts this many ms per byte (so
  // that a shorter answer of the server is shorter speech).
  uint32_t msPerByte = 0;

  uint32_t SendCommand(uint16_t device, uint32_t command, uint32_t flags,
                       mci::Params& params) override {
    if (command == mci::kOpen) {
      struct stat st {};
      const uint32_t refusal = ::stat(params.element.c_str(), &st) != 0 ? mci::kErrFileNotFound
                               : st.st_size == 0 || undecodable.count(BaseName(params.element))
                                   ? mci::kErrInvalidFile
                                   : 0;
      if (refusal != 0) {
        commands.push_back({device, command, flags, params, refusal});
        return refusal;
      }
    }
    const uint32_t result = FakeMediaDeviceService::SendCommand(device, command, flags, params);
    if (command == mci::kOpen && result == 0) {
      auto length = lengths_.find(BaseName(params.element));
      if (length != lengths_.end()) {
        devices[params.deviceId].length = length->second;
      } else if (msPerByte != 0) {
        struct stat st {};
        ::stat(params.element.c_str(), &st);
        devices[params.deviceId].length = static_cast<uint32_t>(st.st_size) * msPerByte;
      }
    }
    return result;
  }

  // The open device holding a file of this base name, or 0.
  uint16_t DeviceOf(const std::string& baseName) const {
    for (const auto& [id, d] : devices) {
      if (BaseName(d.element) == baseName) return id;
    }
    return 0;
  }
  std::string FileOf(uint16_t id) const {
    auto it = devices.find(id);
    return it == devices.end() ? "" : BaseName(it->second.element);
  }
  int32_t PositionOf(uint16_t id) const {
    auto it = devices.find(id);
    return it == devices.end() ? -1 : static_cast<int32_t>(it->second.position);
  }
  uint32_t ModeOf(uint16_t id) const {
    auto it = devices.find(id);
    return it == devices.end() ? mci::kModeNotReady : it->second.mode;
  }
  std::vector<std::string> Playing() const {
    std::vector<std::string> names;
    for (const auto& [id, d] : devices) {
      if (d.mode == mci::kModePlay) names.push_back(BaseName(d.element));
    }
    return names;
  }
  bool IsPlaying(const std::string& baseName) const {
    const uint16_t id = DeviceOf(baseName);
    return id != 0 && ModeOf(id) == mci::kModePlay;
  }
  using FakeMediaDeviceService::EndPlayback;
  void EndPlayback(const std::string& baseName) { EndPlayback(DeviceOf(baseName)); }
  void Advance(uint16_t id, uint32_t ms) {
    auto it = devices.find(id);
    if (it != devices.end())
      it->second.position = std::min(it->second.length, it->second.position + ms);
  }

  const std::vector<Command>& Commands() const { return commands; }
  void ClearCommands() { commands.clear(); }
  // Base names of every file opened (or refused), in order.
  std::vector<std::string> Opened() const {
    std::vector<std::string> names;
    for (const Command& c : commands) {
      if (c.command == mci::kOpen) names.push_back(BaseName(c.params.element));
    }
    return names;
  }
  int WavesPlayed() const { return static_cast<int>(waves.size()); }

 private:
  static std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }

  std::map<std::string, uint32_t> lengths_;
};
