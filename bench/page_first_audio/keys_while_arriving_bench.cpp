// How soon keys act while a long page's speech is still arriving, beside the same keys on
// a page that has fully arrived: a page of 3000 words over a link of 1 Mbit/s (about 95 s
// to arrive), its keys pressed while the speech arrives, against the same keys over the
// same link once the page's speech has all arrived (the time and the parent page come
// over that link in both). From each key press to:
//   Space          the page falling silent
//   Space again    the page sounding again
//   Right          the skipped-to speech replacing what played
//   F12            the first sound of the time
//   Backspace      the first sound of the parent page
// Each key is pressed at a moment when the page's next half second is speech (the capture
// is aligned to the decoded page, so that a pause in the speech is never taken for the
// key's effect), at least 20 times per case.
//
// It drives the real programs: two development servers and the reader under Xvfb with
// xdotool, its sound captured by SDL's disk driver. Key names are switched off with Scroll
// Lock, so that the sounds after a key are the command's own. A key that has no effect
// (answered by the busy sound, say) is counted as such.
//
// Usage: keys_while_arriving_bench [--repeats 20]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QTemporaryDir>

#include "audio/decoder.h"
#include "capture_alignment.h"
#include "real_reader.h"
#include "sample_prose.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;
using namespace real_reader;

constexpr long kSlowLink = 125000;  // bytes a second: 1 Mbit/s
struct Figures {
  std::vector<double> ms;
  int noEffect = 0;
  double Percentile(double p) const {
    if (ms.empty()) return -1;
    std::vector<double> s = ms;
    std::sort(s.begin(), s.end());
    return s[std::min(s.size() - 1,
                      static_cast<size_t>(p * static_cast<double>(s.size() - 1) + 0.5))];
  }
};

const char* const kKeys[] = {"Space to silence", "Space to sound", "Right to the skip",
                             "F12 to the time", "Backspace to the parent"};

// One reader session against `server`: `repeats` rounds of the five keys on page 01.
// With `waitWhole`, each round starts once the page's speech has fully arrived.
bool Session(const Display& display, ServerProcess& server, const fs::path& home,
             const std::vector<float>& page, int repeats, bool waitWhole,
             std::map<std::string, Figures>& out) {
  const std::vector<float> pageEnvelope = Envelope(page, 0, page.size());
  fs::create_directories(home);
  const std::string capturePath = (home / "spoken.raw").string();
  QProcess reader;
  if (!StartReader(reader, display, server.port(), home, capturePath) ||
      !WaitFor([&] { return Count(server.log(), "q=0 w=0 200") >= 1; }, 120000)) {
    std::fprintf(stderr, "keys_while_arriving_bench: the reader did not read the root\n");
    return false;
  }
  display.Key("Scroll_Lock");  // key names off
  Capture capture(capturePath);
  const auto pressAt = [&](const char* key) {
    capture.Update();
    const size_t at = capture.samples.size();
    display.Key(key);
    return at;
  };
  // Waits until the page plays with half a second of speech ahead; the capture's offset.
  // Entered again, the page goes on where the round before left it, once that place has
  // arrived: the wait allows for it.
  const auto speechComing = [&](long& offset) {
    return WaitFor(
        [&] {
          capture.Update();
          return Align(capture, page, pageEnvelope, offset) &&
                 SpeechAhead(
                     page, capture.samples.size() + static_cast<size_t>(offset) + kOutputRate / 20,
                     500);
        },
        150000);
  };
  // A round whose page is not heard again after a key is given up: said with the key, and
  // the reader taken back to the root for the next round.
  const auto giveUp = [&](int round, const char* after) {
    std::fprintf(stderr, "keys_while_arriving_bench: %s round %d: page 01 not heard after %s\n",
                 waitWhole ? "arrived" : "arriving", round + 1, after);
    ++out["lost rounds"].noEffect;
    const int roots = Count(server.log(), "q=0 w=0 200");
    display.Key("Home");
    WaitFor([&] { return Count(server.log(), "q=0 w=0 200") > roots; }, 30000);
  };
  for (int round = 0; round < repeats; ++round) {
    const int wholes = Count(server.log(), "q=01 w=1 200");
    display.Key("1");
    if (waitWhole &&
        !WaitFor([&] { return Count(server.log(), "q=01 w=1 200") > wholes; }, 240000)) {
      std::fprintf(stderr, "keys_while_arriving_bench: the page never arrived whole\n");
      return false;
    }
    long offset = 0;
    if (!speechComing(offset)) {
      std::fprintf(stderr, "keys_while_arriving_bench: page 01 is not heard\n");
      return false;
    }
    if (!waitWhole && Count(server.log(), "q=01 w=1 200") > wholes) {
      std::fprintf(stderr, "keys_while_arriving_bench: the page arrived before its keys\n");
      return false;
    }
    // A figure of frames counts while the output runs (a departure from the page). A new
    // sound is timed by the clock until it is seen in the capture, since the output stops
    // writing while nothing plays.
    const auto frames = [&](Figures& f, long at, size_t key) {
      at >= 0 ? f.ms.push_back(Ms(at - static_cast<long>(key))) : void(++f.noEffect);
    };
    const auto clock = [&](Figures& f, long at, Clock::time_point pressed) {
      at >= 0 ? f.ms.push_back(MsSince(pressed)) : void(++f.noEffect);
    };
    // Space: the page falls silent, then sounds again.
    size_t k = pressAt("space");
    long at = Departure(capture, page, offset, k, 2000);
    frames(out[kKeys[0]],
           at >= 0 && AfterSilence(capture, static_cast<size_t>(at), 300, 3000) >= 0 ? at : -1, k);
    Clock::time_point pressed = Clock::now();
    k = pressAt("space");
    clock(out[kKeys[1]], FirstAbove(capture, k, kSilent, 3000), pressed);
    // Right: the speech 20 s further on replaces what played.
    if (!speechComing(offset)) {
      giveUp(round, "Space");
      continue;
    }
    k = pressAt("Right");
    frames(out[kKeys[2]], Departure(capture, page, offset, k, 2000), k);
    // F12: the page stops, the time is said; then the page goes on. The page's own fade
    // after the departure is not the time.
    const long fade = 6 * kWindow;
    if (!speechComing(offset)) {
      giveUp(round, "Right");
      continue;
    }
    // The time is made anew when the minute has changed, so it may take a while to come;
    // until it has, a key is refused as busy, so the next waits for its answer.
    const int times = Count(server.log(), "q=1kellaaeg.txt w=1 200");
    pressed = Clock::now();
    k = pressAt("F12");
    at = Departure(capture, page, offset, k, 10000);
    clock(out[kKeys[3]],
          at < 0 ? -1 : FirstAbove(capture, static_cast<size_t>(at + fade), kAudible, 5000),
          pressed);
    WaitFor([&] { return Count(server.log(), "q=1kellaaeg.txt w=1 200") > times; }, 30000);
    // Backspace, once the page plays again: the parent's first sound.
    if (!speechComing(offset)) {
      giveUp(round, "F12");
      continue;
    }
    const int roots = Count(server.log(), "q=0 w=0 200");
    pressed = Clock::now();
    k = pressAt("BackSpace");
    at = Departure(capture, page, offset, k, 3000);
    clock(out[kKeys[4]],
          at < 0 ? -1 : FirstAbove(capture, static_cast<size_t>(at + fade), kAudible, 10000),
          pressed);
    WaitFor([&] { return Count(server.log(), "q=0 w=0 200") > roots; }, 30000);
    std::fprintf(stderr, "%s round %d done\n", waitWhole ? "arrived" : "arriving", round + 1);
  }
  reader.terminate();
  reader.waitForFinished(10000);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int repeats = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::string(argv[i]) == "--repeats") repeats = std::max(1, std::atoi(argv[i + 1]));
  }
  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  const fs::path pages = root / "pages";
  fs::create_directories(pages);
  std::ofstream(pages / "0.txt") << "0 Mõõtmine\n1\tPikk lehekülg\n";
  std::ofstream(pages / "01.txt") << SampleProse(TR_SERVER_SAMPLE_PAGES, 3000);

  // The reader's trace goes to this program's standard error beside its own lines.
  qputenv("TALKING_READER_TRACE", "1");
  Display display;
  if (display.Name().isEmpty()) {
    std::fprintf(stderr, "keys_while_arriving_bench: needs Xvfb and xdotool\n");
    return 1;
  }
  // Both servers share one cache: the page is spoken once, and both send the same file. The
  // one without a limit gives the benchmark the page to decode; the reader uses the other.
  const std::vector<std::string> common = {"--pages", pages.string(), "--cache",
                                           (root / "speech").string()};
  ServerProcess whole(TR_SERVER_EXECUTABLE, common);
  std::vector<std::string> slowArgs = common;
  slowArgs.insert(slowArgs.end(), {"--throttle", std::to_string(kSlowLink)});
  ServerProcess slow(TR_SERVER_EXECUTABLE, slowArgs);
  if (whole.port() == 0 || slow.port() == 0) {
    std::fprintf(stderr, "keys_while_arriving_bench: a server did not start\n");
    return 1;
  }
  // The page as the reader will decode it.
  const HttpAnswer speech =
      whole.get("/cgi-bin/tx.cgi?s=2&v=0&q=01&ID=1&w=1",
                {"Authorization: Basic d3F3cXc6d3F3cXc=", "Vorbu: wqwqw"}, 120000);
  const std::string pageFile = (root / "page.mp3").string();
  std::ofstream(pageFile, std::ios::binary) << speech.body;
  const std::vector<float> page = DecodePage(pageFile);
  if (!speech.ok || page.empty()) {
    std::fprintf(stderr, "keys_while_arriving_bench: the page's speech did not come\n");
    return 1;
  }
  std::fprintf(stderr, "page 01: %zu bytes, %.0f s of speech\n", speech.body.size(),
               static_cast<double>(page.size()) / kOutputRate);

  std::map<std::string, Figures> arriving;
  std::map<std::string, Figures> arrived;
  if (!Session(display, slow, root / "arriving", page, repeats, false, arriving) ||
      !Session(display, slow, root / "arrived", page, repeats, true, arrived))
    return 1;

  std::printf("\nFrom the key to its effect, 3000 words, %d rounds (ms)\n\n", repeats);
  std::printf(
      "| key | arriving at 1 Mbit/s p50 | p95 | fully arrived p50 | p95 | "
      "p95 difference | keys without effect |\n");
  std::printf("|---|---|---|---|---|---|---|\n");
  for (const char* key : kKeys) {
    const Figures& a = arriving[key];
    const Figures& w = arrived[key];
    std::printf("| %s | %.0f | %.0f | %.0f | %.0f | %+.0f | %d / %d |\n", key, a.Percentile(0.5),
                a.Percentile(0.95), w.Percentile(0.5), w.Percentile(0.95),
                a.Percentile(0.95) - w.Percentile(0.95), a.noEffect, w.noEffect);
  }
  std::printf("rounds given up (the page not heard again after a key): arriving %d, arrived %d\n",
              arriving["lost rounds"].noEffect, arrived["lost rounds"].noEffect);
  std::printf(
      "\ntarget: every p95 within 100 ms of the fully arrived one, and no key without "
      "effect\n");
  return 0;
}
