// How closely the reader follows the sentences of a page in the real program, with the
// development server's sentence map: pages of 500 words at each of the three speech rates.
//   Down to the next sentence's first sound: from the key press to the first sound of the
//     sentence it moves to, found in the captured output by the decoded page's own sound.
//   A sentence's first sound to its mark: from the moment the output carries the first
//     sound of a sentence (the capture aligned to the decoded page) to the reader's trace
//     line that it marked that sentence on the screen; negative when the mark came first.
// Beside them, as the reference, the map's own accuracy for the same speech: each
// sentence's start against the first sound after the pause before it.
//
// It drives the real programs under Xvfb (xdotool, SDL's disk driver), the reader with
// TALKING_READER_TRACE=1. Key names are switched off with Scroll Lock.
//
// Usage: sentence_bench [--repeats 20] [--words 500]
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "capture_alignment.h"
#include "real_reader.h"
#include "sample_prose.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;
using namespace real_reader;

struct MapSentence {
  int64_t start = 0;  // ms
  int64_t end = 0;
};

std::vector<MapSentence> ParseMap(const std::string& body) {
  std::vector<MapSentence> map;
  const QJsonArray list =
      QJsonDocument::fromJson(QByteArray::fromStdString(body)).object()["sentences"].toArray();
  for (const QJsonValue& v : list) {
    map.push_back({v["start"].toInteger(), v["end"].toInteger()});
  }
  return map;
}

// The first sample of sound at or after `from` in the decoded page (5 ms above -50 dBFS).
size_t FirstSound(const std::vector<float>& page, size_t from) {
  for (size_t w = from; w + 5 * kWindow <= page.size(); w += kWindow / 4) {
    if (Rms(&page[w], 5 * kWindow) >= 3e-3) return w;
  }
  return page.size();
}

// Where the capture holds the page's sound from `at` on, at or after `from`: the first
// capture window that matches closely the page's 10 ms from 10 ms after `at` (past the
// fade that starts a jump), less those 10 ms; -1 when none comes within `ms`.
long Finds(Capture& capture, const std::vector<float>& page, size_t at, size_t from, int ms) {
  const size_t n = 10 * kWindow;
  const size_t lead = 10 * kWindow;
  if (at + lead + n > page.size()) return -1;
  at += lead;
  from += lead;
  const double energy = Rms(&page[at], n);
  const auto start = Clock::now();
  // Sample by sample: a window a few samples off the sound's own differs from it by more
  // than the bound wherever the speech has high tones, and would never match.
  const double bound = 0.04 * energy * energy * static_cast<double>(n);
  for (size_t w = from;; ++w) {
    while (w + n > capture.samples.size()) {
      if (MsSince(start) > ms) return -1;
      Sleep(1);
      capture.Update();
    }
    double diff = 0;
    for (size_t i = 0; i < n && diff < bound; ++i) {
      const double e = capture.samples[w + i] - page[at + i];
      diff += e * e;
    }
    if (diff < bound) return static_cast<long>(w) - static_cast<long>(lead);
  }
}

struct Figures {
  std::vector<double> ms;
  int missed = 0;
  double Percentile(double p) const {
    if (ms.empty()) return 0;
    std::vector<double> s = ms;
    std::sort(s.begin(), s.end());
    return s[std::min(s.size() - 1,
                      static_cast<size_t>(p * static_cast<double>(s.size() - 1) + 0.5))];
  }
};

// The reader's standard error, each line with the time it arrived.
class TraceLog {
 public:
  explicit TraceLog(QProcess& reader) : reader_(reader) {}
  void Poll() {
    reader_.waitForReadyRead(0);
    partial_ += reader_.readAllStandardError().toStdString();
    for (size_t nl; (nl = partial_.find('\n')) != std::string::npos;) {
      lines.emplace_back(Clock::now(), partial_.substr(0, nl));
      partial_.erase(0, nl + 1);
    }
  }
  std::vector<std::pair<Clock::time_point, std::string>> lines;

 private:
  QProcess& reader_;
  std::string partial_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int repeats = 20;
  size_t words = 500;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--repeats") repeats = std::max(1, std::atoi(argv[i + 1]));
    if (std::string(argv[i]) == "--words") words = std::max(10, std::atoi(argv[i + 1]));
  }
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  fs::create_directories(root / "pages");
  std::ofstream(root / "pages" / "0.txt") << "0 Mõõtmine\n1\tLehekülg\n";
  std::ofstream(root / "pages" / "01.txt") << SampleProse(TR_SERVER_SAMPLE_PAGES, words);
  Display display;
  if (display.Name().isEmpty()) {
    std::fprintf(stderr, "sentence_bench: needs Xvfb and xdotool\n");
    return 1;
  }
  ServerProcess server(TR_SERVER_EXECUTABLE, {"--pages", (root / "pages").string(), "--cache",
                                              (root / "speech").string()});
  if (server.port() == 0) return 1;

  std::printf(
      "| rate | down to the next sentence's sound p50 | p95 | missed | sentence's first "
      "sound to its mark p50 | p95 | reference: map start to first sound p50 | p95 |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const char* rate : {"1", "2", "3"}) {
    const std::vector<std::string> auth = {"Authorization: Basic d3F3cXc6d3F3cXc=", "Vorbu: wqwqw"};
    const std::string query = std::string("/cgi-bin/tx.cgi?s=") + rate + "&v=0&q=01&ID=1";
    const HttpAnswer speech = server.get(query + "&w=1", auth, 120000);
    const HttpAnswer mapAnswer = server.get(query + "&w=2", auth, 120000);
    const std::string pageFile = (root / (std::string("page") + rate + ".mp3")).string();
    std::ofstream(pageFile, std::ios::binary) << speech.body;
    const std::vector<float> page = DecodePage(pageFile);
    const std::vector<MapSentence> map = ParseMap(mapAnswer.body);
    if (page.empty() || map.size() < 3) {
      std::fprintf(stderr, "sentence_bench: no speech or no map at rate %s\n", rate);
      return 1;
    }
    const std::vector<float> envelope = Envelope(page, 0, page.size());
    // The map's own accuracy: start against the first sound after it.
    Figures reference;
    for (const MapSentence& s : map) {
      const size_t at = static_cast<size_t>(s.start) * kOutputRate / 1000;
      reference.ms.push_back(Ms(static_cast<long>(FirstSound(page, at) - at)));
    }

    const fs::path home = root / (std::string("home") + rate);
    // The speech rate, as the reader keeps it in its private work folder.
    const fs::path work = home / "cache/talking-reader";
    fs::create_directories(work);
    fs::permissions(work, fs::perms::owner_all, fs::perm_options::replace);
    std::ofstream(work / "vorbu.ini") << rate << "\r\n0\r\n";
    QProcess reader;
    const std::string capturePath = (home / "spoken.raw").string();
    if (!StartReader(reader, display, server.port(), home, capturePath, true)) return 1;
    TraceLog trace(reader);
    const auto traced = [&](const std::string& what, int ms) {
      return WaitFor(
          [&] {
            trace.Poll();
            return std::any_of(trace.lines.begin(), trace.lines.end(), [&](const auto& l) {
              return l.second.find(what) != std::string::npos;
            });
          },
          ms);
    };
    if (!traced("page 0 shown", 60000)) return 1;
    display.Key("Scroll_Lock");
    display.Key("1");
    if (!traced("page 01 has a map", 60000)) {
      std::fprintf(stderr, "sentence_bench: the reader took no map\n");
      return 1;
    }
    Capture capture(capturePath);
    // When each capture frame was seen, to give a frame its time.
    std::vector<std::pair<size_t, Clock::time_point>> seen;
    const auto update = [&] {
      capture.Update();
      trace.Poll();
      seen.emplace_back(capture.samples.size(), Clock::now());
    };
    const auto timeOf = [&](size_t frame) {
      const auto it = std::lower_bound(seen.begin(), seen.end(), frame,
                                       [](const auto& s, size_t f) { return s.first < f; });
      return it == seen.end() ? Clock::now() : it->second;
    };

    Figures down;
    Figures mark;
    for (int round = 0; round < repeats; ++round) {
      // Down is pressed where the next sentence is more than a second away, so that the
      // page itself cannot reach it before the jump does.
      long offset = 0;
      size_t next = 0;
      if (!WaitFor(
              [&] {
                update();
                if (!Align(capture, page, envelope, offset)) return false;
                const int64_t now =
                    static_cast<int64_t>(capture.samples.size() + static_cast<size_t>(offset)) *
                    1000 / kOutputRate;
                next = 0;
                while (next < map.size() && map[next].start <= now) ++next;
                return next + 1 < map.size() && map[next].start - now > 1000;
              },
              30000))
        break;
      const size_t k = capture.samples.size();
      const size_t sound =
          FirstSound(page, static_cast<size_t>(map[next].start) * kOutputRate / 1000);
      const auto pressed = Clock::now();
      display.Key("Down");
      const long heard = Finds(capture, page, sound, k, 1000);
      if (heard >= 0) {
        down.ms.push_back(Ms(heard - static_cast<long>(k)));
      } else {
        ++down.missed;  // the page did not go there within a second
      }
      // Then the page plays on: each sentence's first sound against its mark.
      long playing = 0;
      if (!WaitFor(
              [&] {
                update();
                return Align(capture, page, envelope, playing);
              },
              10000))
        continue;
      const auto since = Clock::now();
      while (MsSince(since) < 3000) {
        update();
        Sleep(2);
      }
      for (size_t i = next + 1; i < map.size(); ++i) {
        const size_t first =
            FirstSound(page, static_cast<size_t>(map[i].start) * kOutputRate / 1000);
        const long frame = static_cast<long>(first) - playing;
        if (frame <= static_cast<long>(heard) || frame >= static_cast<long>(capture.samples.size()))
          continue;
        const std::string line = "sentence " + std::to_string(i) + " marked";
        for (const auto& [at, text] : trace.lines) {
          if (at < pressed || text.find(line) == std::string::npos) continue;
          mark.ms.push_back(
              std::chrono::duration<double, std::milli>(at - timeOf(static_cast<size_t>(frame)))
                  .count());
          break;
        }
      }
    }
    reader.terminate();
    reader.waitForFinished(10000);
    std::printf("| %s | %.0f | %.0f | %d of %d | %.0f | %.0f | %.1f | %.1f |\n", rate,
                down.Percentile(0.5), down.Percentile(0.95), down.missed, repeats,
                mark.Percentile(0.5), mark.Percentile(0.95), reference.Percentile(0.5),
                reference.Percentile(0.95));
    std::fflush(stdout);
  }
  std::printf("\ntargets: Down to the sound p95 <= 100 ms; sound to mark <= 100 ms\n");
  return 0;
}
