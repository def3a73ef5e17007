// The listening speed, measured. Prints figures, each beside a reference or its target;
// asserts nothing.
//
// At 0.5, 1, 1.5, 2, 3 and 4 times, through the media device service (decode, libsonic,
// rate conversion, mix, at a 48 kHz output):
//  - a 0.5-amplitude 440 Hz tone, a 44.1 kHz MP3: the output's length over the sound's
//    length divided by the speed (target 1.00 +- 0.01), its pitch (target within 0.5 %),
//    and its SINAD about a sine of the measured pitch, each beside `sox tempo -s` of the
//    same native decode (then sox's own `rate -h` to 48 kHz) in the same run (target: no
//    worse than sox);
//  - real speech from the development server (a minute of its Estonian speech at speech
//    rate 2): the length ratio, and the CPU seconds per minute of speech, the least of
//    five runs (target at 3: at most twice the figure at 1).
// Then, in real time through the benchmark's own sound server: the CPU of the whole process
// per minute of the speech at 1 and at 3; from the call that changes the speed of a playing
// sound to the first frame at the new speed handed to the output, p50/p95 over 40 changes
// (target p95 <= 100 ms); and the idle wake-ups per thread, which the speed does not touch.
//
// Needs lame, sox, pulseaudio and the development server.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/decoder.h"
#include "key_echo_and_idle.h"
#include "sample_prose.h"
#include "server_process.h"
#include "sound_measures.h"
#include "tone_measures.h"

namespace {

using namespace benchaudio;

constexpr double kSpeeds[] = {0.5, 1, 1.5, 2, 3, 4};

using testsound::ToneHz;

// Frames up to the last non-silent one.
std::size_t Heard(const std::vector<float>& s) {
  std::size_t n = s.size() / 2;
  while (n > 0 && std::fabs(s[2 * (n - 1)]) < 1e-6f) --n;
  return n;
}

std::vector<float> ReadF32(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::vector<float> out(bytes.size() / sizeof(float));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
  return out;
}

struct Played {
  std::vector<float> sound;  // stereo at kOut
  double soundSeconds = 0;   // the file's own length
  double cpuSeconds = 0;     // of this thread: everything the service does
};

// Plays `path` to its end at `speed` through a service over a stepped output.
Played PlayAt(const std::string& path, double speed, bool capture) {
  Played p;
  const double t0 = ThreadCpu();
  Rig rig;
  rig.output->SetCapture(capture);
  const uint16_t d = rig.Open(path);
  rig.service->SetSpeed(d, speed);
  mci::Params q;
  q.item = mci::kStatusLength;
  rig.service->SendCommand(d, mci::kStatus, mci::kWait | mci::kStatusItem, q);
  p.soundSeconds = q.returnValue / 1000.0;
  rig.Send(d, mci::kPlay, 0);
  q.item = mci::kStatusMode;
  do {
    rig.Step(50);
    rig.service->SendCommand(d, mci::kStatus, mci::kWait | mci::kStatusItem, q);
  } while (q.returnValue == mci::kModePlay);
  p.cpuSeconds = ThreadCpu() - t0;
  p.sound = rig.output->Captured();
  return p;
}

// The native decode of `mp3` (44.1 kHz) through `sox tempo -s`, then sox's rate -h to kOut.
std::vector<float> SoxTempo(const std::string& mp3, double speed, const std::string& dir) {
  uint32_t error = 0;
  auto dec = OpenDecoder(mp3, 44100, error);
  if (!dec) return {};
  std::vector<float> pcm(static_cast<std::size_t>(dec->LengthFrames()) * 2);
  pcm.resize(2 * dec->Read(pcm.data(), pcm.size() / 2));
  const std::string raw = dir + "/native.f32";
  const std::string out = dir + "/tempo.f32";
  {
    std::ofstream f(raw, std::ios::binary);
    f.write(reinterpret_cast<const char*>(pcm.data()),
            static_cast<std::streamsize>(pcm.size() * sizeof(float)));
  }
  char tempo[32];
  std::snprintf(tempo, sizeof tempo, "%g", speed);
  const std::string effect = speed == 1 ? "" : std::string(" tempo -s ") + tempo;
  if (!Run("sox -q -t f32 -r 44100 -c 2 '" + raw + "' -t f32 '" + out + "'" + effect + " rate -h " +
           std::to_string(kOut)))
    return {};
  return ReadF32(out);
}

struct ToneFigures {
  double ratio = 0;
  double pitchError = 0;  // relative
  double sinad = 0;
};

ToneFigures ToneFiguresOf(const std::vector<float>& s, double soundSeconds, double speed) {
  ToneFigures f;
  const std::size_t n = Heard(s);
  f.ratio = (static_cast<double>(n) / kOut) / (soundSeconds / speed);
  const double hz = ToneHz(s, kOut, n / 4, n * 3 / 4);
  f.pitchError = hz / 440.0 - 1;
  f.sinad = Sinad(s, hz, kOut, n / 4, n / 2);
  return f;
}

void ToneTable(const std::string& dir) {
  const std::string mp3 = ToneMp3(dir, 44100, 440, 6.0);
  std::printf(
      "a 0.5-amplitude 440 Hz tone, 44.1 kHz MP3 (6 s), played to its end; ours / sox tempo -s:\n");
  std::printf(
      "| speed | length ratio (1.00 +- 0.01) | pitch (within 0.5 %%) | SINAD dB (>= sox) |\n");
  std::printf("|---|---|---|---|\n");
  for (double speed : kSpeeds) {
    const Played ours = PlayAt(mp3, speed, true);
    const ToneFigures a = ToneFiguresOf(ours.sound, ours.soundSeconds, speed);
    const ToneFigures b = ToneFiguresOf(SoxTempo(mp3, speed, dir), ours.soundSeconds, speed);
    std::printf("| %.1f | %.4f / %.4f | %+.2f %% / %+.2f %% | %.1f / %.1f |\n", speed, a.ratio,
                b.ratio, 100 * a.pitchError, 100 * b.pitchError, a.sinad, b.sinad);
  }
}

// A minute of the development server's speech, fetched as the reader fetches a page.
std::string ServerSpeech(const std::string& dir) {
  const std::string pages = dir + "/pages";
  Run("mkdir -p '" + pages + "'");
  std::ofstream(pages + "/0.txt") << "0 Mõõtmine\n1\tTekst\n";
  std::ofstream(pages + "/01.txt") << SampleProse(TR_SERVER_SAMPLE_PAGES, 170);
  ServerProcess server(TR_SERVER_EXECUTABLE, {"--pages", pages, "--cache", dir + "/speech"});
  if (server.port() == 0) return "";
  const HttpAnswer a = server.get("/cgi-bin/tx.cgi?s=2&v=0&q=01&ID=1&w=1",
                                  {basicLine("wqwqw", "wqwqw"), vorbuLine("wqwqw")}, 120000);
  if (!a.ok || a.body.size() < 3840) return "";
  const std::string path = dir + "/server_speech.mp3";
  std::ofstream(path, std::ios::binary) << a.body;
  return path;
}

std::string SpeechTable(const std::string& dir) {
  const std::string mp3 = ServerSpeech(dir);
  if (mp3.empty()) {
    std::printf("speech: the development server gave none\n");
    return mp3;
  }
  std::printf("\nthe development server's speech, played to its end:\n");
  std::printf("| speed | length ratio (1.00 +- 0.01) | CPU s per minute of speech |\n");
  std::printf("|---|---|---|\n");
  // The least of five runs of each speed, taken in turns: another program on the machine
  // only ever adds.
  std::vector<double> least(std::size(kSpeeds), 1e9);
  for (int round = 0; round < 5; ++round)
    for (std::size_t i = 0; i < std::size(kSpeeds); ++i)
      least[i] = std::min(least[i], PlayAt(mp3, kSpeeds[i], false).cpuSeconds);
  double atOne = 0, atThree = 0, seconds = 0;
  for (std::size_t i = 0; i < std::size(kSpeeds); ++i) {
    const double speed = kSpeeds[i];
    const Played p = PlayAt(mp3, speed, true);
    // Speech has pauses: its end is the end of what was rendered before the stop.
    const double ratio = (static_cast<double>(Heard(p.sound)) / kOut) / (p.soundSeconds / speed);
    const double cpu = least[i] / (p.soundSeconds / 60);
    seconds = p.soundSeconds;
    if (speed == 1) atOne = cpu;
    if (speed == 3) atThree = cpu;
    std::printf("| %.1f | %.4f | %.3f |\n", speed, ratio, cpu);
  }
  std::printf(
      "(%.1f s of speech; the service's work alone, over a stepped output: CPU at 3 is %.2f\n"
      "times that at 1, target at most 2)\n",
      seconds, atThree / atOne);
  return mp3;
}

// CPU seconds of this whole process (every thread: the service's feeder, SDL's and the
// sound server connection's) per minute of speech, while `seconds` of the sound at
// `path` play at `speed` in real time through the output the program would use.
double ProcessCpuPerMinute(const std::string& path, double speed, double seconds) {
  MediaDeviceService service(OpenDefaultOutput());
  TMciPlayer player(service);
  player.FileName = path;
  player.Open();
  player.SetSpeed(speed);
  player.Play();
  const Rates r = MeasureRates("self", seconds / speed);
  player.Close();
  return r.cpuPercent / 100 * (seconds / speed) / (seconds / 60);
}

void ProcessCpu(const std::string& mp3) {
  // The first stream of a fresh sound server settles unevenly; this one is not measured.
  ProcessCpuPerMinute(mp3, 1, 2);
  const double one = ProcessCpuPerMinute(mp3, 1, 30);
  const double three = ProcessCpuPerMinute(mp3, 3, 30);
  std::printf(
      "the whole process in real time, through the sound server, 30 s of the speech: CPU s\n"
      "per minute of speech at 1: %.3f, at 3: %.3f (%.2f times; target at most 2)\n",
      one, three, three / one);
}

// Keeps every block handed to the real output with the time it was handed over.
class RecordingOutput : public benchaudio::PassThroughOutput {
 public:
  explicit RecordingOutput(std::unique_ptr<AudioOutput> inner)
      : PassThroughOutput(std::move(inner)) {
    frames_.reserve(static_cast<std::size_t>(SampleRate()) * 2 * 120);
  }
  void Render(float* out, std::size_t frames) noexcept override {
    source_->Render(out, frames);
    std::lock_guard<std::mutex> lock(mutex_);
    if (frames_.size() + 2 * frames > frames_.capacity()) return;
    blocks_.push_back({frames_.size() / 2, Clock::now()});
    frames_.insert(frames_.end(), out, out + 2 * frames);
  }
  // The frames recorded, and for each block its first frame and when it was handed over.
  struct Block {
    std::size_t first;
    Clock::time_point at;
  };
  void Take(std::vector<float>& frames, std::vector<Block>& blocks) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames = frames_;
    blocks = blocks_;
  }

 private:
  std::mutex mutex_;
  std::vector<float> frames_;
  std::vector<Block> blocks_;
};

// From SetSpeed to the first frame at the new speed handed to the output. The sound is a
// slow ramp, whose value tells the place in the sound it comes from (libsonic splices
// pitch periods of the ramp, which leaves the value within one period of the place). The
// frame where the place starts to move at the new pace is found by fitting two lines,
// the old speed's up to it and the new one's after it.
void ChangeHeard(const std::string& dir) {
  const int fileRate = 44100;
  const double span = 8.0;  // seconds of the ramp from -0.9 to 0.9
  {
    std::vector<float> ramp(static_cast<std::size_t>(span * fileRate));
    for (std::size_t i = 0; i < ramp.size(); ++i)
      ramp[i] = static_cast<float>(-0.9 +
                                   1.8 * static_cast<double>(i) / static_cast<double>(ramp.size()));
    WriteWav(dir + "/ramp.wav", fileRate, ramp);
  }
  auto owned = std::make_unique<RecordingOutput>(OpenDefaultOutput());
  RecordingOutput* recording = owned.get();
  MediaDeviceService service(std::move(owned));
  TMciPlayer player(service);
  player.FileName = dir + "/ramp.wav";
  player.Open();
  const int rate = recording->SampleRate();
  // A fresh stream on the sound server settles first (PulseAudio serves its first second or
  // two unevenly); nothing of it is measured.
  player.Play();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  player.Stop();
  const auto placeOf = [&](float v) { return (v + 0.9) / 1.8 * span; };  // seconds of sound
  std::mt19937 random(11);
  const double pairs[][2] = {{1, 2}, {2, 3},   {3, 1.5},   {1.5, 4},
                             {4, 1}, {1, 0.5}, {0.5, 2.5}, {2.5, 1}};
  std::vector<double> ms;
  for (int run = 0; run < 40; ++run) {
    const double from = pairs[run % 8][0];
    const double to = pairs[run % 8][1];
    player.SetSpeed(from);
    player.SetPosition(1000);
    player.Play();
    std::this_thread::sleep_for(std::chrono::milliseconds(250 + random() % 40));
    const auto called = Clock::now();
    player.SetSpeed(to);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    player.Stop();
    QCoreApplication::processEvents();
    std::vector<float> frames;
    std::vector<RecordingOutput::Block> blocks;
    recording->Take(frames, blocks);
    // The frames around the call: 150 ms before it to 200 ms after.
    const auto timeOf = [&](std::size_t frame) {
      auto it = std::upper_bound(
          blocks.begin(), blocks.end(), frame,
          [](std::size_t f, const RecordingOutput::Block& b) { return f < b.first; });
      --it;
      return it->at + std::chrono::nanoseconds(static_cast<int64_t>(
                          1e9 * static_cast<double>(frame - it->first) / rate));
    };
    std::size_t lo = 0, hi = frames.size() / 2;
    while (lo < hi && timeOf(lo) < called - std::chrono::milliseconds(150)) ++lo;
    std::size_t end = lo;
    while (end < hi && timeOf(end) < called + std::chrono::milliseconds(200)) ++end;
    double best = 1e300;
    std::size_t knee = lo;
    const int step = rate / 2000;  // every half millisecond
    for (std::size_t k = lo + 1; k + 1 < end; k += static_cast<std::size_t>(step)) {
      // Least squares with one free offset: place(i) = c + speed(i) * (i - k) / rate.
      double sum = 0;
      for (std::size_t i = lo; i < end; ++i) {
        const double pace = i < k ? from : to;
        sum += placeOf(frames[2 * i]) -
               pace * (static_cast<double>(i) - static_cast<double>(k)) / rate;
      }
      const double c = sum / static_cast<double>(end - lo);
      double err = 0;
      for (std::size_t i = lo; i < end; ++i) {
        const double pace = i < k ? from : to;
        const double r = placeOf(frames[2 * i]) - c -
                         pace * (static_cast<double>(i) - static_cast<double>(k)) / rate;
        err += r * r;
      }
      if (err < best) {
        best = err;
        knee = k;
      }
    }
    ms.push_back(std::chrono::duration<double, std::milli>(timeOf(knee) - called).count());
  }
  player.Close();
  std::printf(
      "\nfrom a change of speed to the first frame at the new speed handed to the output \"%s\"\n"
      "(%d changes, between 0.5 and 4): p50 %.1f ms   p95 %.1f ms   max %.1f ms   target p95 <= "
      "100 ms\n",
      recording->Name().c_str(), static_cast<int>(ms.size()), Percentile(ms, 0.5),
      Percentile(ms, 0.95), Percentile(ms, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTemporaryDir dir;
  const std::string d = dir.path().toStdString();
  ToneTable(d);
  const std::string speech = SpeechTable(d);
  const std::string serverDir = d + "/sound-server";
  Run("mkdir -p '" + serverDir + "'");
  PrivateSoundServer sound(serverDir, true);
  if (sound.Ok()) sound.UseInThisProcess();
  if (!speech.empty()) ProcessCpu(speech);
  ChangeHeard(d);
  std::printf("\n");
  const std::string toneWav = d + "/idle_tone.wav";
  WriteWav(toneWav, 44100, Tone(44100, 440, 1.0));
  IdleWakeups(toneWav);
  return 0;
}
