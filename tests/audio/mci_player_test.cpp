// TMciPlayer's command and flag logic against the recording fake of the service.
#include "audio/mci_player.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <functional>
#include <memory>
#include <optional>

#include "fake_media_device_service.h"

namespace {

using namespace mci;

int argc = 1;
char arg0[] = "mci_player_test";
char* argv[] = {arg0, nullptr};

struct Sent {
  uint32_t command;
  uint32_t flags;
  bool operator==(const Sent&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Sent& s) {
  return os << "{cmd 0x" << std::hex << s.command << ", flags 0x" << s.flags << std::dec << "}";
}

class MciPlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (QCoreApplication::instance() == nullptr) app_ = new QCoreApplication(argc, argv);
  }

  MciPlayerTest() : player(std::make_unique<TMciPlayer>(fake)) {
    player->FileName = "/work/bod.mp3";
    player->OnNotify = [this](TMciPlayer& sender) {
      EXPECT_EQ(&sender, player.get());
      notices.push_back(sender.NotifyValue());
    };
  }

  // Opens the player and forgets what that sent.
  void OpenQuietly() {
    player->Open();
    fake.commands.clear();
  }

  std::vector<Sent> Sends() const {
    std::vector<Sent> out;
    for (const auto& c : fake.commands) out.push_back({c.command, c.flags});
    return out;
  }

  static inline QCoreApplication* app_ = nullptr;
  FakeMediaDeviceService fake;
  std::unique_ptr<TMciPlayer> player;
  std::vector<TMPNotifyValues> notices;
};

constexpr uint32_t kStatusFlags = kWait | kStatusItem;

struct FlagCase {
  const char* name;
  std::function<void(TMciPlayer&, FakeMediaDeviceService&)> setup;  // what was sent is forgotten
  std::function<void(TMciPlayer&)> act;
  std::vector<Sent> expected;
  std::optional<std::string> raises;
};

TEST_F(MciPlayerTest, CommandsAndFlags_FollowOneShotNotifyAndAutoRewind) {
  const auto open = [](TMciPlayer& p, FakeMediaDeviceService&) { p.Open(); };
  const auto none = [](TMciPlayer&, FakeMediaDeviceService&) {};
  const FlagCase cases[] = {
      {"close unopened keeps pending notify for open",
       none,
       [](TMciPlayer& p) {
         p.SetNotify(true);
         p.Close();
         p.Open();
       },
       {{kOpen, kWait | kNotify | kOpenElement}},
       {}},
      {"notify true then two stops",
       open,
       [](TMciPlayer& p) {
         p.SetNotify(true);
         p.Stop();
         p.Stop();
       },
       {{kStop, kWait | kNotify}, {kStop, kWait}},
       {}},
      {"notify false then two plays",
       open,
       [](TMciPlayer& p) {
         p.SetNotify(false);
         p.Play();
         p.Stop();
         p.Play();
       },
       {{kStatus, kStatusFlags},
        {kStatus, kStatusFlags},
        {kPlay, 0},
        {kStop, kWait},
        {kStatus, kStatusFlags},
        {kStatus, kStatusFlags},
        {kPlay, kNotify}},
       {}},
      {"status read leaves the mark for play",
       open,
       [](TMciPlayer& p) {
         p.SetNotify(false);
         p.Length();
         p.Mode();
         p.Play();
       },
       {{kStatus, kStatusFlags},
        {kStatus, kStatusFlags},
        {kStatus, kStatusFlags},
        {kStatus, kStatusFlags},
        {kPlay, 0}},
       {}},
      {"open on open player: close takes the notify",
       open,
       [](TMciPlayer& p) {
         p.SetNotify(true);
         p.Shareable = true;
         p.Open();
       },
       {{kClose, kWait | kNotify}, {kOpen, kWait | kOpenElement | kOpenShareable}},
       {}},
      {"play at the end rewinds",
       [](TMciPlayer& p, FakeMediaDeviceService& f) {
         p.Open();
         f.devices[p.DeviceID()].position = f.devices[p.DeviceID()].length;
       },
       [](TMciPlayer& p) { p.Play(); },
       {{kStatus, kStatusFlags},
        {kStatus, kStatusFlags},
        {kSeek, kWait | kSeekToStart},
        {kPlay, kNotify}},
       {}},
      {"play at the end without auto-rewind",
       [](TMciPlayer& p, FakeMediaDeviceService& f) {
         p.Open();
         p.AutoRewind = false;
         f.devices[p.DeviceID()].position = f.devices[p.DeviceID()].length;
       },
       [](TMciPlayer& p) { p.Play(); },
       {{kPlay, kNotify}},
       {}},
      {"play on paused device does not seek",
       [](TMciPlayer& p, FakeMediaDeviceService& f) {
         p.Open();
         f.devices[p.DeviceID()].mode = kModePause;
         f.devices[p.DeviceID()].position = 4000;
       },
       [](TMciPlayer& p) { p.Play(); },
       {{kStatus, kStatusFlags}, {kStatus, kStatusFlags}, {kPlay, kNotify}},
       {}},
      {"pause toggle on playing device",
       [](TMciPlayer& p, FakeMediaDeviceService& f) {
         p.Open();
         f.devices[p.DeviceID()].mode = kModePlay;
       },
       [](TMciPlayer& p) { p.Pause(); },
       {{kStatus, kStatusFlags}, {kPause, kWait}},
       {}},
      {"pause toggle on paused device resumes",
       [](TMciPlayer& p, FakeMediaDeviceService& f) {
         p.Open();
         f.devices[p.DeviceID()].mode = kModePause;
       },
       [](TMciPlayer& p) { p.Pause(); },
       {{kStatus, kStatusFlags}, {kStatus, kStatusFlags}, {kResume, kNotify}},
       {}},
      {"pause on stopped device only reads the mode twice",
       open,
       [](TMciPlayer& p) { p.Pause(); },
       {{kStatus, kStatusFlags}, {kStatus, kStatusFlags}},
       {}},
      {"refused resume falls back to play, which takes the mark",
       [](TMciPlayer& p, FakeMediaDeviceService& f) {
         p.Open();
         f.FailNext(kResume, kErrNonApplicableFunction);
       },
       [](TMciPlayer& p) {
         p.SetNotify(false);
         p.Resume();
       },
       {{kResume, 0}, {kStatus, kStatusFlags}, {kStatus, kStatusFlags}, {kPlay, 0}},
       {}},
      {"a resume that goes through takes the mark",
       [](TMciPlayer& p, FakeMediaDeviceService& f) {
         p.Open();
         f.devices[p.DeviceID()].mode = kModePause;
       },
       [](TMciPlayer& p) {
         p.SetNotify(true);
         p.Resume();
         p.Stop();
       },
       {{kResume, kNotify}, {kStop, kWait}},
       {}},
      {"a resume of a stopped device is refused; play takes the mark",
       open,
       [](TMciPlayer& p) {
         p.SetNotify(true);
         p.Resume();
         p.Stop();
       },
       {{kResume, kNotify},
        {kStatus, kStatusFlags},
        {kStatus, kStatusFlags},
        {kPlay, kNotify},
        {kStop, kWait}},
       {}},
      {"position write seeks with the one-shot notify",
       open,
       [](TMciPlayer& p) {
         p.SetNotify(true);
         p.SetPosition(20000);
         p.SetPosition(0);
       },
       {{kSeek, kWait | kNotify | kTo}, {kSeek, kWait | kTo}},
       {}},
      {"track length",
       open,
       [](TMciPlayer& p) { p.TrackLength(1); },
       {{kStatus, kStatusFlags | kTrack}},
       {}},
      {"time format on closed player goes to device 0",
       none,
       [](TMciPlayer& p) { p.SetTimeFormat(kFormatMilliseconds); },
       {{kSet, kSetTimeFormat}},
       {}},
      {"mode and position on closed player do not raise",
       none,
       [](TMciPlayer& p) {
         EXPECT_EQ(p.Mode(), mpNotReady);
         EXPECT_EQ(p.Position(), 0);
         EXPECT_EQ(p.Error(), kErrInvalidDeviceId);
       },
       {{kStatus, kStatusFlags}, {kStatus, kStatusFlags}},
       {}},
      {"play on closed player", none, [](TMciPlayer& p) { p.Play(); }, {}, "No MCI device open"},
      {"stop on closed player", none, [](TMciPlayer& p) { p.Stop(); }, {}, "No MCI device open"},
      {"pause on closed player", none, [](TMciPlayer& p) { p.Pause(); }, {}, "No MCI device open"},
      {"pause only on closed player",
       none,
       [](TMciPlayer& p) { p.PauseOnly(); },
       {},
       "No MCI device open"},
      {"resume on closed player",
       none,
       [](TMciPlayer& p) { p.Resume(); },
       {},
       "No MCI device open"},
      {"position write on closed player",
       none,
       [](TMciPlayer& p) { p.SetPosition(5); },
       {},
       "No MCI device open"},
      {"length on closed player",
       none,
       [](TMciPlayer& p) { p.Length(); },
       {},
       "No MCI device open"},
      {"track length on closed player",
       none,
       [](TMciPlayer& p) { p.TrackLength(1); },
       {},
       "No MCI device open"},
      {"refused open raises the service's text",
       [](TMciPlayer&, FakeMediaDeviceService& f) { f.FailNext(kOpen, kErrFileNotFound); },
       [](TMciPlayer& p) { p.Open(); },
       {{kOpen, kWait | kOpenElement}},
       "The sound file was not found."},
      {"refused open without a text",
       [](TMciPlayer&, FakeMediaDeviceService& f) { f.FailNext(kOpen, 9999); },
       [](TMciPlayer& p) { p.Open(); },
       {{kOpen, kWait | kOpenElement}},
       "Unknown error code"},
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(c.name);
    fake = FakeMediaDeviceService();
    player = std::make_unique<TMciPlayer>(fake);
    player->FileName = "/work/bod.mp3";
    c.setup(*player, fake);
    fake.commands.clear();
    std::optional<std::string> raised;
    try {
      c.act(*player);
    } catch (const EMciDeviceError& e) {
      raised = e.Message();
    }
    EXPECT_EQ(raised, c.raises);
    EXPECT_EQ(Sends(), c.expected);
  }
  player.reset();
}

TEST_F(MciPlayerTest, ClosedPlayer_RaisingLeavesPendingNotifyForTheNextCommand) {
  player->SetNotify(true);
  EXPECT_THROW(player->Stop(), EMciDeviceError);
  player->Open();
  ASSERT_EQ(fake.commands.size(), 1u);
  EXPECT_EQ(fake.commands[0].flags, kWait | kNotify | kOpenElement);
}

TEST_F(MciPlayerTest, Open_PassesFileNameAndItselfAsCallback_AndTakesTheDeviceId) {
  fake.lastId = 6;
  player->Open();
  ASSERT_EQ(fake.commands.size(), 1u);
  EXPECT_EQ(fake.commands[0].device, 0);
  EXPECT_EQ(fake.commands[0].params.element, "/work/bod.mp3");
  EXPECT_EQ(fake.commands[0].params.callback, player.get());
  EXPECT_EQ(player->DeviceID(), 7);
  player->Stop();
  EXPECT_EQ(fake.commands.back().device, 7);
  EXPECT_EQ(fake.commands.back().params.callback, player.get());
}

TEST_F(MciPlayerTest, RefusedOpen_LeavesPlayerClosed_AndPlayRaises) {
  fake.FailNext(kOpen, kErrInvalidFile);
  EXPECT_THROW(player->Open(), EMciDeviceError);
  EXPECT_EQ(player->Error(), kErrInvalidFile);
  EXPECT_EQ(player->DeviceID(), 0);
  try {
    player->Play();
    FAIL() << "Play on a closed player must raise";
  } catch (const EMciDeviceError& e) {
    EXPECT_EQ(e.Message(), "No MCI device open");
  }
}

TEST_F(MciPlayerTest, RefusedClose_LeavesPlayerOpen_AndOpenStillTriesTheNewFile) {
  player->Open();
  const uint16_t first = player->DeviceID();
  fake.FailNext(kClose, kErrInvalidDeviceId);
  player->Close();
  EXPECT_EQ(player->DeviceID(), first);
  EXPECT_EQ(player->Error(), kErrInvalidDeviceId);
  EXPECT_NO_THROW(player->Stop());

  fake.FailNext(kClose, kErrInvalidDeviceId);
  player->FileName = "/work/other.mp3";
  player->Open();
  EXPECT_NE(player->DeviceID(), first);
  EXPECT_EQ(fake.commands.back().params.element, "/work/other.mp3");
}

TEST_F(MciPlayerTest, TimeFormat_SendsTheGivenFormatToTheOpenDevice_AndKeepsTheRefusal) {
  OpenQuietly();
  fake.FailNext(kSet, kErrBadTimeFormat);
  player->SetTimeFormat(3);
  ASSERT_EQ(fake.commands.size(), 1u);
  EXPECT_EQ(fake.commands[0].device, player->DeviceID());
  EXPECT_EQ(fake.commands[0].params.timeFormat, 3u);
  EXPECT_EQ(player->Error(), kErrBadTimeFormat);
  player->SetTimeFormat(kFormatMilliseconds);
  EXPECT_EQ(fake.commands[1].params.timeFormat, kFormatMilliseconds);
  EXPECT_EQ(player->Error(), 0u);
}

TEST_F(MciPlayerTest, Speed_GoesToTheOpenDeviceAndToEveryDeviceOpenedLater_1SendsNothing) {
  player->Open();
  player->Close();
  player->Open();
  EXPECT_TRUE(fake.speeds.empty()) << "every device starts at 1";
  player->SetSpeed(2.5);
  const uint16_t first = player->DeviceID();
  player->Close();
  player->SetSpeed(1.75);  // closed: kept for the next open
  player->Open();
  const uint16_t second = player->DeviceID();
  EXPECT_EQ(fake.speeds, (std::vector<std::pair<uint16_t, double>>{{first, 2.5}, {second, 1.75}}));
  EXPECT_EQ(player->Speed(), 1.75);
}

TEST_F(MciPlayerTest, TrackLength_DoesNotStoreTheErrorCode_ButLengthDoes) {
  OpenQuietly();
  fake.FailNext(kStatus, kErrOutOfRange);
  EXPECT_EQ(player->TrackLength(2), 0);
  EXPECT_EQ(player->Error(), 0u);
  fake.FailNext(kStatus, kErrOutOfRange);
  player->Length();
  EXPECT_EQ(player->Error(), kErrOutOfRange);
}

TEST_F(MciPlayerTest, RewindSeek_StoresNoErrorCode) {
  OpenQuietly();
  auto& d = fake.devices[player->DeviceID()];
  d.position = d.length;
  fake.FailNext(kSeek, kErrOutOfRange);
  player->Play();
  EXPECT_EQ(player->Error(), 0u);
}

TEST_F(MciPlayerTest, Mode_MapsEveryDeviceModeAndRejectsOthers) {
  OpenQuietly();
  const std::pair<uint32_t, TMPModes> table[] = {
      {kModeNotReady, mpNotReady}, {kModeStop, mpStopped}, {kModePlay, mpPlaying},
      {kModeRecord, mpRecording},  {kModeSeek, mpSeeking}, {kModePause, mpPaused},
      {kModeOpen, mpOpen},         {600, mpNotReady}};
  for (auto [device, expected] : table) {
    fake.devices[player->DeviceID()].mode = device;
    EXPECT_EQ(player->Mode(), expected) << device;
  }
}

TEST_F(MciPlayerTest, Notices_MapOutcomes_CallOnNotifyForEveryOne_EvenAfterClose) {
  OpenQuietly();
  const uint16_t id = player->DeviceID();
  const std::pair<uint32_t, TMPNotifyValues> table[] = {{kNotifyAborted, nvAborted},
                                                        {16, nvAborted},
                                                        {kNotifySuperseded, nvSuperseded},
                                                        {kNotifyFailure, nvFailure},
                                                        {kNotifySuccessful, nvSuccessful}};
  for (auto [outcome, expected] : table) {
    QCoreApplication::postEvent(player.get(), new MciNotifyEvent(outcome, id));
    const size_t before = notices.size();
    QCoreApplication::processEvents();
    ASSERT_EQ(notices.size(), before + 1) << outcome;
    EXPECT_EQ(notices.back(), expected) << outcome;
  }
  player->Close();
  QCoreApplication::postEvent(player.get(), new MciNotifyEvent(kNotifySuccessful, id + 5));
  QCoreApplication::processEvents();
  EXPECT_EQ(notices.size(), 6u);
}

TEST_F(MciPlayerTest, PlayToTheEnd_OneSuccessfulNotice_OnlyWhenTheEventLoopRuns) {
  OpenQuietly();
  player->Play();
  fake.EndPlayback(player->DeviceID());
  EXPECT_TRUE(notices.empty());
  QCoreApplication::processEvents();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0], nvSuccessful);
  EXPECT_EQ(player->Mode(), mpStopped);
}

TEST_F(MciPlayerTest, Destruction_ClosesTheOpenDevice) {
  player->Open();
  const uint16_t id = player->DeviceID();
  player.reset();
  ASSERT_FALSE(fake.commands.empty());
  EXPECT_EQ(fake.commands.back().command, kClose);
  EXPECT_EQ(fake.commands.back().device, id);
  EXPECT_EQ(fake.commands.back().flags, kWait);
  EXPECT_TRUE(fake.devices.empty());
}

}  // namespace
