// How well the server's sentence map lines up with its speech. For pages of 50, 500 and
// 3000 words at the three speech rates, the development server is asked for a page's
// speech (w=1) and its sentence map (w=2); the speech is decoded as the reader decodes it
// (libmpg123, gapless), and each sentence's start in the map is measured against the
// first sound after the pause before it. Target: p95 within 20 ms.
//
// The reference beside each row, measured in the same run: the synthesiser's sentence
// events as they stand (their sample positions in a synthesis of the same text, with no
// search for the sound and no allowance for the MP3's delay).
//
// The sound is measured by its own yardstick (5 ms louder than -46 dBFS after 50 ms
// below), not the server's. It suits the plain voices; the breathy variants (voices 1 and
// 3) fill the short pauses of the fast rate with breath at about -44 dBFS, which it then
// takes for the next sentence's first sound.
//
// Usage: sentence_map_bench [--words 50,500,3000] [--voice 0-5]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mp3_probe.h"
#include "sample_prose.h"
#include "sentence_map_probe.h"
#include "server_process.h"
#include "server_texts.h"
#include "speech_synth.h"

namespace {

namespace fs = std::filesystem;

// Sound in the decoded speech: 5 ms louder than -46 dBFS (root mean square).
constexpr float kSoundRms = 0.005f;

// A page of about `words` words of the sample prose, one sentence to a line.
std::string page(size_t words) {
  std::string prose = SampleProse(TR_SERVER_SAMPLE_PAGES, words);
  std::string text;
  for (size_t i = 0; i < prose.size(); ++i) {
    const char c = prose[i] == '\n' ? ' ' : prose[i];
    text += c;
    const bool ends = c == '.' || c == '!' || c == '?';
    if (ends && i + 1 < prose.size() && (prose[i + 1] == ' ' || prose[i + 1] == '\n')) {
      text += '\n';
      ++i;
    }
  }
  return text;
}

// Milliseconds from each start to the sound onset nearest to it.
std::vector<double> errors(const std::vector<double>& starts, const std::vector<double>& onsets) {
  std::vector<double> out;
  for (double s : starts) {
    auto at = std::lower_bound(onsets.begin(), onsets.end(), s);
    double best = 1e9;
    if (at != onsets.end()) best = *at - s;
    if (at != onsets.begin()) best = std::min(best, s - *std::prev(at));
    out.push_back(std::fabs(best));
  }
  return out;
}

struct Figures {
  double p50 = 0, p95 = 0, max = 0;
  size_t within20 = 0;
};

Figures figures(std::vector<double> e) {
  Figures f;
  if (e.empty()) return f;
  std::sort(e.begin(), e.end());
  auto at = [&](double q) {
    return e[std::min(e.size() - 1, static_cast<size_t>(q * double(e.size())))];
  };
  f.p50 = at(0.50);
  f.p95 = at(0.95);
  f.max = e.back();
  f.within20 =
      static_cast<size_t>(std::count_if(e.begin(), e.end(), [](double x) { return x <= 20; }));
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> lengths = {50, 500, 3000};
  int voice = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--voice" && i + 1 < argc) {
      voice = std::clamp(std::atoi(argv[++i]), 0, 5);
    } else if (a == "--words" && i + 1 < argc) {
      lengths.clear();
      std::string list = argv[++i];
      for (size_t pos = 0; pos < list.size();) {
        size_t comma = list.find(',', pos);
        lengths.push_back(std::stoul(list.substr(pos, comma - pos)));
        pos = comma == std::string::npos ? list.size() : comma + 1;
      }
    } else {
      std::fprintf(stderr, "usage: sentence_map_bench [--words 50,500,3000] [--voice 0-5]\n");
      return 2;
    }
  }

  const std::string dir = makeTempDir();
  fs::create_directory(dir + "/pages");
  for (size_t i = 0; i < lengths.size(); ++i)
    writeFile(dir + "/pages/0" + std::to_string(i + 1) + ".txt", page(lengths[i]));
  ServerProcess server(TR_SERVER_EXECUTABLE,
                       {"--pages", dir + "/pages", "--cache", dir + "/cache"});
  if (server.port() == 0) {
    std::fprintf(stderr, "the server did not start:\n%s", server.log().c_str());
    return 1;
  }
  EspeakSynth synth;
  const std::vector<std::string> auth = {basicLine("wqwqw", "wqwqw"), vorbuLine("wqwqw")};

  std::printf(
      "Sentence starts against the first sound after the pause before them, in the\n"
      "decoded speech of voice %d (|error| in ms; target p95 <= 20).\n\n",
      voice);
  std::printf("%6s %4s %9s | %-31s | %-24s\n", "words", "rate", "sentences",
              "the map: p50   p95   max  <=20", "events as they stand: p95");
  bool allMet = true;
  for (size_t i = 0; i < lengths.size(); ++i) {
    const std::string q = "0" + std::to_string(i + 1);
    for (int rate = 1; rate <= 3; ++rate) {
      const std::string query =
          "/cgi-bin/tx.cgi?s=" + std::to_string(rate) + "&v=" + std::to_string(voice) + "&q=" + q;
      HttpAnswer speech = server.get(query + "&w=1", auth, 600000);
      HttpAnswer map = server.get(query + "&w=2", auth, 600000);
      long sampleRate = 0;
      const std::vector<float> decoded = decodeMp3(speech.body, &sampleRate);
      const auto sentences = parseSentenceMap(map.body);
      if (!speech.ok || !map.ok || decoded.empty() || !sentences) {
        std::fprintf(stderr, "no speech or no map for %s at rate %d (%d, %d)\n", q.c_str(), rate,
                     speech.status, map.status);
        return 1;
      }
      const std::vector<double> onsets = soundOnsets(decoded, sampleRate, kSoundRms, 50);
      std::vector<double> starts;
      for (const MappedSentence& s : *sentences) starts.push_back(double(s.start));

      // The reference: the same text synthesised here, its sentence events taken as they are.
      std::vector<double> events;
      synth.synthesise(
          pageSpeech(page(lengths[i])), rate, voice, [](const int16_t*, size_t) { return true; },
          [&](const SynthEvent& e) {
            if (e.kind == SynthEvent::Kind::Sentence)
              events.push_back(1000.0 * double(e.sample) / synth.sampleRate());
          });

      const Figures map20 = figures(errors(starts, onsets));
      const Figures raw = figures(errors(events, onsets));
      allMet = allMet && map20.p95 <= 20;
      std::printf("%6zu %4d %9zu | %12.1f %5.1f %5.1f %3zu%% | %12.1f (max %.1f)\n", lengths[i],
                  rate, starts.size(), map20.p50, map20.p95, map20.max,
                  starts.empty() ? 0 : 100 * map20.within20 / starts.size(), raw.p95, raw.max);
    }
  }
  std::printf("\n%s\n", allMet ? "p95 within 20 ms at every length and rate"
                               : "p95 NOT within 20 ms somewhere");
  server.stop();
  removeTree(dir);
  return 0;
}
