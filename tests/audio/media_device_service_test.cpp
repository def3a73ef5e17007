// The media device service over a stepped output: modes, positions, notices, seeking,
// mixing, the wave voice and refusals, with real decoding of files made at test time.
#include "audio/media_device_service_impl.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>

#include "audio/mci_errors.h"
#include "audio/silent_audio_output.h"
#include "audio/stepped_audio_output.h"
#include "notice_sink.h"
#include "sound_files.h"

namespace {

using namespace mci;
using testsound::WaveImage;
using testsound::WriteFile;

int argc = 1;
char arg0[] = "media_device_service_test";
char* argv[] = {arg0, nullptr};

constexpr int kRate = 48000;

// Sample i of the ramp file: a value that tells its own frame number (modulo 20000).
double Ramp(int64_t i, int) {
  return static_cast<double>(i % 20000 - 10000) / 32767.0;
}
int64_t RampFrame(float left) {
  return std::lround(left * 32768.0) + 10000;
}

class MediaDeviceServiceTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  }

  MediaDeviceServiceTest() {
    auto out = std::make_unique<SteppedAudioOutput>(kRate, 480);
    output = out.get();
    service = std::make_unique<MediaDeviceService>(std::move(out));
  }

  std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }

  std::string RampWav(double seconds = 3.0) {
    const std::string p = Path("ramp.wav");
    WriteFile(p, WaveImage(kRate, 1, 16, static_cast<int64_t>(seconds * kRate), Ramp));
    return p;
  }

  std::string ConstWav(const std::string& name, double value, double seconds, int rate = kRate,
                       int bits = 16) {
    const std::string p = Path(name);
    WriteFile(p, WaveImage(rate, 2, bits, static_cast<int64_t>(seconds * rate),
                           [&](int64_t, int) { return value; }));
    return p;
  }

  // Renders `ms` of sound, topping up the buffers before every period as the feeder would.
  void Run(int ms) {
    std::size_t frames = static_cast<std::size_t>(ms) * kRate / 1000;
    while (frames > 0) {
      service->FillBuffers();
      const std::size_t n = std::min<std::size_t>(frames, output->PeriodFrames());
      output->Step(n);
      frames -= n;
    }
    service->FillBuffers();
  }

  uint16_t Open(const std::string& path, uint32_t flags = kWait) {
    Params p;
    p.element = path;
    p.callback = &sink;
    const uint32_t r = service->SendCommand(0, kOpen, flags | kOpenElement, p);
    EXPECT_EQ(r, 0u) << path;
    EXPECT_NE(p.deviceId, 0);
    return p.deviceId;
  }
  uint32_t Send(uint16_t device, uint32_t command, uint32_t flags, uint32_t to = 0) {
    Params p;
    p.callback = &sink;
    p.to = to;
    return service->SendCommand(device, command, flags, p);
  }
  uint32_t Status(uint16_t device, uint32_t item) {
    Params p;
    p.item = item;
    EXPECT_EQ(service->SendCommand(device, kStatus, kWait | kStatusItem, p), 0u);
    return p.returnValue;
  }
  std::vector<uint32_t> Notices() {
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    return sink.Outcomes();
  }

  QTemporaryDir dir;
  NoticeSink sink;
  SteppedAudioOutput* output = nullptr;
  std::unique_ptr<MediaDeviceService> service;
};

TEST_F(MediaDeviceServiceTest, PlayToTheEnd_StopsWithOneSuccessfulNotice_DeliveredByTheEventLoop) {
  const std::string mp3 =
      testsound::MakeMp3(dir.path().toStdString(), "tone", 44100, 1, 0.5, "-b 64");
  const uint16_t d = Open(mp3);
  EXPECT_EQ(Send(d, kPlay, kNotify), 0u);
  EXPECT_EQ(Status(d, kStatusMode), kModePlay);
  Run(700);
  EXPECT_EQ(Status(d, kStatusMode), kModeStop);
  EXPECT_EQ(Status(d, kStatusPosition), Status(d, kStatusLength));
  EXPECT_TRUE(sink.got.empty()) << "a notice must wait for the event loop";
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
  EXPECT_EQ(sink.got[0].device, d);
  Run(200);
  EXPECT_EQ(Notices().size(), 1u);
}

TEST_F(MediaDeviceServiceTest, Position_CountsOnlyFramesHandedToTheOutput) {
  const uint16_t d = Open(RampWav());
  Send(d, kPlay, 0);
  service->FillBuffers();
  EXPECT_EQ(Status(d, kStatusPosition), 0u);
  Run(100);
  EXPECT_EQ(Status(d, kStatusPosition), 100u);
}

struct InterruptCase {
  const char* name;
  uint32_t command;
  uint32_t flags;
  std::vector<uint32_t> notices;
  uint32_t modeAfter;
};

TEST_F(MediaDeviceServiceTest, InterruptingPlayback_AbortsThePendingNotice) {
  const InterruptCase cases[] = {
      {"stop", kStop, kWait, {kNotifyAborted}, kModeStop},
      {"stop with notify", kStop, kWait | kNotify, {kNotifyAborted, kNotifySuccessful}, kModeStop},
      {"pause", kPause, kWait, {kNotifyAborted}, kModePause},
      {"pause with notify",
       kPause,
       kWait | kNotify,
       {kNotifyAborted, kNotifySuccessful},
       kModePause},
      {"seek", kSeek, kWait | kTo, {kNotifyAborted}, kModeStop},
      {"seek with notify",
       kSeek,
       kWait | kTo | kNotify,
       {kNotifyAborted, kNotifySuccessful},
       kModeStop},
      {"close", kClose, kWait, {kNotifyAborted}, 0},
      {"close with notify", kClose, kWait | kNotify, {kNotifyAborted, kNotifySuccessful}, 0},
      {"play again", kPlay, 0, {kNotifyAborted}, kModePlay},
      {"play again with notify", kPlay, kNotify, {kNotifyAborted}, kModePlay},
      {"resume with notify", kResume, kNotify, {kNotifySuperseded}, kModePlay},
      {"resume without notify", kResume, 0, {}, kModePlay},
  };
  const std::string wav = RampWav(1.0);
  for (const InterruptCase& c : cases) {
    SCOPED_TRACE(c.name);
    sink.got.clear();
    const uint16_t d = Open(wav);
    Send(d, kPlay, kNotify);
    Run(100);
    EXPECT_EQ(Send(d, c.command, c.flags, 50), 0u);
    EXPECT_EQ(Notices(), c.notices);
    if (c.modeAfter != 0) {
      EXPECT_EQ(Status(d, kStatusMode), c.modeAfter);
      // Whatever is still pending ends with the playback, once.
      Run(1000);
      Send(d, kClose, kWait);
    }
    const std::size_t settled = Notices().size();
    Run(100);
    EXPECT_EQ(Notices().size(), settled);
  }
}

TEST_F(MediaDeviceServiceTest, PlayAfterPlay_TheNewNoticeArrivesAtTheEnd) {
  const uint16_t d = Open(RampWav(0.5));
  Send(d, kPlay, kNotify);
  Run(100);
  Send(d, kPlay, kNotify);
  Run(600);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifyAborted, kNotifySuccessful}));
}

TEST_F(MediaDeviceServiceTest, NotifyingStatusWhilePlaying_SupersedesThePlayNotice) {
  const uint16_t d = Open(RampWav(0.5));
  Send(d, kPlay, kNotify);
  Params p;
  p.callback = &sink;
  p.item = kStatusMode;
  EXPECT_EQ(service->SendCommand(d, kStatus, kWait | kStatusItem | kNotify, p), 0u);
  Run(600);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuperseded, kNotifySuccessful}));
}

TEST_F(MediaDeviceServiceTest, PauseThenPlay_ContinuesAtThePausedFrame) {
  const uint16_t d = Open(RampWav());
  Send(d, kPlay, kNotify);
  Run(250);
  Send(d, kPause, kWait);
  Run(100);  // paused: nothing moves
  EXPECT_EQ(Status(d, kStatusPosition), 250u);
  output->SetCapture(true);
  Send(d, kPlay, kNotify);
  Run(10);
  ASSERT_FALSE(output->Captured().empty());
  EXPECT_EQ(RampFrame(output->Captured()[0]), 250 * 48);
  EXPECT_EQ(RampFrame(output->Captured()[2 * 479]), 250 * 48 + 479);
  EXPECT_EQ(Status(d, kStatusPosition), 260u);
}

TEST_F(MediaDeviceServiceTest, Seek_LandsOnTheAskedMillisecond) {
  const uint16_t d = Open(RampWav());
  for (uint32_t ms : {1234u, 0u, 2999u, 17u}) {
    SCOPED_TRACE(ms);
    Send(d, kPlay, 0);
    Run(30);
    ASSERT_EQ(Send(d, kSeek, kWait | kTo, ms), 0u);
    EXPECT_EQ(Status(d, kStatusMode), kModeStop);
    EXPECT_EQ(Status(d, kStatusPosition), ms);
    output->ClearCaptured();
    output->SetCapture(true);
    Send(d, kPlay, 0);
    Run(1);
    output->SetCapture(false);
    ASSERT_FALSE(output->Captured().empty());
    EXPECT_EQ(RampFrame(output->Captured()[0]), (ms * 48) % 20000);
  }
  EXPECT_EQ(Send(d, kSeek, kWait | kSeekToStart), 0u);
  EXPECT_EQ(Status(d, kStatusPosition), 0u);
}

TEST_F(MediaDeviceServiceTest, Mp3Seek_GivesTheSameSamplesAsPlayingThrough) {
  const std::string mp3 = testsound::MakeMp3(dir.path().toStdString(), "s", 44100, 2, 2.0, "-b 96");
  const uint16_t d = Open(mp3);
  output->SetCapture(true);
  Send(d, kPlay, 0);
  Run(2100);
  const std::vector<float> whole = output->Captured();
  output->ClearCaptured();
  ASSERT_EQ(Send(d, kSeek, kWait | kTo, 1234), 0u);
  EXPECT_EQ(Status(d, kStatusPosition), 1234u);
  Send(d, kPlay, 0);
  Run(200);
  const std::vector<float>& part = output->Captured();
  const std::size_t at = 1234 * 48 * 2;
  ASSERT_GT(whole.size(), at + part.size());
  float worst = 0;
  for (std::size_t i = 0; i < part.size(); ++i)
    worst = std::max(worst, std::fabs(part[i] - whole[at + i]));
  EXPECT_LT(worst, 1e-3f);
}

struct LengthCase {
  int rate;
  int channels;
  const char* lameArgs;
};

TEST_F(MediaDeviceServiceTest, Mp3Length_IsTheTrueDurationWithinOneFrame) {
  const LengthCase cases[] = {{11025, 1, "-b 32"},
                              {22050, 1, "-V 5"},
                              {24000, 2, "-b 64 --add-id3v2 --tt Title --ta Artist"},
                              {44100, 1, "-b 64"},
                              {44100, 2, "-V 2 --add-id3v2 --tt Pealkiri"},
                              {48000, 2, "-b 128 --id3v1-only --tt Title"}};
  for (const LengthCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate) + " " + c.lameArgs);
    const std::string mp3 = testsound::MakeMp3(
        dir.path().toStdString(), "len" + std::to_string(c.rate) + std::to_string(c.channels),
        c.rate, c.channels, 1.234, c.lameArgs);
    const uint16_t d = Open(mp3);
    const double frameMs = (c.rate >= 32000 ? 1152.0 : 576.0) * 1000 / c.rate;
    EXPECT_NEAR(Status(d, kStatusLength), 1234.0, frameMs);
    Params p;
    p.item = kStatusLength;
    p.track = 1;
    EXPECT_EQ(service->SendCommand(d, kStatus, kWait | kStatusItem | kTrack, p), 0u);
    EXPECT_EQ(p.returnValue, Status(d, kStatusLength));
    Send(d, kClose, kWait);
  }
}

TEST_F(MediaDeviceServiceTest, TwoDevicesAndTheWaveVoice_AreMixed) {
  const uint16_t a = Open(ConstWav("a.wav", 0.25, 1.0));
  const uint16_t b = Open(ConstWav("b.wav", 0.125, 1.0, 22050, 8));
  // The program's click format: 8-bit mono 22050 Hz.
  const auto click = WaveImage(22050, 1, 8, 1918, [](int64_t, int) { return 0.5; });
  Send(a, kPlay, 0);
  Run(100);
  Send(b, kPlay, 0);
  ASSERT_TRUE(service->PlayWave(click.data(), click.size()));
  output->SetCapture(true);
  Run(20);
  const auto& got = output->Captured();
  ASSERT_FALSE(got.empty());
  EXPECT_NEAR(got[100], 0.25 + 0.125 + 0.5, 0.02);
  EXPECT_NEAR(got[101], 0.25 + 0.125 + 0.5, 0.02);
  output->ClearCaptured();
  Run(100);  // the click (87 ms) is over
  EXPECT_NEAR(output->Captured().back(), 0.375, 0.02);
}

TEST_F(MediaDeviceServiceTest, WaveVoice_ANewSoundCutsTheOldOneOff_AndGarbageIsRefused) {
  const auto longOne = WaveImage(44100, 2, 16, 44100, [](int64_t, int) { return 0.5; });
  const auto shortOne = WaveImage(11025, 1, 16, 2205, [](int64_t, int) { return -0.25; });
  ASSERT_TRUE(service->PlayWave(longOne.data(), longOne.size()));
  Run(50);
  ASSERT_TRUE(service->PlayWave(shortOne.data(), shortOne.size()));
  output->SetCapture(true);
  Run(50);
  EXPECT_NEAR(output->Captured()[10], -0.25, 0.01);
  output->ClearCaptured();
  Run(300);
  EXPECT_EQ(output->Captured().back(), 0.0f) << "the cut-off sound must not come back";

  const std::string garbage = "RIFF....WAVEnot a wave at all";
  EXPECT_FALSE(service->PlayWave(garbage.data(), garbage.size()));
  EXPECT_FALSE(service->PlayWave(nullptr, 0));
}

struct RefusalCase {
  const char* name;
  std::function<std::string(MediaDeviceServiceTest&)> make;
  uint32_t error;
};

TEST_F(MediaDeviceServiceTest, UnplayableFiles_AreRefusedWithAClearText) {
  const auto write = [](MediaDeviceServiceTest& t, const std::string& name,
                        const std::string& bytes) {
    const std::string p = t.Path(name);
    WriteFile(p, std::vector<unsigned char>(bytes.begin(), bytes.end()));
    return p;
  };
  std::string noise(20000, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<char>((i * 7919 + i / 13) & 0x7f);
  const RefusalCase cases[] = {
      {"missing", [](MediaDeviceServiceTest& t) { return t.Path("nowhere.mp3"); },
       kErrFileNotFound},
      {"empty wav", [&](MediaDeviceServiceTest& t) { return write(t, "vaikus.wav", ""); },
       kErrInvalidFile},
      {"empty mp3", [&](MediaDeviceServiceTest& t) { return write(t, "e.mp3", ""); },
       kErrInvalidFile},
      {"text as mp3", [&](MediaDeviceServiceTest& t) { return write(t, "t.mp3", noise); },
       kErrInvalidFile},
      {"text as wav", [&](MediaDeviceServiceTest& t) { return write(t, "t.wav", noise); },
       kErrInvalidFile},
      {"wav cut inside its header",
       [&](MediaDeviceServiceTest& t) {
         auto img = WaveImage(8000, 1, 16, 100, Ramp);
         return write(t, "cut.wav", std::string(img.begin(), img.begin() + 30));
       },
       kErrInvalidFile},
      {"24-bit wav",
       [&](MediaDeviceServiceTest& t) {
         auto img = WaveImage(8000, 1, 16, 100, Ramp);
         img[34] = 24;
         return write(t, "w24.wav", std::string(img.begin(), img.end()));
       },
       kErrInvalidFile},
      {"unknown extension", [&](MediaDeviceServiceTest& t) { return write(t, "x.ogg", noise); },
       kErrExtensionNotFound},
      {"no extension", [&](MediaDeviceServiceTest& t) { return write(t, "bod", noise); },
       kErrExtensionNotFound},
      {"folder",
       [](MediaDeviceServiceTest& t) {
         const std::string p = t.Path("dir.mp3");
         QDir().mkdir(QString::fromStdString(p));
         return p;
       },
       kErrInvalidFile},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.name);
    Params p;
    p.element = c.make(*this);
    p.callback = &sink;
    EXPECT_EQ(service->SendCommand(0, kOpen, kWait | kNotify | kOpenElement, p), c.error);
    EXPECT_EQ(p.deviceId, 0);
    std::string text;
    EXPECT_TRUE(service->GetErrorString(c.error, text));
    EXPECT_GT(text.size(), 10u);
  }
  EXPECT_TRUE(Notices().empty()) << "a refused open posts no notice";
  std::string text = "unchanged";
  EXPECT_FALSE(service->GetErrorString(12345, text));
  EXPECT_EQ(text, "unchanged");
}

TEST_F(MediaDeviceServiceTest, TruncatedFiles_PlayWhatTheyHold) {
  const std::string mp3 =
      testsound::MakeMp3(dir.path().toStdString(), "full", 44100, 1, 2.0, "-b 64");
  auto bytes = testsound::ReadFile(mp3);
  bytes.resize(bytes.size() / 2 + 77);
  WriteFile(Path("half.mp3"), bytes);
  const uint16_t m = Open(Path("half.mp3"));
  EXPECT_NEAR(Status(m, kStatusLength), 1000, 100);

  auto wav = WaveImage(kRate, 1, 16, kRate, Ramp);
  wav.resize(44 + kRate);  // half the data
  WriteFile(Path("half.wav"), wav);
  const uint16_t w = Open(Path("half.wav"));
  EXPECT_EQ(Status(w, kStatusLength), 500u);
  Send(w, kPlay, kNotify);
  Run(600);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
}

TEST_F(MediaDeviceServiceTest, BadCommands_AreRefusedAndChangeNothing) {
  const uint16_t d = Open(RampWav(1.0));
  Send(d, kPlay, kNotify);
  Params p;
  p.timeFormat = 3;
  EXPECT_EQ(service->SendCommand(d, kSet, kSetTimeFormat, p), kErrBadTimeFormat);
  p.timeFormat = kFormatMilliseconds;
  EXPECT_EQ(service->SendCommand(d, kSet, kSetTimeFormat, p), 0u);
  EXPECT_EQ(service->SendCommand(0, kSet, kSetTimeFormat, p), kErrInvalidDeviceId);
  EXPECT_EQ(service->SendCommand(0, kStatus, kWait | kStatusItem, p), kErrInvalidDeviceId);
  EXPECT_EQ(service->SendCommand(d + 1, kPlay, 0, p), kErrInvalidDeviceId);
  EXPECT_EQ(Send(d, kSeek, kWait | kTo, 1001), kErrOutOfRange);
  EXPECT_EQ(Send(d, kSeek, kWait), kErrMissingParameter);
  EXPECT_EQ(Send(d, kSeek, kWait | kTo | kSeekToStart), kErrFlagsNotCompatible);
  EXPECT_EQ(Send(d, 0x0999, kWait), kErrUnrecognizedCommand);
  EXPECT_EQ(Status(d, kStatusMode), kModePlay);
  EXPECT_TRUE(Notices().empty());
  Run(1100);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
}

TEST_F(MediaDeviceServiceTest, PlayAtTheEnd_CompletesAtOnce) {
  const uint16_t d = Open(RampWav(1.0));
  ASSERT_EQ(Send(d, kSeek, kWait | kTo, 1000), 0u);
  EXPECT_EQ(Send(d, kPlay, kNotify), 0u);
  EXPECT_EQ(Status(d, kStatusMode), kModeStop);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
}

TEST_F(MediaDeviceServiceTest, DeviceIds_StartAt1_AndAreNotReusedAtOnce) {
  const std::string wav = RampWav(0.1);
  const uint16_t a = Open(wav);
  const uint16_t b = Open(wav);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  Send(a, kClose, kWait);
  EXPECT_EQ(Open(wav), 3);
}

TEST(SilentOutputTest, PlaybackAdvancesInRealTime_AndTheEndNoticeComesThroughTheEventLoop) {
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  QTemporaryDir dir;
  const std::string wav = dir.path().toStdString() + "/short.wav";
  WriteFile(wav, WaveImage(22050, 1, 16, 22050 / 5, Ramp));
  MediaDeviceService service(std::make_unique<SilentAudioOutput>());
  NoticeSink sink;
  Params p;
  p.element = wav;
  ASSERT_EQ(service.SendCommand(0, kOpen, kWait | kOpenElement, p), 0u);
  const uint16_t d = p.deviceId;
  p.callback = &sink;
  ASSERT_EQ(service.SendCommand(d, kPlay, kNotify, p), 0u);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sink.got.empty() && std::chrono::steady_clock::now() < deadline)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_EQ(sink.Outcomes(), (std::vector<uint32_t>{kNotifySuccessful}));
  p.item = kStatusMode;
  service.SendCommand(d, kStatus, kWait | kStatusItem, p);
  EXPECT_EQ(p.returnValue, kModeStop);
}

}  // namespace
