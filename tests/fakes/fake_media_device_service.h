// A recording fake of the media device service (and of the wave voice) for tests of the
// reader's logic. Header only; GUI thread only; no sound, no files.
//
// What it does:
//  - Records every command in `commands` (device, command, flags, a copy of the params)
//    and every PlayWave in `waves`.
//  - Opens any element: device ids count up from 1; `devices` holds the open ones with
//    their mode, position and length, which a test may set directly.
//  - Behaves like the real service for modes and notices: play/resume -> playing,
//    pause -> paused, stop/seek -> stopped; a play or resume with kNotify leaves a pending
//    notice; stop, pause, seek, close and play abort a pending notice; any other command
//    with kNotify supersedes it; every other command with kNotify posts successful at
//    once. Notices are posted MciNotifyEvents, so they arrive when the event loop runs.
//  - Refuses what the real service refuses, changing nothing: a resume of a stopped
//    device (kErrNonApplicableFunction) and a seek past the length (kErrOutOfRange). A
//    play or resume at the end plays nothing: the device is stopped at once and a notice
//    asked for is posted as successful.
//  - EndPlayback(id) is the end of a sound: mode stopped, position = length, and the
//    pending notice (if any) posted as successful.
//  - Refusals are scripted: FailNext(command, code) refuses the next such command once;
//    failAlways[command] = code refuses it until erased. A refused command changes nothing
//    (it is still recorded). Unknown device ids are refused with kErrInvalidDeviceId.
//  - GetErrorString gives `errorTexts[code]`, false for a code without an entry.
//  - SetGrowing calls are recorded in `growing` (path, flag) in order; the status item
//    kStatusStarved reads a device's `starved` flag, which a test sets.
//  - SetSpeed calls are recorded in `speeds` (device, speed) in order, and an open
//    device's `speed` holds the last one (1 at its open); unknown ids are ignored.
//
// Example:
//   FakeMediaDeviceService fake;
//   TMciPlayer player(fake);
//   player.FileName = "/w/bod.mp3";
//   player.Open();
//   player.Play();
//   EXPECT_EQ(fake.commands.back().command, mci::kPlay);
//   fake.EndPlayback(player.DeviceID());
//   QCoreApplication::processEvents();  // the successful notice reaches OnNotify
#pragma once

#include <QCoreApplication>
#include <QPointer>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "audio/mci_errors.h"
#include "audio/media_device_service.h"

class FakeMediaDeviceService : public IMediaDeviceService, public IWaveVoice {
 public:
  struct Command {
    uint16_t device;
    uint32_t command;
    uint32_t flags;
    mci::Params params;  // as the caller passed it (callback, element, to, item, …)
    uint32_t result;     // what the fake returned
  };
  struct Device {
    std::string element;
    bool shareable = false;
    uint32_t mode = mci::kModeStop;  // an mci::kMode… value
    uint32_t position = 0;           // ms
    uint32_t length = 0;             // ms; also the length of track 1
    bool hasPending = false;         // a play notice waits for EndPlayback
    QPointer<QObject> pending;
    bool starved = false;  // what kStatusStarved reads
    double speed = 1;      // the last SetSpeed
  };
  struct Wave {
    const void* image;
    std::size_t size;
  };

  std::vector<Command> commands;
  std::vector<Wave> waves;
  std::vector<std::pair<std::string, bool>> growing;  // SetGrowing calls
  std::vector<std::pair<uint16_t, double>> speeds;    // SetSpeed calls
  std::map<uint16_t, Device> devices;                 // open devices by id
  std::map<uint32_t, uint32_t> failAlways;            // command -> error code
  std::map<uint32_t, std::deque<uint32_t>> failNext;  // command -> codes, used once each
  std::map<uint32_t, std::string> errorTexts{
      {mci::kErrFileNotFound, "The sound file was not found."},
      {mci::kErrInvalidFile,
       "The sound file is empty, damaged, or not a sound that can be played."},
      {mci::kErrInvalidDeviceId, "The sound device is not open."}};
  uint32_t newDeviceLength = 10000;  // the length (ms) given to every newly opened device
  bool waveResult = true;            // what PlayWave returns
  uint16_t lastId = 0;

  void FailNext(uint32_t command, uint32_t error) { failNext[command].push_back(error); }

  // Commands of one kind, in order.
  std::vector<Command> CommandsOf(uint32_t command) const {
    std::vector<Command> out;
    for (const Command& c : commands)
      if (c.command == command) out.push_back(c);
    return out;
  }

  // The sound on `device` has played to its end; with `failed`, playback has stopped
  // where the file breaks into data that does not decode.
  void EndPlayback(uint16_t device, bool failed = false) {
    auto it = devices.find(device);
    if (it == devices.end()) return;
    Device& d = it->second;
    d.mode = mci::kModeStop;
    if (!failed) d.position = d.length;
    if (d.hasPending) {
      d.hasPending = false;
      Post(d.pending, failed ? mci::kNotifyFailure : mci::kNotifySuccessful, device);
    }
  }

  uint32_t SendCommand(uint16_t device, uint32_t command, uint32_t flags,
                       mci::Params& params) override {
    commands.push_back({device, command, flags, params, 0});
    uint32_t result = Run(device, command, flags, params);
    commands.back().result = result;
    return result;
  }

  bool GetErrorString(uint32_t error, std::string& text) override {
    auto it = errorTexts.find(error);
    if (it == errorTexts.end()) return false;
    text = it->second;
    return true;
  }

  void SetGrowing(const std::string& path, bool grows) override {
    growing.emplace_back(path, grows);
  }

  void SetSpeed(uint16_t device, double speed) override {
    auto it = devices.find(device);
    if (it == devices.end()) return;
    speeds.emplace_back(device, speed);
    it->second.speed = speed;
  }

  bool PlayWave(const void* image, std::size_t size) override {
    waves.push_back({image, size});
    return waveResult;
  }

 private:
  static void Post(QObject* callback, uint32_t outcome, uint16_t device) {
    if (callback != nullptr)
      QCoreApplication::postEvent(callback, new mci::MciNotifyEvent(outcome, device));
  }

  uint32_t Run(uint16_t device, uint32_t command, uint32_t flags, mci::Params& params) {
    auto next = failNext.find(command);
    if (next != failNext.end() && !next->second.empty()) {
      uint32_t error = next->second.front();
      next->second.pop_front();
      return error;
    }
    auto always = failAlways.find(command);
    if (always != failAlways.end()) return always->second;
    const bool notify = (flags & mci::kNotify) != 0;
    if (command == mci::kOpen) {
      do {
        ++lastId;
      } while (lastId == 0 || devices.count(lastId) != 0);
      Device d;
      d.element = params.element;
      d.shareable = (flags & mci::kOpenShareable) != 0;
      d.length = newDeviceLength;
      devices[lastId] = d;
      params.deviceId = lastId;
      if (notify) Post(params.callback, mci::kNotifySuccessful, lastId);
      return 0;
    }
    auto it = devices.find(device);
    if (it == devices.end()) return mci::kErrInvalidDeviceId;
    Device& d = it->second;
    if (command == mci::kResume && d.mode == mci::kModeStop) return mci::kErrNonApplicableFunction;
    if (command == mci::kSeek && (flags & mci::kTo) && params.to > d.length)
      return mci::kErrOutOfRange;
    const bool interrupts = command == mci::kStop || command == mci::kPause ||
                            command == mci::kSeek || command == mci::kClose ||
                            command == mci::kPlay;
    if (d.hasPending && (interrupts || notify)) {
      d.hasPending = false;
      Post(d.pending, interrupts ? mci::kNotifyAborted : mci::kNotifySuperseded, device);
    }
    bool running = false;
    switch (command) {
      case mci::kPlay:
      case mci::kResume:
        d.mode = d.position >= d.length ? mci::kModeStop : mci::kModePlay;
        running = d.mode == mci::kModePlay;
        break;
      case mci::kPause:
        if (d.mode == mci::kModePlay) d.mode = mci::kModePause;
        break;
      case mci::kStop:
        d.mode = mci::kModeStop;
        break;
      case mci::kSeek:
        d.mode = mci::kModeStop;
        d.position = (flags & mci::kSeekToStart) ? 0 : params.to;
        break;
      case mci::kStatus:
        params.returnValue = params.item == mci::kStatusMode       ? d.mode
                             : params.item == mci::kStatusPosition ? d.position
                             : params.item == mci::kStatusStarved  ? (d.starved ? 1u : 0u)
                                                                   : d.length;
        break;
      case mci::kClose:
        devices.erase(it);
        break;
      default:
        break;
    }
    if (notify) {
      if (running) {
        Device& still = devices[device];
        still.hasPending = true;
        still.pending = params.callback;
      } else {
        Post(params.callback, mci::kNotifySuccessful, device);
      }
    }
    return 0;
  }
};
