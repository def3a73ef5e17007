// Key echo and idle wake-ups through a real sound server, shared by key_echo_bench and
// clean_sound_bench. Prints figures; asserts nothing.
//
// Key echo: from Open+Play of a key-name MP3 on a closed player to the first non-silent
// sample handed to the output, p50/p95/max, beside the output's buffer period (the floor:
// a sound can start no sooner than the next block):
//  - from an open output: each key press comes a few milliseconds after the service has
//    suspended the output (as when keys follow each other);
//  - from a closed output: each key press comes after the service has released the output
//    for being idle, so the device is opened again first.
// Idle: wake-ups per second of every thread of this process with the output suspended,
// with it released, and while a sound plays (the reference).
//
// The sound server is the benchmark's own PulseAudio with a null sink; without the
// pulseaudio package, the output the program would use (SDL_AUDIODRIVER picks another).
#pragma once

#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/mci_player.h"
#include "audio/media_device_service_impl.h"
#include "private_sound_server.h"
#include "thread_wakeups.h"

namespace benchaudio {

using Clock = std::chrono::steady_clock;

// An output between the mixer and a real one: it hands every block on, and a benchmark
// looks at the blocks in its Render.
class PassThroughOutput : public AudioOutput, public AudioSource {
 public:
  explicit PassThroughOutput(std::unique_ptr<AudioOutput> inner) : inner_(std::move(inner)) {}
  int SampleRate() const override { return inner_->SampleRate(); }
  std::size_t PeriodFrames() const override { return inner_->PeriodFrames(); }
  std::string Name() const override { return inner_->Name(); }
  void Start(AudioSource& source) override {
    source_ = &source;
    inner_->Start(*this);
  }
  void Stop() override { inner_->Stop(); }
  void Suspend() override { inner_->Suspend(); }
  void Resume() override { inner_->Resume(); }
  void Release() override { inner_->Release(); }

 protected:
  std::unique_ptr<AudioOutput> inner_;
  AudioSource* source_ = nullptr;
};

// Passes the mixer's blocks through to the real output and notes when the first
// non-silent sample goes by after it is armed.
class ProbeOutput : public PassThroughOutput {
 public:
  using PassThroughOutput::PassThroughOutput;
  void Suspend() override {
    suspended_.store(true);
    inner_->Suspend();
  }
  void Resume() override {
    inner_->Resume();
    suspended_.store(false);
    released_.store(false);
  }
  void Release() override {
    inner_->Release();
    released_.store(true);
  }
  bool Suspended() const { return suspended_.load(); }
  bool Released() const { return released_.load(); }

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
  std::atomic<bool> armed_{false};
  std::atomic<bool> suspended_{false};
  std::atomic<bool> released_{false};
  std::atomic<int64_t> heard_{0};
};

inline double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

inline bool WaitUntil(const std::function<bool()>& done, double seconds) {
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}

// Key echo over `runs` presses, each from a suspended (`released` false) or a released
// output, which the service releases after `releaseAfter` of quiet.
inline void KeyEcho(const std::string& mp3, bool released, int runs,
                    std::chrono::milliseconds releaseAfter, const char* label) {
  auto probeOwned = std::make_unique<ProbeOutput>(OpenDefaultOutput());
  ProbeOutput* probe = probeOwned.get();
  MediaDeviceService service(std::move(probeOwned), releaseAfter);
  TMciPlayer klahvilugeja(service);
  const double periodMs = 1000.0 * static_cast<double>(probe->PeriodFrames()) / probe->SampleRate();
  const double waitSeconds = std::chrono::duration<double>(releaseAfter).count() + 3;
  // One sound first, unmeasured: a fresh stream on the server settles before the runs.
  klahvilugeja.FileName = mp3;
  klahvilugeja.Open();
  klahvilugeja.Play();
  WaitUntil([&] { return klahvilugeja.Mode() != mpPlaying; }, 5);
  std::mt19937 random(7);
  std::vector<double> ms;
  int missed = 0;
  int notIdle = 0;
  for (int run = 0; run < runs; ++run) {
    klahvilugeja.Close();
    const bool idle =
        WaitUntil([&] { return released ? probe->Released() : probe->Suspended(); }, waitSeconds);
    if (!idle) ++notIdle;
    // A random gap puts each key press at a different phase of the output's period.
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 20000));
    klahvilugeja.FileName = mp3;
    probe->Arm();
    const auto start = Clock::now();
    klahvilugeja.Open();
    klahvilugeja.Play();
    const auto deadline = start + std::chrono::seconds(3);
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
  std::printf("  %-44s ", label);
  if (ms.empty()) {
    std::printf("no sound reached the output\n");
    return;
  }
  std::printf("p50 %6.2f  p95 %7.2f  max %7.2f ms  (%zu runs, missed %d, not idle %d)",
              Percentile(ms, 0.5), Percentile(ms, 0.95), Percentile(ms, 1.0), ms.size(), missed,
              notIdle);
  std::printf("  target p95 <= %.2f ms\n", released ? 50.0 : 2 * periodMs + 2);
}

// Wake-ups per second of each thread name (a thread that ends and comes back, as SDL's
// does with the device, keeps its name), leaving out the thread that measures.
inline std::map<std::string, double> ByName(const Rates& r) {
  std::map<std::string, double> out;
  const int me = static_cast<int>(gettid());
  for (const auto& [tid, rate] : r.wakeups)
    if (tid != me) out[r.names.at(tid)] += rate;
  return out;
}

inline void IdleWakeups(const std::string& tone) {
  auto probeOwned = std::make_unique<ProbeOutput>(OpenDefaultOutput());
  ProbeOutput* probe = probeOwned.get();
  MediaDeviceService service(std::move(probeOwned));
  TMciPlayer player(service);
  player.FileName = tone;
  player.Open();
  player.Play();
  WaitUntil([&] { return player.Mode() != mpPlaying; }, 10);
  QCoreApplication::processEvents();
  WaitUntil([&] { return probe->Suspended(); }, 2);
  const auto suspended = ByName(MeasureRates("self", 2.0));
  const bool releasedInTime = WaitUntil([&] { return probe->Released(); }, 5);
  const auto released = ByName(MeasureRates("self", 3.0));
  player.Play();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto playing = ByName(MeasureRates("self", 2.0));
  player.Close();
  std::printf(
      "wake-ups per second of each thread of this process: idle in the first %.0f s after a\n"
      "sound (output open) / idle after that (output released%s) / while a sound plays:\n",
      std::chrono::duration<double>(MediaDeviceService::kReleaseAfter).count(),
      releasedInTime ? "" : ", NOT in time");
  std::map<std::string, bool> names;
  for (const auto* m : {&suspended, &released, &playing})
    for (const auto& [name, rate] : *m) names[name] = true;
  double sums[3] = {};
  for (const auto& [name, unused] : names) {
    const auto rate = [&name](const std::map<std::string, double>& m) {
      auto it = m.find(name);
      return it == m.end() ? 0.0 : it->second;
    };
    std::printf("  thread %-16s %7.1f / %7.1f / %7.1f\n", name.c_str(), rate(suspended),
                rate(released), rate(playing));
    sums[0] += rate(suspended);
    sums[1] += rate(released);
    sums[2] += rate(playing);
  }
  std::printf("  all of them             %7.1f / %7.1f / %7.1f\n", sums[0], sums[1], sums[2]);
}

// The section both benchmarks print.
inline void KeyEchoAndIdle(const std::string& dir) {
  const std::string wav = dir + "/vk_3.wav";
  const std::string mp3 = dir + "/vk_3.mp3";
  const std::string toneWav = dir + "/tone2s.wav";
  const std::string tone = dir + "/tone2s.mp3";
  // A key name: 0.4 s, 44.1 kHz mono, 64 kbit/s, sound from the first sample.
  const auto run = [](const std::string& cmd) { return std::system(cmd.c_str()) == 0; };
  if (!run("sox -q -n -r 44100 -c 1 -b 16 '" + wav + "' synth 0.4 sine 660 vol 0.5") ||
      !run("lame --quiet -b 64 '" + wav + "' '" + mp3 + "'") ||
      !run("sox -q -n -r 44100 -c 1 -b 16 '" + toneWav + "' synth 1.0 sine 440 vol 0.5") ||
      !run("lame --quiet -b 64 '" + toneWav + "' '" + tone + "'")) {
    std::printf("key echo: could not make the test sounds (sox, lame)\n");
    return;
  }
  {
    // A server whose sink runs as a sound card does.
    const std::string serverDir = dir + "/sound-server";
    ::mkdir(serverDir.c_str(), 0700);
    PrivateSoundServer server(serverDir, true);
    if (server.Ok()) {
      server.UseInThisProcess();
    } else {
      std::printf("(no private sound server: pulseaudio did not start; the default output)\n");
    }
    {
      auto output = OpenDefaultOutput();
      std::printf(
          "key echo, from the key press to the first sample handed to the output \"%s\",\n"
          "%d Hz, %zu frames a period (%.2f ms, the floor); PulseAudio's null sink kept running:\n",
          output->Name().c_str(), output->SampleRate(), output->PeriodFrames(),
          1000.0 * static_cast<double>(output->PeriodFrames()) / output->SampleRate());
    }
    KeyEcho(mp3, false, 200, MediaDeviceService::kReleaseAfter,
            "from an open output (keys in a row)");
    // The output is released after 100 ms here, not the program's 3 s, so that the runs
    // do not each wait that long; what is measured is the same.
    KeyEcho(mp3, true, 100, std::chrono::milliseconds(100), "from a closed output (after a pause)");
    IdleWakeups(tone);
  }
  const std::string idleDir = dir + "/sound-server-idle";
  ::mkdir(idleDir.c_str(), 0700);
  PrivateSoundServer idleServer(idleDir, false);
  if (!idleServer.Ok()) return;
  idleServer.UseInThisProcess();
  std::printf("the same with the null sink left to sleep while idle (up to 2 s; no card does):\n");
  KeyEcho(mp3, true, 30, MediaDeviceService::kReleaseAfter, "from a closed output, sink asleep");
}

}  // namespace benchaudio
