// Synthesis cost: seconds of CPU per minute of produced speech, for the sample pages'
// texts, split into espeak-ng synthesis and LAME encoding. The reference, measured in the
// same run on the same texts, is the espeak-ng and lame command-line tools writing the
// same format (their CPU time taken from the children's resource usage).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "mp3_encoder.h"
#include "server_texts.h"
#include "speech_synth.h"

namespace {

double processCpu() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double childrenCpu() {
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  auto secs = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

int main(int argc, char** argv) {
  std::string pagesDir = argc > 1 ? argv[1] : TR_SERVER_SAMPLE_PAGES;
  std::vector<std::string> texts;
  for (const auto& e : std::filesystem::directory_iterator(pagesDir))
    if (e.path().extension() == ".txt") texts.push_back(pageSpeech(readFile(e.path())));
  std::sort(texts.begin(), texts.end());
  size_t chars = 0;
  for (const auto& t : texts) chars += t.size();

  EspeakSynth synth;
  std::printf("server synthesis benchmark: %zu sample pages, %zu characters, rate 2\n",
              texts.size(), chars);
  std::printf("%-8s %10s %12s %12s %12s %14s\n", "voice", "speech s", "synth cpu s", "encode cpu s",
              "total cpu s", "cpu s / min");
  double allAudio = 0, allCpu = 0;
  for (int voice = 0; voice < 6; ++voice) {
    double audio = 0, synthCpu = 0, encodeCpu = 0;
    for (const auto& text : texts) {
      double t0 = processCpu();
      Pcm pcm = synth.synthesise(text, 2, voice);
      double t1 = processCpu();
      std::string mp3 = encodeMp3(pcm);
      double t2 = processCpu();
      audio += pcm.seconds();
      synthCpu += t1 - t0;
      encodeCpu += t2 - t1;
    }
    double total = synthCpu + encodeCpu;
    allAudio += audio;
    allCpu += total;
    std::printf("%-8s %10.1f %12.3f %12.3f %12.3f %14.3f\n", kVoiceNames[voice], audio, synthCpu,
                encodeCpu, total, total / (audio / 60.0));
  }
  std::printf("server, all voices: %.3f s of CPU per minute of speech\n",
              allCpu / (allAudio / 60.0));

  // Reference: the command-line tools on the same texts, voice "et", same rate and format.
  std::string dir = std::filesystem::temp_directory_path() / "tr-synth-bench-XXXXXX";
  if (!mkdtemp(dir.data())) return 1;
  double refAudio = 0;
  double before = childrenCpu();
  for (size_t i = 0; i < texts.size(); ++i) {
    std::string txt = dir + "/t" + std::to_string(i) + ".txt";
    std::ofstream(txt) << texts[i];
    std::string cmd = "espeak-ng -v et -s 175 -f '" + txt + "' -w '" + dir +
                      "/t.wav' && lame --quiet -m m " + "--resample 44.1 -b 64 --cbr -q 5 '" + dir +
                      "/t.wav' '" + dir + "/t.mp3'";
    if (std::system(cmd.c_str()) != 0) {
      std::printf("reference: espeak-ng or lame command failed\n");
      break;
    }
    refAudio += double(std::filesystem::file_size(dir + "/t.wav") - 44) / (2.0 * 22050.0);
  }
  double refCpu = childrenCpu() - before;
  std::filesystem::remove_all(dir);
  std::printf(
      "reference (espeak-ng + lame commands, voice et): %.1f s of speech, %.3f s CPU, "
      "%.3f s of CPU per minute of speech\n",
      refAudio, refCpu, refCpu / (refAudio / 60.0));
  return 0;
}
