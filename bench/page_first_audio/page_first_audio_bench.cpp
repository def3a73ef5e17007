// How soon a page is heard: milliseconds from the key press that chooses a page to the
// first audible sample of its speech in the reader's output, for pages of 50, 500 and
// 3000 words, cold (the server has never spoken the page) and warm (cached), at loopback
// speed and over a link of 1 Mbit/s (the server's --throttle 125000).
//
// It drives the real programs: the development server, and the reader in a virtual X
// display (Xvfb) with real key presses (xdotool) and SDL's disk driver writing what it
// says to a file, which is watched for the first sample above -34 dBFS. Key names are
// switched off with Scroll Lock first, so the first sound after the key is the page.
//
// Beside each figure stands the design floor measured in the same run: the time for curl
// to fetch the whole answer (the same page in another voice, so it is cold when ours is)
// plus the time to open the downloaded file for playing — what a reader that waits for
// the whole file could do at best.
//
// Usage: page_first_audio_bench [--words 50,500,3000] [--links loopback,slow]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include "audio/decoder.h"
#include "real_reader.h"
#include "sample_prose.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;
using namespace real_reader;

constexpr long kSlowLink = 125000;  // bytes a second: 1 Mbit/s

// curl fetching the whole speech answer, then the file opened as the player opens it.
double Floor(int port, const std::string& page, const std::string& file) {
  const std::string command = "curl -s -0 -o '" + file +
                              "' -u wqwqw:wqwqw -H 'Vorbu: wqwqw' -w '%{time_total}' " +
                              "'http://127.0.0.1:" + std::to_string(port) +
                              "/cgi-bin/tx.cgi?s=2&v=1&q=" + page + "&ID=1&w=1'";
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return -1;
  double seconds = -1;
  if (std::fscanf(p, "%lf", &seconds) != 1) seconds = -1;
  ::pclose(p);
  const auto start = Clock::now();
  uint32_t error = 0;
  const bool opened = OpenDecoder(file, kOutputRate, error) != nullptr;
  const double openMs = MsSince(start);
  return seconds < 0 || !opened ? -1 : seconds * 1000 + openMs;
}

struct Row {
  std::string link;
  size_t words;
  std::string cache;
  double ours;
  double floor;
};

std::vector<size_t> ParseList(const std::string& text) {
  std::vector<size_t> out;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) out.push_back(std::stoul(item));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::vector<size_t> words = {50, 500, 3000};
  std::vector<std::string> links = {"loopback", "slow"};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--words") words = ParseList(argv[i + 1]);
    if (arg == "--links") {
      links.clear();
      std::istringstream in(argv[i + 1]);
      for (std::string l; std::getline(in, l, ',');) links.push_back(l);
    }
  }
  if (words.empty() || words.size() > 9) {
    std::fprintf(stderr, "page_first_audio_bench: 1 to 9 page lengths\n");
    return 2;
  }

  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  const fs::path pages = root / "pages";
  fs::create_directories(pages);
  std::string menu = "0 Mõõtmine\n";
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string key = std::to_string(i + 1);
    menu += key + "\t" + std::to_string(words[i]) + " sõna\n";
    std::ofstream(pages / ("0" + key + ".txt")) << SampleProse(TR_SERVER_SAMPLE_PAGES, words[i]);
  }
  std::ofstream(pages / "0.txt") << menu;

  Display display;
  if (display.Name().isEmpty()) {
    std::fprintf(stderr, "page_first_audio_bench: needs Xvfb and xdotool\n");
    return 1;
  }

  std::vector<Row> rows;
  for (const std::string& link : links) {
    const fs::path run = root / link;
    fs::create_directories(run / "home");
    std::vector<std::string> serverArgs = {"--pages", pages.string(), "--cache",
                                           (run / "speech").string()};
    if (link == "slow") {
      serverArgs.push_back("--throttle");
      serverArgs.push_back(std::to_string(kSlowLink));
    }
    ServerProcess server(TR_SERVER_EXECUTABLE, serverArgs);
    if (server.port() == 0) {
      std::fprintf(stderr, "page_first_audio_bench: the server did not start\n%s",
                   server.log().c_str());
      return 1;
    }
    const std::string capture = (run / "spoken.raw").string();
    QProcess reader;
    if (!StartReader(reader, display, server.port(), run / "home", capture) ||
        !WaitFor([&] { return Count(server.log(), "q=0 w=0 200") >= 1; }, 120000)) {
      std::fprintf(stderr, "page_first_audio_bench: the reader did not read the root\n");
      return 1;
    }
    display.Key("Scroll_Lock");  // key names off: the first sound after a key is the page
    Sleep(500);

    for (size_t i = 0; i < words.size(); ++i) {
      const std::string key = std::to_string(i + 1);
      const std::string page = "0" + key;
      for (const char* cache : {"cold", "warm"}) {
        const int roots = Count(server.log(), "q=0 w=0 200");
        const int texts = Count(server.log(), "q=" + page + " w=0 200");
        display.Key("space");  // the main menu pauses: silence before the key
        Sleep(400);
        const long offset = FileSize(capture);
        const auto pressed = Clock::now();
        display.Key(QString::fromStdString(key));
        const double ours = FirstAudible(capture, offset, pressed, 20000);
        // The whole page arrives and its text after it; then back to the main menu.
        WaitFor([&] { return Count(server.log(), "q=" + page + " w=0 200") > texts; }, 300000);
        Sleep(300);
        display.Key("BackSpace");
        WaitFor([&] { return Count(server.log(), "q=0 w=0 200") > roots; }, 60000);
        Sleep(600);
        const double floor = Floor(server.port(), page, (run / ("floor" + key + ".mp3")).string());
        rows.push_back({link, words[i], cache, ours, floor});
        std::printf("%-8s %5zu words %-4s  first sound %8.0f ms   floor %8.0f ms\n", link.c_str(),
                    words[i], cache, ours, floor);
        std::fflush(stdout);
      }
    }
    reader.terminate();
    reader.waitForFinished(10000);
  }

  std::printf(
      "\n| link | words | cache | key to first sound (ms) | floor: curl whole + open (ms) |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    std::printf("| %s | %zu | %s | %.0f | %.0f |\n", r.link == "slow" ? "1 Mbit/s" : "loopback",
                r.words, r.cache.c_str(), r.ours, r.floor);
  }
  std::printf("\ntargets: at most 300 ms at loopback, at most 500 ms at 1 Mbit/s; -1 = no sound\n");
  return 0;
}
