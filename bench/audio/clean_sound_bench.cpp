// How clean the sound is through the whole path (decode, rate conversion, mix, output),
// each figure beside a reference made in the same run. Prints figures; asserts nothing.
//
//  - SINAD of tones (MP3 files at 16, 22.05, 32, 44.1 and 48 kHz played at a 48 kHz
//    output), beside sox's high-quality conversion of the same file's native decode.
//  - The largest sample step at each kind of cut on a 0.5-amplitude 440 Hz tone, beside
//    the tone's own largest step.
//  - Clipping: speech with key names over it, samples at full scale and the peak.
//  - CPU seconds per minute of speech through the service, beside the native decode plus
//    sox's conversion.
//  - Key echo from an open and from a closed output, and the wake-ups per second of every
//    thread while idle (output suspended, then released) beside the same threads while a
//    sound plays, through the benchmark's own sound server (key_echo_and_idle.h).
//
// Needs lame, sox, espeak-ng and pulseaudio on the PATH.
#include <sys/resource.h>
#include <time.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "audio/decoder.h"
#include "audio/media_device_service_impl.h"
#include "audio/stepped_audio_output.h"
#include "key_echo_and_idle.h"
#include "sound_measures.h"
#include "speech_sample.h"

namespace {

using namespace benchaudio;

// The native decode of `path` (a file at `rate`) converted to the output rate by sox.
std::vector<float> SoxReference(const std::string& path, int rate, const std::string& dir) {
  uint32_t error = 0;
  // Asked for the file's own rate, the decoder converts nothing.
  auto dec = OpenDecoder(path, rate, error);
  if (!dec) return {};
  std::vector<float> block(4096 * 2);
  std::vector<float> pcm;
  while (std::size_t n = dec->Read(block.data(), 4096))
    pcm.insert(pcm.end(), block.begin(), block.begin() + static_cast<long>(2 * n));
  const std::string raw = dir + "/native.f32";
  const std::string conv = dir + "/sox.f32";
  {
    std::ofstream out(raw, std::ios::binary);
    out.write(reinterpret_cast<const char*>(pcm.data()),
              static_cast<std::streamsize>(pcm.size() * sizeof(float)));
  }
  if (!Run("sox -q -t f32 -r " + std::to_string(rate) + " -c 2 '" + raw + "' -t f32 '" + conv +
           "' rate -h " + std::to_string(kOut)))
    return {};
  std::ifstream in(conv, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  std::vector<float> out(bytes.size() / sizeof(float));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
  return out;
}

void SinadTable(const std::string& dir) {
  std::printf(
      "SINAD in dB of a 0.5-amplitude tone played at %d Hz, from MP3 files (the\n"
      "codec's own distortion included) and from 16-bit wave files:\n",
      kOut);
  std::printf("  ours / sox -h of the native decode\n");
  const double tones[] = {200, 440, 1000, 3000, 6000, 8000};
  std::printf("  %-9s", "file");
  for (double hz : tones) std::printf("  %13.0f Hz", hz);
  std::printf("\n");
  for (int row = 0; row < 10; ++row) {
    const int rate = std::array<int, 5>{44100, 16000, 22050, 32000, 48000}[row % 5];
    const bool wav = row >= 5;
    std::printf("  %s %-5d", wav ? "wav" : "mp3", rate);
    for (double hz : tones) {
      if (hz > 0.4 * rate) {
        std::printf("  %16s", "--");
        continue;
      }
      std::string mp3 = ToneMp3(dir, rate, hz, 1.0);
      if (wav) mp3 = mp3.substr(0, mp3.size() - 4) + ".wav";
      Rig rig;
      const uint16_t d = rig.Open(mp3);
      rig.Send(d, mci::kPlay, 0);
      rig.Step(1100);
      const auto& ours = rig.output->Captured();
      const std::vector<float> ref = SoxReference(mp3, rate, dir);
      // Half a second from the middle: past the start and the fade-in, before the end.
      const std::size_t from = kOut / 4;
      const std::size_t n = kOut / 2;
      const double a = ours.size() / 2 >= from + n ? Sinad(ours, hz, kOut, from, n) : 0;
      const double b = ref.size() / 2 >= from + n ? Sinad(ref, hz, kOut, from, n) : 0;
      std::printf("  %7.1f / %6.1f", a, b);
    }
    std::printf("\n");
  }
}

void CutSteps(const std::string& dir) {
  const std::string a = ToneMp3(dir, 44100, 440, 2.0);
  // The same tone under another name, for the sound that replaces the playing one.
  const std::string b = dir + "/other_440.mp3";
  Run("cp '" + a + "' '" + b + "'");
  const std::string waveFile = dir + "/wave.wav";
  WriteWav(waveFile, 22050, Tone(22050, 440, 1.0));
  std::ifstream in(waveFile, std::ios::binary);
  const std::vector<char> waveImage((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());

  // The tone's own largest step, from an uncut stretch.
  float natural = 0;
  {
    Rig rig;
    const uint16_t d = rig.Open(a);
    rig.Send(d, mci::kPlay, 0);
    rig.Step(500);
    natural = LargestStep(rig.output->Captured(), kOut / 10, kOut / 2);
  }
  struct Cut {
    const char* name;
    std::function<void(Rig&, uint16_t, uint16_t)> act;
    // Runs before the measured stretch starts (the pause before a resume).
    std::function<void(Rig&, uint16_t)> before = nullptr;
  };
  const Cut cuts[] = {
      {"pause", [](Rig& r, uint16_t d, uint16_t) { r.Send(d, mci::kPause, mci::kWait); }},
      {"resume after a pause", [](Rig& r, uint16_t d, uint16_t) { r.Send(d, mci::kPlay, 0); },
       [](Rig& r, uint16_t d) {
         r.Send(d, mci::kPause, mci::kWait);
         r.Step(50);
       }},
      {"stop", [](Rig& r, uint16_t d, uint16_t) { r.Send(d, mci::kStop, mci::kWait); }},
      {"close while playing",
       [](Rig& r, uint16_t d, uint16_t) { r.Send(d, mci::kClose, mci::kWait); }},
      {"seek (skip) and play on",
       [](Rig& r, uint16_t d, uint16_t) {
         r.Send(d, mci::kSeek, mci::kWait | mci::kTo, 1301);
         r.Send(d, mci::kPlay, 0);
       }},
      {"new sound replaces the playing one",
       [](Rig& r, uint16_t d, uint16_t other) {
         r.Send(d, mci::kClose, mci::kWait);
         r.Send(other, mci::kPlay, 0);
       }},
      {"wave voice cut off by the next",
       [&](Rig& r, uint16_t, uint16_t) {
         r.service->PlayWave(waveImage.data(), waveImage.size());
       }},
  };
  std::printf("largest sample step at a cut, 0.5-amplitude 440 Hz tone (44.1 kHz MP3):\n");
  std::printf("  the tone's own largest step (reference) %.4f\n", natural);
  for (const Cut& c : cuts) {
    Rig rig;
    const uint16_t d = rig.Open(a);
    const uint16_t other = rig.Open(b);
    // Half a cycle away from where the first one is cut.
    rig.Send(other, mci::kSeek, mci::kWait | mci::kTo, 4);
    const bool wave = std::string(c.name).find("wave") != std::string::npos;
    if (wave) {
      rig.service->PlayWave(waveImage.data(), waveImage.size());
    } else {
      rig.Send(d, mci::kPlay, 0);
    }
    rig.Step(300.7);  // the cut lands in mid-wave
    if (c.before) c.before(rig, d);
    const std::size_t at = rig.Frames();
    c.act(rig, d, other);
    rig.Step(100);
    const float step = LargestStep(rig.output->Captured(), at - 1);
    std::printf("  %-36s %.4f  (%.2f x the tone's own)\n", c.name, step, step / natural);
  }
}

void Clipping(const std::string& dir, const std::string& speech) {
  WriteWav(dir + "/key.wav", 44100, Tone(44100, 660, 0.4, 0.7));
  Run("lame --quiet -b 64 '" + dir + "/key.wav' '" + dir + "/vk_1.mp3'");
  Rig rig;
  const uint16_t page = rig.Open(speech);
  rig.Send(page, mci::kPlay, 0);
  uint16_t key = 0;
  for (int i = 0; i < 20; ++i) {
    rig.Step(300);
    if (key != 0) rig.Send(key, mci::kClose, mci::kWait);
    key = rig.Open(dir + "/vk_1.mp3");
    rig.service->SetDucksOthers(key, true);
    rig.Send(key, mci::kPlay, 0);
  }
  rig.Step(500);
  std::size_t full = 0;
  float peak = 0;
  for (float s : rig.output->Captured()) {
    peak = std::max(peak, std::fabs(s));
    if (std::fabs(s) >= 0.9999f) ++full;
  }
  std::printf("speech (peak -0.5 dBFS) with 20 key names (0.7 amplitude) over it, %.1f s:\n",
              static_cast<double>(rig.Frames()) / kOut);
  std::printf("  samples at full scale %zu   peak %.3f   (reference: no sample at full scale)\n",
              full, peak);
}

void Cpu(const std::string& dir, const std::string& speech) {
  double ours = 0;
  double seconds = 0;
  {
    const double t0 = ThreadCpu();
    Rig rig;
    rig.output->SetCapture(false);
    const uint16_t d = rig.Open(speech);
    mci::Params p;
    p.item = mci::kStatusLength;
    rig.service->SendCommand(d, mci::kStatus, mci::kWait | mci::kStatusItem, p);
    seconds = p.returnValue / 1000.0;
    rig.Send(d, mci::kPlay, 0);
    rig.Step(p.returnValue + 100.0);
    ours = ThreadCpu() - t0;
  }
  // Reference: the native decode in this thread, then sox's conversion in a child.
  const double t0 = ThreadCpu();
  uint32_t error = 0;
  auto dec = OpenDecoder(speech, 44100, error);
  std::vector<float> pcm;
  std::vector<float> block(4096 * 2);
  while (std::size_t n = dec->Read(block.data(), 4096))
    pcm.insert(pcm.end(), block.begin(), block.begin() + static_cast<long>(2 * n));
  const double decode = ThreadCpu() - t0;
  {
    std::ofstream out(dir + "/speech.f32", std::ios::binary);
    out.write(reinterpret_cast<const char*>(pcm.data()),
              static_cast<std::streamsize>(pcm.size() * sizeof(float)));
  }
  const double c0 = ChildrenCpu();
  Run("sox -q -t f32 -r 44100 -c 2 '" + dir + "/speech.f32' -t f32 '" + dir +
      "/speech48.f32' rate -h 48000");
  const double sox = ChildrenCpu() - c0;
  const double minutes = seconds / 60;
  std::printf("CPU per minute of speech (%.1f s, 44.1 kHz MP3 to %d Hz):\n", seconds, kOut);
  std::printf(
      "  ours (decode, convert, mix) %.3f s   reference (native decode %.3f s + sox -h "
      "%.3f s) %.3f s\n",
      ours / minutes, decode / minutes, sox / minutes, (decode + sox) / minutes);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QTemporaryDir dir;
  const std::string d = dir.path().toStdString();
  SinadTable(d);
  CutSteps(d);
  const std::string speech = benchaudio::MakeSpeechMp3(d, true);
  if (speech.empty()) {
    std::printf("speech: could not be made (espeak-ng, sox, lame)\n");
  } else {
    Clipping(d, speech);
    Cpu(d, speech);
  }
  benchaudio::KeyEchoAndIdle(d);
  return 0;
}
