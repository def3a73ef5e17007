// The real output: an MP3 played through SDL2's disk driver lands in the captured file as
// sound; an audio driver that does not exist leaves the reader working silently, said once.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audio/mci_player.h"
#include "audio/media_device_service_impl.h"
#include "sound_files.h"

namespace {

int argc = 1;
char arg0[] = "sdl_output_test";
char* argv[] = {arg0, nullptr};

class SdlOutputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  }
  void TearDown() override { setenv("SDL_AUDIODRIVER", "dummy", 1); }
  QTemporaryDir dir;
};

TEST_F(SdlOutputTest, Mp3ThroughTheDiskDriver_LeavesSoundInTheCapturedFile) {
  const std::string capture = dir.path().toStdString() + "/out.raw";
  setenv("SDL_AUDIODRIVER", "disk", 1);
  setenv("SDL_DISKAUDIOFILE", capture.c_str(), 1);
  const std::string mp3 =
      testsound::MakeMp3(dir.path().toStdString(), "tone", 44100, 1, 0.5, "-b 64");
  {
    auto output = OpenDefaultOutput();
    ASSERT_EQ(output->Name(), "SDL disk");
    MediaDeviceService service(std::move(output));
    TMciPlayer player(service);
    int notices = 0;
    player.OnNotify = [&](TMciPlayer&) { ++notices; };
    player.FileName = mp3;
    player.Open();
    player.Play();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (notices == 0 && std::chrono::steady_clock::now() < deadline)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_EQ(player.NotifyValue(), nvSuccessful);
  }
  const auto bytes = testsound::ReadFile(capture);
  const std::size_t samples = bytes.size() / sizeof(float);
  ASSERT_GT(samples, 44100u);  // at least half a second of stereo
  double energy = 0;
  for (std::size_t i = 0; i < samples; ++i) {
    float s;
    std::memcpy(&s, bytes.data() + i * sizeof(float), sizeof s);
    energy += static_cast<double>(s) * s;
  }
  // The tone is at half scale: RMS about 0.35 while it plays.
  EXPECT_GT(std::sqrt(energy / samples), 0.1);
}

TEST_F(SdlOutputTest, ReleasedWhenIdle_TheNextSoundOpensTheDeviceAgainAndPlaysToItsEnd) {
  const std::string mp3 =
      testsound::MakeMp3(dir.path().toStdString(), "tone", 44100, 1, 0.2, "-b 64");
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  MediaDeviceService service(OpenDefaultOutput(), std::chrono::milliseconds(50));
  ASSERT_EQ(service.Output().Name(), "SDL dummy");
  TMciPlayer player(service);
  int notices = 0;
  player.OnNotify = [&](TMciPlayer&) { ++notices; };
  player.FileName = mp3;
  player.Open();
  for (int round = 1; round <= 2; ++round) {
    QDeadlineTimer released(20000);
    while (!service.OutputReleased() && !released.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(service.OutputReleased()) << round;
    player.Play();
    QDeadlineTimer ended(20000);
    while (notices < round && !ended.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(notices, round);
    EXPECT_EQ(player.Mode(), mpStopped);
    EXPECT_EQ(player.Position(), player.Length());
  }
}

TEST_F(SdlOutputTest, NoAudioDevice_FallsBackToSilentOutput_AndSaysSoOnce) {
  setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
  testing::internal::CaptureStderr();
  auto output = OpenDefaultOutput();
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(output->Name(), "silent");
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_NE(said.find("without sound"), std::string::npos) << said;
}

}  // namespace
