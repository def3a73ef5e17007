// Key-echo latency and decode cost of the audio subsystem. Prints figures; asserts
// nothing.
//
// Key echo: from Open+Play of a key-name MP3 on a closed player to the first non-silent
// sample handed to the output, over 200 runs, beside the output's buffer period (the
// floor: a sound can start no sooner than the next block). Every run starts from an idle
// program, whose output the service has suspended. The output is the one the
// program would use (SDL2's default device, or the silent fallback); SDL_AUDIODRIVER
// picks another driver.
//
// Decode cost: CPU seconds spent decoding one minute of MP3 speech at the output rate.
#include <time.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/decoder.h"
#include "audio/mci_player.h"
#include "audio/media_device_service_impl.h"
#include "speech_sample.h"

namespace {

using Clock = std::chrono::steady_clock;

// Passes the mixer's blocks through to the real output and notes when the first
// non-silent sample goes by after it is armed.
class ProbeOutput : public AudioOutput, public AudioSource {
 public:
  explicit ProbeOutput(std::unique_ptr<AudioOutput> inner) : inner_(std::move(inner)) {}
  int SampleRate() const override { return inner_->SampleRate(); }
  std::size_t PeriodFrames() const override { return inner_->PeriodFrames(); }
  std::string Name() const override { return inner_->Name(); }
  void Start(AudioSource& source) override {
    source_ = &source;
    inner_->Start(*this);
  }
  void Stop() override { inner_->Stop(); }
  void Suspend() override {
    suspended_.store(true);
    inner_->Suspend();
  }
  void Resume() override {
    suspended_.store(false);
    inner_->Resume();
  }
  bool Suspended() const { return suspended_.load(); }

  void Render(float* out, std::size_t frames) noexcept override {
    source_->Render(out, frames);
    if (!armed_.load(std::memory_order_acquire)) return;
    for (std::size_t i = 0; i < frames * 2; ++i) {
      if (std::fabs(out[i]) > 1e-4f) {
        const auto offset = std::chrono::nanoseconds(
            static_cast<int64_t>(1e9 * static_cast<double>(i / 2) / SampleRate()));
        heard_.store((Clock::now() + offset).time_since_epoch().count(), std::memory_order_release);
        armed_.store(false, std::memory_order_release);
        return;
      }
    }
  }
  void Arm() {
    heard_.store(0);
    armed_.store(true, std::memory_order_release);
  }
  // Clock ticks of the first sound since Arm, 0 while none.
  int64_t Heard() const { return heard_.load(std::memory_order_acquire); }

 private:
  std::unique_ptr<AudioOutput> inner_;
  AudioSource* source_ = nullptr;
  std::atomic<bool> armed_{false};
  std::atomic<bool> suspended_{false};
  std::atomic<int64_t> heard_{0};
};

bool Run(const std::string& cmd) {
  return std::system(cmd.c_str()) == 0;
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

void KeyEcho(const std::string& dir) {
  // A key name: 0.4 s, 44.1 kHz mono, 64 kbit/s, sound from the first sample.
  const std::string wav = dir + "/vk_3.wav";
  const std::string mp3 = dir + "/vk_3.mp3";
  if (!Run("sox -q -n -r 44100 -c 1 -b 16 '" + wav + "' synth 0.4 sine 660 vol 0.5") ||
      !Run("lame --quiet -b 64 '" + wav + "' '" + mp3 + "'")) {
    std::printf("key echo: could not make the test sound (sox, lame)\n");
    return;
  }
  auto probeOwned = std::make_unique<ProbeOutput>(OpenDefaultOutput());
  ProbeOutput* probe = probeOwned.get();
  MediaDeviceService service(std::move(probeOwned));
  TMciPlayer klahvilugeja(service);
  const double periodMs = 1000.0 * static_cast<double>(probe->PeriodFrames()) / probe->SampleRate();

  std::mt19937 random(7);
  std::vector<double> ms;
  int missed = 0;
  int notSuspended = 0;
  for (int run = 0; run < 200; ++run) {
    klahvilugeja.Close();
    const auto quiet = Clock::now() + std::chrono::seconds(1);
    while (!probe->Suspended() && Clock::now() < quiet)
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    if (!probe->Suspended()) ++notSuspended;
    // A random gap puts each key press at a different phase of the output's period.
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 20000));
    klahvilugeja.FileName = mp3;
    probe->Arm();
    const auto start = Clock::now();
    klahvilugeja.Open();
    klahvilugeja.Play();
    const auto deadline = start + std::chrono::seconds(2);
    while (probe->Heard() == 0 && Clock::now() < deadline) {
      QCoreApplication::processEvents();
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    if (probe->Heard() == 0) {
      ++missed;
      continue;
    }
    const Clock::time_point heard{Clock::duration(probe->Heard())};
    ms.push_back(std::chrono::duration<double, std::milli>(heard - start).count());
  }
  klahvilugeja.Close();
  if (ms.empty()) {
    std::printf("key echo: no sound reached the output\n");
    return;
  }
  std::printf("key echo on output \"%s\", %d Hz, %zu frames a period\n", probe->Name().c_str(),
              probe->SampleRate(), probe->PeriodFrames());
  std::printf("  runs %zu (missed %d), each from a suspended output (not suspended: %d)\n",
              ms.size(), missed, notSuspended);
  std::printf("  p50 %.2f ms   p95 %.2f ms   max %.2f ms\n", Percentile(ms, 0.5),
              Percentile(ms, 0.95), Percentile(ms, 1.0));
  std::printf("  buffer period (floor) %.2f ms   target p95 <= %.2f ms\n", periodMs,
              2 * periodMs + 2);
}

void DecodeCost(const std::string& dir) {
  const std::string mp3 = benchaudio::MakeSpeechMp3(dir, false);
  const std::string wav = dir + "/speech.wav";
  if (mp3.empty()) {
    std::printf("decode cost: could not make the speech (espeak-ng, lame)\n");
    return;
  }
  const int rate = 48000;
  std::vector<float> block(4096 * 2);
  for (const std::string& path : {mp3, wav}) {
    uint32_t error = 0;
    const double t0 = ThreadCpuSeconds();
    auto decoder = OpenDecoder(path, rate, error);
    const double opened = ThreadCpuSeconds();
    if (!decoder) {
      std::printf("decode cost: %s refused (%u)\n", path.c_str(), error);
      return;
    }
    int64_t frames = 0;
    while (std::size_t n = decoder->Read(block.data(), 4096)) frames += static_cast<int64_t>(n);
    const double t1 = ThreadCpuSeconds();
    const double minutes = static_cast<double>(frames) / rate / 60.0;
    std::printf("decode %s (%.1f s of speech) to %d Hz stereo float:\n",
                path.substr(path.size() - 3).c_str(), minutes * 60, rate);
    std::printf("  %.4f CPU s per minute of speech (open and scan %.2f ms)\n", (t1 - t0) / minutes,
                1000 * (opened - t0));
  }
  std::printf("  reference: real time is 60 CPU s per minute on one core\n");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTemporaryDir dir;
  KeyEcho(dir.path().toStdString());
  DecodeCost(dir.path().toStdString());
  return 0;
}
