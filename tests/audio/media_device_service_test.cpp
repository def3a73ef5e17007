// The media device service over a stepped output, at a 48 kHz and a 44.1 kHz output:
// modes, positions, notices, seeking, rate conversion, fades, ducking, the limiter, the
// idle output, the wave voice and refusals, with real decoding of files made at test time.
#include "audio/media_device_service_impl.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

#include "audio/decoder.h"
#include "audio/mci_errors.h"
#include "audio/silent_audio_output.h"
#include "audio/stepped_audio_output.h"
#include "notice_sink.h"
#include "sound_files.h"
#include "tone_measures.h"

namespace {

using namespace mci;
using testsound::WaveImage;
using testsound::WriteFile;

int argc = 1;
char arg0[] = "media_device_service_test";
char* argv[] = {arg0, nullptr};

// Sample i of the ramp file: a value that tells its own frame number (modulo 20000).
double Ramp(int64_t i, int) {
  return static_cast<double>(i % 20000 - 10000) / 32767.0;
}
int64_t RampFrame(float left) {
  return std::lround(left * 32768.0) + 10000;
}

// Largest difference between neighbouring samples of one channel.
float LargestStep(const std::vector<float>& s, std::size_t from = 0) {
  float worst = 0;
  for (std::size_t i = from + 2; i < s.size(); ++i)
    worst = std::max(worst, std::fabs(s[i] - s[i - 2]));
  return worst;
}

// Signal to noise and distortion of a tone of `hz` in the left channel of `s`: a sine of
// that frequency is fitted (least squares) and everything else counts as error.
double SinadDb(const std::vector<float>& s, double hz, int rate) {
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  const std::size_t n = s.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = 2 * M_PI * hz * static_cast<double>(i) / rate;
    ss += std::sin(t) * std::sin(t);
    cc += std::cos(t) * std::cos(t);
    sc += std::sin(t) * std::cos(t);
    ys += s[2 * i] * std::sin(t);
    yc += s[2 * i] * std::cos(t);
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det;
  const double b = (yc * ss - ys * sc) / det;
  double signal = 0, error = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = 2 * M_PI * hz * static_cast<double>(i) / rate;
    const double fit = a * std::sin(t) + b * std::cos(t);
    signal += fit * fit;
    error += (s[2 * i] - fit) * (s[2 * i] - fit);
  }
  return 10 * std::log10(signal / error);
}

using testsound::ToneHz;

// The smallest RMS of the left channel over windows of `window` frames from `from` on.
double QuietestWindow(const std::vector<float>& s, std::size_t from, std::size_t to,
                      std::size_t window) {
  double quietest = 1e9;
  for (std::size_t at = from; at + window <= to && 2 * (at + window) <= s.size();
       at += window / 4) {
    double sum = 0;
    for (std::size_t i = at; i < at + window; ++i) sum += s[2 * i] * s[2 * i];
    quietest = std::min(quietest, std::sqrt(sum / static_cast<double>(window)));
  }
  return quietest;
}

class MediaDeviceServiceTest : public ::testing::TestWithParam<int> {
 public:
  static void SetUpTestSuite() {
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  }

  MediaDeviceServiceTest() : kRate(GetParam()) {
    auto out = std::make_unique<SteppedAudioOutput>(kRate, 480);
    output = out.get();
    // Released only in the test of that: a stepped output is never released by surprise.
    service = std::make_unique<MediaDeviceService>(std::move(out), std::chrono::hours(1));
  }

  std::string Path(const std::string& name) const { return dir.path().toStdString() + "/" + name; }

  std::string RampWav(double seconds = 3.0) {
    const std::string p = Path("ramp.wav");
    WriteFile(p, WaveImage(kRate, 1, 16, static_cast<int64_t>(seconds * kRate), Ramp));
    return p;
  }

  std::string ConstWav(const std::string& name, double value, double seconds, int rate = 0,
                       int bits = 16) {
    if (rate == 0) rate = kRate;
    const std::string p = Path(name);
    WriteFile(p, WaveImage(rate, 2, bits, static_cast<int64_t>(seconds * rate),
                           [&](int64_t, int) { return value; }));
    return p;
  }

  std::string ToneWav(const std::string& name, double hz, double seconds, int rate = 0,
                      double amplitude = 0.5) {
    if (rate == 0) rate = kRate;
    const std::string p = Path(name);
    WriteFile(p, WaveImage(rate, 1, 16, static_cast<int64_t>(seconds * rate), [&](int64_t i, int) {
                return amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate);
              }));
    return p;
  }

  // The output frame that a seek to `ms` lands on.
  int64_t FrameOf(uint32_t ms) const { return (static_cast<int64_t>(ms) * kRate + 999) / 1000; }
  std::size_t Fade() const { return static_cast<std::size_t>(std::lround(kRate * 0.005)); }

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

  // Writes `bytes` into `path` as a download does, piece by piece: each call appends up to
  // byte `upTo`.
  static std::function<void(std::size_t upTo)> Arriving(const std::vector<unsigned char>& bytes,
                                                        const std::string& path) {
    auto arrived = std::make_shared<std::size_t>(0);
    return [&bytes, path, arrived](std::size_t upTo) {
      std::ofstream out(path, std::ios::binary | std::ios::app);
      out.write(reinterpret_cast<const char*>(bytes.data() + *arrived),
                static_cast<std::streamsize>(upTo - *arrived));
      *arrived = upTo;
    };
  }

  const int kRate;
  QTemporaryDir dir;
  NoticeSink sink;
  SteppedAudioOutput* output = nullptr;
  std::unique_ptr<MediaDeviceService> service;
};

TEST_P(MediaDeviceServiceTest, PlayToTheEnd_StopsWithOneSuccessfulNotice_DeliveredByTheEventLoop) {
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

TEST_P(MediaDeviceServiceTest, Position_CountsOnlyFramesHandedToTheOutput) {
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

TEST_P(MediaDeviceServiceTest, InterruptingPlayback_AbortsThePendingNotice) {
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

TEST_P(MediaDeviceServiceTest, PlayAfterPlay_TheNewNoticeArrivesAtTheEnd) {
  const uint16_t d = Open(RampWav(0.5));
  Send(d, kPlay, kNotify);
  Run(100);
  Send(d, kPlay, kNotify);
  Run(600);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifyAborted, kNotifySuccessful}));
}

TEST_P(MediaDeviceServiceTest, NotifyingStatusWhilePlaying_SupersedesThePlayNotice) {
  const uint16_t d = Open(RampWav(0.5));
  Send(d, kPlay, kNotify);
  Params p;
  p.callback = &sink;
  p.item = kStatusMode;
  EXPECT_EQ(service->SendCommand(d, kStatus, kWait | kStatusItem | kNotify, p), 0u);
  Run(600);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuperseded, kNotifySuccessful}));
}

TEST_P(MediaDeviceServiceTest, PauseThenPlay_ContinuesAtThePausedFrame) {
  const uint16_t d = Open(RampWav());
  Send(d, kPlay, kNotify);
  Run(250);
  Send(d, kPause, kWait);
  Run(100);  // paused: nothing moves
  EXPECT_EQ(Status(d, kStatusPosition), 250u);
  output->SetCapture(true);
  Send(d, kPlay, kNotify);
  Run(10);
  const std::size_t last = output->Captured().size() / 2 - 1;
  ASSERT_GT(last, Fade());
  // Past the fade-in, the frames are those that follow the paused one.
  EXPECT_EQ(RampFrame(output->Captured()[2 * Fade()]), FrameOf(250) + static_cast<int64_t>(Fade()));
  EXPECT_EQ(RampFrame(output->Captured()[2 * last]), FrameOf(250) + static_cast<int64_t>(last));
  EXPECT_EQ(Status(d, kStatusPosition), 260u);
}

TEST_P(MediaDeviceServiceTest, Seek_LandsOnTheAskedMillisecond) {
  // At 44.1 kHz most milliseconds fall between two frames: the seek rounds up, so that
  // the position reads back as the asked millisecond.
  const uint32_t targets[] = {1234u, 0u, 2989u, 17u, 1u, 3u};
  const uint16_t d = Open(RampWav());
  for (uint32_t ms : targets) {
    SCOPED_TRACE(ms);
    Send(d, kPlay, 0);
    Run(30);
    ASSERT_EQ(Send(d, kSeek, kWait | kTo, ms), 0u);
    EXPECT_EQ(Status(d, kStatusMode), kModeStop);
    EXPECT_EQ(Status(d, kStatusPosition), ms);
    Run(10);  // the cut-off sound fades out
    output->ClearCaptured();
    output->SetCapture(true);
    Send(d, kPlay, 0);
    Run(10);
    output->SetCapture(false);
    ASSERT_GT(output->Captured().size(), 2 * Fade());
    EXPECT_EQ(RampFrame(output->Captured()[2 * Fade()]), (FrameOf(ms) + Fade()) % 20000);
    EXPECT_EQ(Status(d, kStatusPosition), ms + 10);
  }
  EXPECT_EQ(Send(d, kSeek, kWait | kSeekToStart), 0u);
  EXPECT_EQ(Status(d, kStatusPosition), 0u);
}

TEST_P(MediaDeviceServiceTest, Mp3Seek_GivesTheSameSamplesAsPlayingThrough) {
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
  const std::size_t at = static_cast<std::size_t>(FrameOf(1234)) * 2;
  ASSERT_GT(whole.size(), at + part.size());
  float worst = 0;
  for (std::size_t i = 2 * Fade(); i < part.size(); ++i)
    worst = std::max(worst, std::fabs(part[i] - whole[at + i]));
  EXPECT_LT(worst, 1e-3f);
}

struct LengthCase {
  int rate;
  int channels;
  const char* lameArgs;
};

TEST_P(MediaDeviceServiceTest, Mp3Length_IsTheTrueDurationWithinOneFrame) {
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

TEST_P(MediaDeviceServiceTest, TwoDevicesAndTheWaveVoice_AreMixed) {
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
  ASSERT_GT(got.size(), 2 * Fade() + 1);
  // Past b's fade-in; the sum stays under the limiter's ceiling.
  EXPECT_NEAR(got[2 * Fade()], 0.25 + 0.125 + 0.5, 0.02);
  EXPECT_NEAR(got[2 * Fade() + 1], 0.25 + 0.125 + 0.5, 0.02);
  output->ClearCaptured();
  Run(100);  // the click (87 ms) is over
  EXPECT_NEAR(output->Captured().back(), 0.375, 0.02);
}

TEST_P(MediaDeviceServiceTest, WaveVoice_ANewSoundCutsTheOldOneOff_AndGarbageIsRefused) {
  const auto longOne = WaveImage(44100, 2, 16, 44100, [](int64_t, int) { return 0.5; });
  const auto shortOne = WaveImage(11025, 1, 16, 2205, [](int64_t, int) { return -0.25; });
  ASSERT_TRUE(service->PlayWave(longOne.data(), longOne.size()));
  Run(50);
  ASSERT_TRUE(service->PlayWave(shortOne.data(), shortOne.size()));
  output->SetCapture(true);
  Run(50);
  // The old sound fades out under the new one's start; after the fade only the new plays.
  EXPECT_NEAR(output->Captured()[2 * Fade()], -0.25, 0.01);
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

TEST_P(MediaDeviceServiceTest, UnplayableFiles_AreRefusedWithAClearText) {
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

TEST_P(MediaDeviceServiceTest, TruncatedFiles_PlayWhatTheyHold) {
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

TEST_P(MediaDeviceServiceTest, Mp3ThatTurnsIntoOtherData_EndsWithAFailureNotSuccess) {
  const std::string mp3 =
      testsound::MakeMp3(dir.path().toStdString(), "speech", 44100, 1, 2.0, "-b 64");
  const std::vector<unsigned char> sound = testsound::ReadFile(mp3);
  std::mt19937 random(7);
  const auto noise = [&random](std::size_t n) {
    std::vector<unsigned char> bytes(n);
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
    return bytes;
  };
  std::string page;
  for (int i = 0; i < 30; ++i) page += "<html><body>500 Internal Server Error</body></html>\n";
  struct Case {
    const char* name;
    std::size_t keep;  // bytes of the sound
    std::vector<unsigned char> after;
    bool growing;  // played while it arrives
    uint32_t outcome;
  } cases[] = {
      {"the whole sound", sound.size(), {}, false, kNotifySuccessful},
      {"a little junk at its end", sound.size(), noise(300), false, kNotifySuccessful},
      {"an error page after 3840 bytes", 3840, {page.begin(), page.end()}, true, kNotifyFailure},
      {"noise after it", sound.size(), noise(20000), false, kNotifyFailure},
      {"noise after it, arriving", sound.size(), noise(20000), true, kNotifyFailure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> bytes(sound.begin(), sound.begin() + c.keep);
    bytes.insert(bytes.end(), c.after.begin(), c.after.end());
    const std::string path = Path("broken.mp3");
    WriteFile(path, bytes);
    if (c.growing) service->SetGrowing(path, true);
    sink.got.clear();
    const uint16_t d = Open(path);
    Send(d, kPlay, kNotify);
    Run(300);
    if (c.growing) service->SetGrowing(path, false);
    Run(2300);
    EXPECT_EQ(Status(d, kStatusMode), kModeStop);
    EXPECT_EQ(Notices(), (std::vector<uint32_t>{c.outcome}));
    Send(d, kClose, kWait);
  }
}

TEST_P(MediaDeviceServiceTest, BadCommands_AreRefusedAndChangeNothing) {
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

TEST_P(MediaDeviceServiceTest, PlayAtTheEnd_CompletesAtOnce) {
  const uint16_t d = Open(RampWav(1.0));
  ASSERT_EQ(Send(d, kSeek, kWait | kTo, 1000), 0u);
  EXPECT_EQ(Send(d, kPlay, kNotify), 0u);
  EXPECT_EQ(Status(d, kStatusMode), kModeStop);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
}

TEST_P(MediaDeviceServiceTest, DeviceIds_StartAt1_AndAreNotReusedAtOnce) {
  const std::string wav = RampWav(0.1);
  const uint16_t a = Open(wav);
  const uint16_t b = Open(wav);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  Send(a, kClose, kWait);
  EXPECT_EQ(Open(wav), 3);
}

TEST_P(MediaDeviceServiceTest, ConvertedRates_KeepTonesClean_AndLengthsExact) {
  // SINAD above 70 dB (a linear interpolator gives about 30 dB at 6 kHz), through
  // decode, conversion and mix; 16-bit sources limit it near 90 dB.
  const int rates[] = {16000, 22050, 32000, 44100, 48000};
  for (int rate : rates) {
    for (double hz : {200.0, 1000.0, 6000.0}) {
      SCOPED_TRACE(std::to_string(rate) + " Hz file, tone " + std::to_string(hz));
      const uint16_t d = Open(ToneWav("t" + std::to_string(rate) + ".wav", hz, 0.4, rate));
      EXPECT_EQ(Status(d, kStatusLength), 400u);
      Send(d, kPlay, 0);
      Run(100);
      output->ClearCaptured();
      output->SetCapture(true);
      Run(200);
      output->SetCapture(false);
      EXPECT_GT(SinadDb(output->Captured(), hz, kRate), 80.0);
      Send(d, kClose, kWait);
    }
  }
}

struct CutCase {
  const char* name;
  // Runs the cut on a device `d` that plays a tone; `other` is a second tone device.
  std::function<void(MediaDeviceServiceTest&, uint16_t d, uint16_t other)> cut;
};

TEST_P(MediaDeviceServiceTest, EveryCut_Fades_NoStepAboveOneAndAHalfTimesTheTonesOwn) {
  const auto tone = WaveImage(22050, 1, 16, 22050, [](int64_t i, int) {
    return 0.5 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 22050);
  });
  const CutCase cases[] = {
      {"pause", [](auto& t, uint16_t d, uint16_t) { t.Send(d, kPause, kWait); }},
      {"stop", [](auto& t, uint16_t d, uint16_t) { t.Send(d, kStop, kWait); }},
      {"close", [](auto& t, uint16_t d, uint16_t) { t.Send(d, kClose, kWait); }},
      {"seek and play on",
       [](auto& t, uint16_t d, uint16_t) {
         t.Send(d, kSeek, kWait | kTo, 777);
         t.Send(d, kPlay, 0);
       }},
      {"pause, then resume",
       [](auto& t, uint16_t d, uint16_t) {
         t.Send(d, kPause, kWait);
         t.Run(30);
         t.Send(d, kResume, 0);
       }},
      {"a new sound replaces the one playing",
       [](auto& t, uint16_t d, uint16_t other) {
         t.Send(d, kClose, kWait);
         t.Send(other, kPlay, 0);
       }},
      {"a wave sound cut off by the next",
       [&](auto& t, uint16_t, uint16_t) {
         ASSERT_TRUE(t.service->PlayWave(tone.data(), tone.size()));
         t.Run(33);
         ASSERT_TRUE(t.service->PlayWave(tone.data(), tone.size()));
       }},
  };
  const float natural = static_cast<float>(0.5 * 2 * M_PI * 440 / kRate);
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.name);
    const uint16_t d = Open(ToneWav("a.wav", 440, 1.0));
    const uint16_t other = Open(ToneWav("b.wav", 440, 1.0));
    Send(other, kSeek, kWait | kTo, 1);  // another phase
    if (std::string(c.name).find("wave") == std::string::npos) Send(d, kPlay, 0);
    output->ClearCaptured();
    output->SetCapture(true);
    Run(41);  // the cut lands in mid-wave
    c.cut(*this, d, other);
    Run(50);
    output->SetCapture(false);
    EXPECT_LE(LargestStep(output->Captured()), 1.5f * natural);
    Send(d, kClose, kWait);
    Send(other, kClose, kWait);
    Run(10);
  }
}

TEST_P(MediaDeviceServiceTest, KeyNamePlaying_LowersTheOthersBy10dB_AndTheyComeBack) {
  const uint16_t page = Open(ConstWav("page.wav", 0.5, 2.0));
  // A silent key name: what is heard is the page's gain alone.
  const uint16_t key = Open(ConstWav("key.wav", 0.0, 0.2));
  service->SetDucksOthers(key, true);
  Send(page, kPlay, 0);
  Run(50);
  Send(key, kPlay, 0);
  output->SetCapture(true);
  Run(100);
  EXPECT_NEAR(output->Captured().back(), 0.5 * 0.316, 0.01);
  EXPECT_LE(LargestStep(output->Captured()), 0.01f) << "the gain moves along a ramp";
  output->ClearCaptured();
  Run(200);  // the key name has ended
  EXPECT_NEAR(output->Captured().back(), 0.5, 0.001);
  EXPECT_LE(LargestStep(output->Captured()), 0.01f);
}

TEST_P(MediaDeviceServiceTest, LoudSum_IsLimitedSmoothly_NeverClipped) {
  // Two in-phase tones at 0.8 sum to 1.6: a clipper would flatten every crest at 1.
  const uint16_t a = Open(ToneWav("a.wav", 440, 1.0, 0, 0.8));
  const uint16_t b = Open(ToneWav("b.wav", 440, 1.0, 0, 0.8));
  Send(a, kPlay, 0);
  Send(b, kPlay, 0);
  output->SetCapture(true);
  Run(300);
  const std::vector<float>& got = output->Captured();
  float peak = 0;
  std::size_t flat = 0;
  for (std::size_t i = 4; i < got.size(); i += 2) {
    peak = std::max(peak, std::fabs(got[i]));
    // Two equal samples are a crest between them; three are a flattened one.
    if (std::fabs(got[i]) > 0.9f && got[i] == got[i - 2] && got[i] == got[i - 4]) ++flat;
  }
  EXPECT_LE(peak, 0.98f);
  EXPECT_GT(peak, 0.8f);
  EXPECT_EQ(flat, 0u) << "no crest is cut flat";
  EXPECT_LE(LargestStep(got), 1.5f * static_cast<float>(1.6 * 2 * M_PI * 440 / kRate));
}

TEST_P(MediaDeviceServiceTest, IdleOutput_IsSuspended_AndPlayOrAWaveResumesIt) {
  EXPECT_FALSE(service->OutputRunning()) << "nothing plays yet";
  const uint16_t d = Open(RampWav(0.2));
  EXPECT_FALSE(service->OutputRunning());
  Send(d, kPlay, kNotify);
  EXPECT_TRUE(service->OutputRunning());
  EXPECT_FALSE(output->Suspended());
  Run(300);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
  EXPECT_FALSE(service->OutputRunning());
  EXPECT_TRUE(output->Suspended());

  Send(d, kPlay, 0);
  Run(100);
  Send(d, kPause, kWait);
  Run(20);  // the fade
  EXPECT_TRUE(output->Suspended()) << "a paused device leaves the output idle";
  const auto click = WaveImage(22050, 1, 8, 1918, [](int64_t, int) { return 0.5; });
  ASSERT_TRUE(service->PlayWave(click.data(), click.size()));
  EXPECT_FALSE(output->Suspended());
  Run(150);
  EXPECT_TRUE(output->Suspended());
}

TEST_P(MediaDeviceServiceTest, LongIdleOutput_IsReleased_AndTheNextSoundOpensItAgain) {
  auto out = std::make_unique<SteppedAudioOutput>(kRate, 480);
  SteppedAudioOutput& quiet = *out;
  MediaDeviceService idle(std::move(out), std::chrono::milliseconds(50));
  EXPECT_TRUE(quiet.WaitUntilReleased(10000)) << "nothing has played since the start";
  EXPECT_TRUE(idle.OutputReleased());

  Params p;
  p.element = RampWav(0.3);
  ASSERT_EQ(idle.SendCommand(0, kOpen, kWait | kOpenElement, p), 0u);
  const uint16_t d = p.deviceId;
  ASSERT_EQ(idle.SendCommand(d, kPlay, 0, p), 0u);
  // The feeder opens the output again; a test's own top-up does it as well.
  idle.FillBuffers();
  EXPECT_FALSE(idle.OutputReleased());
  EXPECT_FALSE(quiet.Suspended());
  quiet.SetCapture(true);
  for (int i = 0; i < 10; ++i) {
    idle.FillBuffers();
    quiet.Step(480);
    EXPECT_FALSE(quiet.Released()) << "never while a sound plays";
  }
  EXPECT_NE(quiet.Captured().back(), 0.0f) << "the sound is heard";
  // Played to its end, then quiet again for long: released again.
  for (int i = 0; i < 40; ++i) {
    idle.FillBuffers();
    quiet.Step(480);
  }
  EXPECT_TRUE(quiet.Suspended());
  EXPECT_TRUE(quiet.WaitUntilReleased(10000));

  // A wave sound opens it too.
  const auto click = WaveImage(22050, 1, 8, 1918, [](int64_t, int) { return 0.5; });
  ASSERT_TRUE(idle.PlayWave(click.data(), click.size()));
  idle.FillBuffers();
  EXPECT_TRUE(idle.OutputRunning());
  quiet.ClearCaptured();
  quiet.Step(480);
  EXPECT_NEAR(quiet.Captured()[2 * 300], 0.5, 0.02);
}

TEST_P(MediaDeviceServiceTest, GrowingMp3_PlaysAsItArrives_WaitsOnUnderruns_EndsOnlyAtTheRealEnd) {
  // As the server streams speech: 44.1 kHz mono, 64 kbit/s, no tag frame.
  const std::string whole =
      testsound::MakeMp3(dir.path().toStdString(), "whole", 44100, 1, 3.0, "-b 64 -t");
  const std::vector<unsigned char> bytes = testsound::ReadFile(whole);
  const std::string path = Path("bod.mp3");
  const auto arrive = Arriving(bytes, path);
  arrive(3840);
  service->SetGrowing(path, true);
  const uint16_t d = Open(path);
  const uint32_t first = Status(d, kStatusLength);
  EXPECT_GT(first, 300u);
  EXPECT_LT(first, 600u);
  ASSERT_EQ(Send(d, kPlay, kNotify), 0u);
  output->SetCapture(true);
  Run(first + 200);
  // Underrun: still playing, waiting, the position held at what has arrived.
  EXPECT_EQ(Status(d, kStatusMode), kModePlay);
  EXPECT_EQ(Status(d, kStatusStarved), 1u);
  const uint32_t held = Status(d, kStatusPosition);
  EXPECT_NEAR(held, first, 30);
  Run(100);
  EXPECT_EQ(Status(d, kStatusPosition), held);

  // More data: playback goes on, and the length grows.
  arrive(bytes.size() / 2);
  Run(100);
  EXPECT_EQ(Status(d, kStatusStarved), 0u);
  EXPECT_EQ(Status(d, kStatusPosition), held + 100);
  output->SetCapture(false);
  // The wait starts and ends with a fade, not a click (the right channel's 550 Hz tone
  // has the larger natural step).
  EXPECT_LE(LargestStep(output->Captured(), 2 * Fade()),
            static_cast<float>(1.5 * 0.5 * 2 * M_PI * 550 / kRate));
  const uint32_t grown = Status(d, kStatusLength);
  EXPECT_NEAR(grown, 1500, 100);

  // A skip back within what has arrived plays the same frames as the complete file.
  const uint16_t reference = Open(whole);
  for (uint16_t device : {reference, d}) {
    ASSERT_EQ(Send(device, kSeek, kWait | kTo, 700), 0u);
    Send(device, kPlay, kNotify);
  }
  output->ClearCaptured();
  output->SetCapture(true);
  Run(100);
  output->SetCapture(false);
  Send(reference, kStop, kWait);
  Send(reference, kSeek, kWait | kTo, 700);
  Send(d, kStop, kWait);
  Run(20);
  std::vector<float> both = output->Captured();
  output->ClearCaptured();
  output->SetCapture(true);
  Send(reference, kPlay, 0);
  Run(100);
  output->SetCapture(false);
  Send(reference, kStop, kWait);
  Run(20);
  const std::vector<float>& alone = output->Captured();
  float worst = 0;
  for (std::size_t i = 2 * Fade(); i < std::min(both.size(), alone.size()); ++i)
    worst = std::max(worst, std::fabs(both[i] - 2 * alone[i]));
  EXPECT_LT(worst, 2e-3f) << "the growing file's frames after the skip are the complete file's";
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifyAborted, kNotifyAborted, kNotifyAborted}));
  sink.got.clear();

  // A skip past what has arrived lands on its end, and waits there.
  ASSERT_EQ(Send(d, kSeek, kWait | kTo, 2900), 0u);
  EXPECT_EQ(Status(d, kStatusPosition), grown);
  ASSERT_EQ(Send(d, kPlay, kNotify), 0u);
  Run(100);
  EXPECT_EQ(Status(d, kStatusMode), kModePlay);
  EXPECT_EQ(Status(d, kStatusStarved), 1u);

  // All bytes are there, but the file is not yet said complete: no end, no notice.
  arrive(bytes.size());
  Run(2000);
  EXPECT_EQ(Status(d, kStatusMode), kModePlay);
  EXPECT_EQ(Status(d, kStatusStarved), 1u);
  EXPECT_TRUE(Notices().empty());

  service->SetGrowing(path, false);
  EXPECT_EQ(Status(d, kStatusLength), Status(reference, kStatusLength)) << "exact once complete";
  Run(300);
  EXPECT_EQ(Status(d, kStatusMode), kModeStop);
  EXPECT_EQ(Status(d, kStatusPosition), Status(d, kStatusLength));
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
}

TEST_P(MediaDeviceServiceTest, GrowingMp3_ClosedWhileWaiting_EndsCleanly) {
  const std::string whole =
      testsound::MakeMp3(dir.path().toStdString(), "whole", 44100, 1, 1.0, "-b 64 -t");
  auto bytes = testsound::ReadFile(whole);
  bytes.resize(3840);
  const std::string path = Path("bod.mp3");
  WriteFile(path, bytes);
  service->SetGrowing(path, true);
  const uint16_t d = Open(path);
  Send(d, kPlay, kNotify);
  Run(800);
  EXPECT_EQ(Status(d, kStatusStarved), 1u);
  EXPECT_EQ(Send(d, kClose, kWait), 0u);
  Run(50);
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifyAborted}));
  EXPECT_FALSE(service->OutputRunning());
  service->SetGrowing(path, false);
  // What did not decode as MP3 at first is refused, growing or not.
  WriteFile(Path("noise.mp3"), std::vector<unsigned char>(3840, 0x55));
  service->SetGrowing(Path("noise.mp3"), true);
  Params p;
  p.element = Path("noise.mp3");
  EXPECT_EQ(service->SendCommand(0, kOpen, kWait | kOpenElement, p), kErrInvalidFile);
}

TEST_P(MediaDeviceServiceTest, GrowingMp3_ItsLengthFollowsWhatArrivesAlsoWhilePaused) {
  const std::string whole =
      testsound::MakeMp3(dir.path().toStdString(), "whole", 44100, 1, 4.0, "-b 64 -t");
  const std::vector<unsigned char> bytes = testsound::ReadFile(whole);
  const std::string path = Path("bod.mp3");
  WriteFile(path, std::vector<unsigned char>(bytes.begin(), bytes.begin() + bytes.size() / 4));
  service->SetGrowing(path, true);
  const uint16_t d = Open(path);
  Send(d, kPlay, kNotify);
  Run(100);
  Send(d, kPause, kWait);
  const uint32_t before = Status(d, kStatusLength);
  WriteFile(path, bytes);  // the rest arrives while the device decodes nothing
  EXPECT_NEAR(Status(d, kStatusLength), 4 * before, 100) << "nothing played in between";
  Send(d, kClose, kWait);
}

TEST_P(MediaDeviceServiceTest, GrowingMp3_SaidGrowingAfterItsOpen_WaitsToo) {
  const std::string whole =
      testsound::MakeMp3(dir.path().toStdString(), "whole", 44100, 1, 1.0, "-b 64 -t");
  const std::vector<unsigned char> bytes = testsound::ReadFile(whole);
  const std::string path = Path("bod.mp3");
  WriteFile(path, std::vector<unsigned char>(bytes.begin(), bytes.begin() + 3840));
  const uint16_t d = Open(path);
  service->SetGrowing(path, true);
  Send(d, kPlay, kNotify);
  Run(800);
  EXPECT_EQ(Status(d, kStatusMode), kModePlay);
  EXPECT_EQ(Status(d, kStatusStarved), 1u);
  WriteFile(path, bytes);
  service->SetGrowing(path, false);
  Run(1000);
  EXPECT_EQ(Status(d, kStatusMode), kModeStop);
  EXPECT_EQ(Status(d, kStatusLength), Status(Open(whole), kStatusLength));
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
}

TEST_P(MediaDeviceServiceTest, Speed_PlaysTheSoundInLengthOverSpeed_AtItsOwnPitch_AndUntouchedAt1) {
  // As the server's speech comes: 44.1 kHz mono MP3. The tone is 440 Hz at 0.5.
  const std::string mp3 =
      testsound::MakeMp3(dir.path().toStdString(), "tone", 44100, 1, 2.0, "-b 128");
  uint32_t error = 0;
  std::vector<float> own;  // the decoder's own frames at the output rate
  {
    auto decoder = OpenDecoder(mp3, kRate, error);
    ASSERT_TRUE(decoder);
    own.resize(static_cast<std::size_t>(decoder->LengthFrames()) * 2);
    own.resize(2 * decoder->Read(own.data(), own.size() / 2));
  }
  for (int quarters = 2; quarters <= 16; ++quarters) {
    const double speed = quarters / 4.0;
    SCOPED_TRACE(speed);
    const uint16_t d = Open(mp3);
    service->SetSpeed(d, speed);
    const uint32_t length = Status(d, kStatusLength);
    EXPECT_NEAR(length, 2000, 30) << "the length is the sound's own";
    output->ClearCaptured();
    output->SetCapture(true);
    ASSERT_EQ(Send(d, kPlay, kNotify), 0u);
    std::size_t played = 0;
    while (Status(d, kStatusMode) == kModePlay && played < 6u * kRate) {
      Run(10);
      played += static_cast<std::size_t>(kRate) / 100;
    }
    output->SetCapture(false);
    EXPECT_EQ(Status(d, kStatusPosition), length);
    EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
    sink.got.clear();
    const std::vector<float>& got = output->Captured();
    // The sound's frames end where the last non-silent sample is.
    std::size_t heard = got.size() / 2;
    while (heard > 0 && got[2 * (heard - 1)] == 0.0f) --heard;
    EXPECT_NEAR(static_cast<double>(heard) / kRate, length / 1000.0 / speed,
                0.01 * length / 1000.0 / speed + 0.005);
    // The pitch kept within 0.5 % (resampling instead of stretching would move it by the
    // speed itself).
    EXPECT_NEAR(ToneHz(got, kRate, heard / 4, heard * 3 / 4), 440.0, 440.0 * 0.005);
    if (speed == 1.0) {
      // Untouched: past the fade-in, the decoder's own frames, bit for bit.
      ASSERT_GE(got.size(), own.size());
      EXPECT_TRUE(std::equal(own.begin() + 2 * static_cast<long>(Fade()), own.end(),
                             got.begin() + 2 * static_cast<long>(Fade())));
    }
    Send(d, kClose, kWait);
  }
}

TEST_P(MediaDeviceServiceTest, SpeedChangedWhilePlaying_NoGapAndNoStepLargerThanTheTonesOwn) {
  const std::string mp3 =
      testsound::MakeMp3(dir.path().toStdString(), "tone", 44100, 1, 6.0, "-b 128");
  const uint16_t d = Open(mp3);
  Send(d, kPlay, 0);
  Run(300);
  output->SetCapture(true);
  // Each change lands in mid-wave, at its own time; up, down, and back to 1.
  const double speeds[] = {2.0, 3.0, 4.0, 0.5, 1.25, 1.0, 2.5};
  uint32_t position = Status(d, kStatusPosition);
  for (double speed : speeds) {
    SCOPED_TRACE(speed);
    Run(7);
    service->SetSpeed(d, speed);
    Run(250);
    const uint32_t now = Status(d, kStatusPosition);
    EXPECT_GT(now, position) << "the position goes on";
    position = now;
  }
  output->SetCapture(false);
  const std::vector<float>& got = output->Captured();
  const float natural = static_cast<float>(0.5 * 2 * M_PI * 440 / kRate);
  EXPECT_LE(LargestStep(got), 1.1f * natural);
  // A 440 Hz tone at 0.5 has an RMS of 0.354: over every 5 ms it stays near that.
  EXPECT_GT(QuietestWindow(got, 0, got.size() / 2, static_cast<std::size_t>(kRate) / 200), 0.3);
  EXPECT_EQ(Status(d, kStatusMode), kModePlay);
}

TEST_P(MediaDeviceServiceTest, At2x_PositionsAndSeeksAreTheSoundsOwnMilliseconds) {
  const std::string mp3 =
      testsound::MakeMp3(dir.path().toStdString(), "tone", 44100, 1, 10.0, "-b 64");
  const uint16_t d = Open(mp3);
  service->SetSpeed(d, 2.0);
  const uint32_t length = Status(d, kStatusLength);
  Send(d, kPlay, kNotify);
  Run(1000);
  EXPECT_NEAR(Status(d, kStatusPosition), 2000, 40) << "a second of playing is two of the sound";
  // A skip as the reader makes it: pause, position, seek 20 s on (here 5), play.
  Send(d, kPause, kWait);
  const uint32_t at = Status(d, kStatusPosition);
  Run(100);
  EXPECT_EQ(Status(d, kStatusPosition), at) << "paused: nothing moves";
  ASSERT_EQ(Send(d, kSeek, kWait | kTo, at + 5000), 0u);
  EXPECT_EQ(Status(d, kStatusPosition), at + 5000) << "a seek lands on the asked millisecond";
  Send(d, kPlay, kNotify);
  Run(500);
  EXPECT_NEAR(Status(d, kStatusPosition), at + 6000, 40);
  // Back 20 s from there lands on 0, as the reader's skip does.
  ASSERT_EQ(Send(d, kSeek, kWait | kTo, 0), 0u);
  Send(d, kPlay, kNotify);
  Run(250);
  EXPECT_NEAR(Status(d, kStatusPosition), 500, 40);
  // To the end: half the sound's own time, then the end, with its notice.
  Run(static_cast<int>((length - 500) / 2) + 100);
  EXPECT_EQ(Status(d, kStatusMode), kModeStop);
  EXPECT_EQ(Status(d, kStatusPosition), length);
  // The pause and the seek to 0 each cut off a play.
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifyAborted, kNotifyAborted, kNotifySuccessful}));
}

TEST_P(MediaDeviceServiceTest, GrowingMp3At3x_StarvesWaitsAndResumes_EndsOnlyAtTheRealEnd) {
  const std::string whole =
      testsound::MakeMp3(dir.path().toStdString(), "whole", 44100, 1, 6.0, "-b 64 -t");
  const std::vector<unsigned char> bytes = testsound::ReadFile(whole);
  const std::string path = Path("bod.mp3");
  const auto arrive = Arriving(bytes, path);
  arrive(bytes.size() / 4);
  service->SetGrowing(path, true);
  const uint16_t d = Open(path);
  service->SetSpeed(d, 3.0);
  ASSERT_EQ(Send(d, kPlay, kNotify), 0u);
  output->SetCapture(true);
  // A quarter of the sound, 1.5 s, is played in about half a second.
  Run(800);
  EXPECT_EQ(Status(d, kStatusMode), kModePlay);
  EXPECT_EQ(Status(d, kStatusStarved), 1u);
  const uint32_t held = Status(d, kStatusPosition);
  EXPECT_NEAR(held, 1500, 100);
  Run(500);
  EXPECT_EQ(Status(d, kStatusPosition), held) << "waiting, not ending";
  EXPECT_TRUE(Notices().empty());

  arrive(bytes.size());
  Run(300);
  EXPECT_EQ(Status(d, kStatusStarved), 0u);
  EXPECT_NEAR(Status(d, kStatusPosition), held + 900, 100) << "on again, at 3x";
  service->SetGrowing(path, false);
  Run(2000);
  output->SetCapture(false);
  EXPECT_EQ(Status(d, kStatusMode), kModeStop);
  EXPECT_EQ(Status(d, kStatusPosition), Status(d, kStatusLength));
  EXPECT_EQ(Notices(), (std::vector<uint32_t>{kNotifySuccessful}));
  // The wait starts and ends with a fade, and the sound holds no click.
  EXPECT_LE(LargestStep(output->Captured()),
            static_cast<float>(1.5 * 0.5 * 2 * M_PI * 440 / kRate));
}

INSTANTIATE_TEST_SUITE_P(OutputRates, MediaDeviceServiceTest, ::testing::Values(48000, 44100),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "At" + std::to_string(info.param);
                         });

// The silent output, telling the test each time it has rendered a block.
class ObservedSilentOutput : public AudioOutput, public AudioSource {
 public:
  int SampleRate() const override { return inner_.SampleRate(); }
  std::size_t PeriodFrames() const override { return inner_.PeriodFrames(); }
  std::string Name() const override { return inner_.Name(); }
  void Start(AudioSource& source) override {
    source_ = &source;
    inner_.Start(*this);
  }
  void Stop() override { inner_.Stop(); }
  void Suspend() override { inner_.Suspend(); }
  void Resume() override { inner_.Resume(); }
  void Render(float* out, std::size_t frames) noexcept override {
    source_->Render(out, frames);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++blocks_;
    }
    rendered_.notify_all();
  }
  // Waits until a block has been rendered after `seen` blocks; returns the count, which is
  // still `seen` when none came within `ms`.
  uint64_t WaitForBlockAfter(uint64_t seen, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    rendered_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return blocks_ > seen; });
    return blocks_;
  }

 private:
  SilentAudioOutput inner_;
  AudioSource* source_ = nullptr;
  std::mutex mutex_;
  std::condition_variable rendered_;
  uint64_t blocks_ = 0;
};

TEST(SilentOutputTest, EndOfPlayback_ModeIsStoppedBeforeTheEventLoopRuns_ThenOneNotice) {
  // The output and the feeder run on their own threads, as in the program: the reader
  // may read the mode at the end of a sound before its notice has been handled.
  if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  QTemporaryDir dir;
  const std::string wav = dir.path().toStdString() + "/short.wav";
  WriteFile(wav, WaveImage(22050, 1, 16, 22050 / 5, Ramp));
  auto observed = std::make_unique<ObservedSilentOutput>();
  ObservedSilentOutput& output = *observed;
  MediaDeviceService service(std::move(observed));
  NoticeSink sink;
  Params p;
  p.element = wav;
  ASSERT_EQ(service.SendCommand(0, kOpen, kWait | kOpenElement, p), 0u);
  const uint16_t d = p.deviceId;
  p.callback = &sink;
  ASSERT_EQ(service.SendCommand(d, kPlay, kNotify, p), 0u);
  // The mode is read again after every block the output renders.
  p.item = kStatusMode;
  uint64_t blocks = 0;
  for (;;) {
    ASSERT_EQ(service.SendCommand(d, kStatus, kWait | kStatusItem, p), 0u);
    if (p.returnValue != kModePlay) break;
    const uint64_t next = output.WaitForBlockAfter(blocks, 10000);
    ASSERT_GT(next, blocks) << "the output stopped rendering while the sound played";
    blocks = next;
  }
  EXPECT_EQ(p.returnValue, kModeStop);
  EXPECT_TRUE(sink.got.empty());
  p.item = kStatusPosition;
  service.SendCommand(d, kStatus, kWait | kStatusItem, p);
  EXPECT_EQ(p.returnValue, 200u);
  QDeadlineTimer deadline(10000);
  while (sink.got.empty() && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  QCoreApplication::processEvents();
  EXPECT_EQ(sink.Outcomes(), (std::vector<uint32_t>{kNotifySuccessful}));
}

}  // namespace
