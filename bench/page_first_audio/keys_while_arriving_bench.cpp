// How soon keys act while a long page's speech is still arriving, beside the same keys on
// a page that has fully arrived: a page of 3000 words over a link of 1 Mbit/s (about 95 s
// to arrive) against the same page from a server without a limit, whose speech is all
// there before the first key. From each key press to:
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
#include "real_reader.h"
#include "sample_prose.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;
using namespace real_reader;

constexpr long kSlowLink = 125000;           // bytes a second: 1 Mbit/s
constexpr int kWindow = kOutputRate / 1000;  // 1 ms, the resolution of every figure
constexpr float kSilent = 1e-5f;

// The page's speech decoded as the reader decodes it: the first channel, at the output rate.
std::vector<float> DecodePage(const std::string& path) {
  uint32_t error = 0;
  std::unique_ptr<Decoder> decoder = OpenDecoder(path, kOutputRate, error);
  std::vector<float> mono;
  if (!decoder) return mono;
  std::vector<float> block(2 * 8192);
  for (size_t n; (n = decoder->Read(block.data(), 8192)) > 0;) {
    for (size_t i = 0; i < n; ++i) mono.push_back(block[2 * i]);
  }
  return mono;
}

double Rms(const float* x, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += static_cast<double>(x[i]) * x[i];
  return std::sqrt(sum / static_cast<double>(n));
}

// 10 ms loudness envelope, for the coarse search of where in the page the capture is.
std::vector<float> Envelope(const std::vector<float>& x, size_t from, size_t to) {
  std::vector<float> env;
  for (size_t at = from; at + 480 <= to; at += 480)
    env.push_back(static_cast<float>(Rms(&x[at], 480)));
  return env;
}

// What the reader has said so far: the first channel of the capture file, read as it grows.
class Capture {
 public:
  explicit Capture(std::string path) : path_(std::move(path)) {}
  // Reads what has been written since the last call; returns the frames there are.
  size_t Update() {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(bytes_));
    std::vector<float> block(2 * 4096);
    while (in.read(reinterpret_cast<char*>(block.data()),
                   static_cast<std::streamsize>(block.size() * sizeof(float))) ||
           in.gcount() > 0) {
      const size_t frames = static_cast<size_t>(in.gcount()) / (2 * sizeof(float));
      for (size_t i = 0; i < frames; ++i) samples.push_back(block[2 * i]);
      bytes_ += frames * 2 * sizeof(float);
      if (static_cast<size_t>(in.gcount()) < block.size() * sizeof(float)) break;
    }
    return samples.size();
  }
  // Reads until the capture holds `frames` frames; false when that takes over `ms`.
  bool Until(size_t frames, int ms) {
    return WaitFor([&] { return Update() >= frames; }, ms);
  }
  std::vector<float> samples;

 private:
  std::string path_;
  size_t bytes_ = 0;
};

// Where the capture stands in the page: page index = capture index + offset. Searched from
// the last half second of the capture; false when the page is not what plays.
bool Align(const Capture& capture, const std::vector<float>& page,
           const std::vector<float>& pageEnvelope, long& offset) {
  const size_t end = capture.samples.size();
  const size_t span = kOutputRate / 2;
  if (end < span) return false;
  const size_t start = end - span;
  const std::vector<float> env = Envelope(capture.samples, start, end);
  if (Rms(&capture.samples[start], span) < 1e-3) return false;
  // Coarse: the envelope's best place in the page's.
  double best = 1e30;
  size_t bestAt = 0;
  for (size_t at = 0; at + env.size() <= pageEnvelope.size(); ++at) {
    double d = 0;
    for (size_t i = 0; i < env.size() && d < best; ++i) {
      const double e = pageEnvelope[at + i] - env[i];
      d += e * e;
    }
    if (d < best) {
      best = d;
      bestAt = at;
    }
  }
  // Fine: the sample offset within 10 ms of it with the least difference.
  const long coarse = static_cast<long>(bestAt * 480) - static_cast<long>(start);
  double bestFine = 1e30;
  for (long lag = -480; lag <= 480; ++lag) {
    const long o = coarse + lag;
    if (static_cast<long>(start) + o < 0 ||
        static_cast<long>(end) + o > static_cast<long>(page.size()))
      continue;
    double d = 0;
    for (size_t i = start; i < end && d < bestFine; i += 4) {
      const double e = capture.samples[i] - page[static_cast<size_t>(static_cast<long>(i) + o)];
      d += e * e;
    }
    if (d < bestFine) {
      bestFine = d;
      offset = o;
    }
  }
  // The match must explain the capture: what is left is far below the speech.
  double residual = 0;
  double energy = 0;
  for (size_t i = start; i < end; ++i) {
    const double c = capture.samples[i];
    const double e = c - page[static_cast<size_t>(static_cast<long>(i) + offset)];
    residual += e * e;
    energy += c * c;
  }
  return residual < 0.05 * energy;
}

// True when the page's next `ms` from page index `at` are speech, with no pause in them.
bool SpeechAhead(const std::vector<float>& page, size_t at, int ms) {
  const size_t end = at + static_cast<size_t>(ms) * kOutputRate / 1000;
  if (end > page.size()) return false;
  for (size_t w = at; w + 5 * kWindow <= end; w += kWindow) {
    if (Rms(&page[w], 5 * kWindow) < 3e-3) return false;  // 5 ms quieter than -50 dBFS
  }
  return true;
}

// The first 1 ms window at or after `from` where the capture leaves the page's own
// continuation (page index = capture index + offset), looked for as the capture grows;
// -1 when none comes within `ms`.
long Departure(Capture& capture, const std::vector<float>& page, long offset, size_t from, int ms) {
  const auto start = Clock::now();
  for (size_t w = from;; w += kWindow) {
    while (w + kWindow > capture.samples.size()) {
      if (MsSince(start) > ms) return -1;
      Sleep(1);
      capture.Update();
    }
    const long p = static_cast<long>(w) + offset;
    if (p < 0 || static_cast<size_t>(p) + kWindow > page.size()) return static_cast<long>(w);
    double diff = 0;
    for (int i = 0; i < kWindow; ++i) {
      const double e =
          capture.samples[w + static_cast<size_t>(i)] - page[static_cast<size_t>(p + i)];
      diff += e * e;
    }
    const double expected = Rms(&page[static_cast<size_t>(p)], kWindow);
    if (std::sqrt(diff / kWindow) > std::max(0.3 * expected, 1e-3)) return static_cast<long>(w);
  }
}

// The first sample at or after `from` louder than `level`, looked for as the capture
// grows; -1 when none comes within `ms`.
long FirstAbove(Capture& capture, size_t from, float level, int ms) {
  const auto start = Clock::now();
  for (size_t i = from;; ++i) {
    while (i >= capture.samples.size()) {
      if (MsSince(start) > ms) return -1;
      Sleep(1);
      capture.Update();
    }
    if (std::fabs(capture.samples[i]) > level) return static_cast<long>(i);
  }
}

// The first sample after a stretch of `ms` of silence that starts at or after `from`.
long AfterSilence(Capture& capture, size_t from, int silentMs, int ms) {
  const size_t need = static_cast<size_t>(silentMs) * kOutputRate / 1000;
  const auto start = Clock::now();
  size_t quiet = 0;
  for (size_t i = from;; ++i) {
    while (i >= capture.samples.size()) {
      if (MsSince(start) > ms) return -1;
      Sleep(2);
      capture.Update();
    }
    quiet = std::fabs(capture.samples[i]) < kSilent ? quiet + 1 : 0;
    if (quiet >= need) return static_cast<long>(i) + 1;
  }
}

double Ms(long frames) {
  return static_cast<double>(frames) * 1000.0 / kOutputRate;
}

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
  const auto speechComing = [&](long& offset) {
    return WaitFor(
        [&] {
          capture.Update();
          return Align(capture, page, pageEnvelope, offset) &&
                 SpeechAhead(
                     page, capture.samples.size() + static_cast<size_t>(offset) + kOutputRate / 20,
                     500);
        },
        30000);
  };
  for (int round = 0; round < repeats; ++round) {
    const int wholes = Count(server.log(), "q=01 w=1 200");
    display.Key("1");
    if (waitWhole &&
        !WaitFor([&] { return Count(server.log(), "q=01 w=1 200") > wholes; }, 120000)) {
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
    if (!speechComing(offset)) return false;
    k = pressAt("Right");
    frames(out[kKeys[2]], Departure(capture, page, offset, k, 2000), k);
    // F12: the page stops, the time is said; then the page goes on. The page's own fade
    // after the departure is not the time.
    const long fade = 6 * kWindow;
    if (!speechComing(offset)) return false;
    pressed = Clock::now();
    k = pressAt("F12");
    at = Departure(capture, page, offset, k, 3000);
    clock(out[kKeys[3]],
          at < 0 ? -1 : FirstAbove(capture, static_cast<size_t>(at + fade), kAudible, 5000),
          pressed);
    // Backspace, once the page plays again: the parent's first sound.
    if (!speechComing(offset)) return false;
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

  Display display;
  if (display.Name().isEmpty()) {
    std::fprintf(stderr, "keys_while_arriving_bench: needs Xvfb and xdotool\n");
    return 1;
  }
  // Both servers share one cache: the page is spoken once, and both send the same file.
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
      !Session(display, whole, root / "arrived", page, repeats, true, arrived))
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
  std::printf(
      "\ntarget: every p95 within 100 ms of the fully arrived one, and no key without "
      "effect\n");
  return 0;
}
