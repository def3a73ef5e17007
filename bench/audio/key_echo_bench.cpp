// Key-echo latency, idle wake-ups and decode cost of the audio subsystem. Prints figures;
// asserts nothing.
//
// Key echo from an open and from a closed output, and the wake-ups of every thread while
// idle, through the benchmark's own sound server: see key_echo_and_idle.h.
//
// Decode cost: CPU seconds spent decoding one minute of MP3 speech at the output rate.
#include <time.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/decoder.h"
#include "key_echo_and_idle.h"
#include "speech_sample.h"

namespace {

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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
  benchaudio::KeyEchoAndIdle(dir.path().toStdString());
  DecodeCost(dir.path().toStdString());
  return 0;
}
