// How quiet the real reader is while nothing is heard: wake-ups per second of its whole
// process (every thread) and its share of one core, in the situations where a user leaves
// it waiting, beside the same process while it reads (the reference).
//
// It drives the real programs: the development server with a page of its own, and the
// reader in a virtual X display (Xvfb) with real key presses (xdotool), playing through the
// benchmark's own sound server (private_sound_server.h), so that SDL's threads and the
// sound server's connection are those of a desktop. The situations:
//  - reading a page (the reference);
//  - the page paused with Space;
//  - a question waiting for its answer (Escape at the main menu);
//  - at the main menu, which the reader reads again each time its reading ends.
// Each is measured for 10 s; a quiet one from once the reader has closed its sound output
// (or, for a reader that never does, 12 s after the key), and before the first idle
// reminder (20 s after the last sound). The busiest threads are named beside each figure.
//
// Usage: reader_idle_bench [--reader PATH] [--server PATH]   (defaults: this build's)
#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "page_first_audio/real_reader.h"
#include "private_sound_server.h"
#include "sample_prose.h"
#include "server_process.h"
#include "thread_wakeups.h"

namespace {

namespace fs = std::filesystem;
using namespace real_reader;

// Whether the process has an SDL audio thread, that is an open sound output.
bool OutputOpen(const std::string& pid) {
  for (const auto& [tid, c] : benchaudio::ThreadsOf(pid))
    if (c.name.rfind("SDLAudio", 0) == 0) return true;
  return false;
}

// The three threads that woke most often, with their rates.
std::string Busiest(const benchaudio::Rates& r) {
  std::vector<std::pair<double, std::string>> byRate;
  for (const auto& [tid, rate] : r.wakeups) byRate.emplace_back(rate, r.names.at(tid));
  std::sort(byRate.rbegin(), byRate.rend());
  std::string out;
  for (std::size_t i = 0; i < byRate.size() && i < 3; ++i) {
    char item[64];
    std::snprintf(item, sizeof item, "%s%s %.1f", i ? ", " : "", byRate[i].second.c_str(),
                  byRate[i].first);
    out += item;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::string readerPath = TR_READER_EXECUTABLE;
  std::string serverPath = TR_SERVER_EXECUTABLE;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--reader") readerPath = argv[i + 1];
    if (arg == "--server") serverPath = argv[i + 1];
  }

  QTemporaryDir dir;
  const fs::path root = dir.path().toStdString();
  fs::create_directories(root / "pages");
  fs::create_directories(root / "home");
  fs::create_directories(root / "sound");
  std::ofstream(root / "pages/0.txt") << "0 Mõõtmine\n1\tPikk tekst\n";
  std::ofstream(root / "pages/01.txt") << SampleProse(TR_SERVER_SAMPLE_PAGES, 600);

  benchaudio::PrivateSoundServer sound((root / "sound").string(), true);
  if (!sound.Ok()) {
    std::fprintf(stderr, "reader_idle_bench: pulseaudio did not start\n");
    return 1;
  }
  Display display;
  if (display.Name().isEmpty()) {
    std::fprintf(stderr, "reader_idle_bench: needs Xvfb and xdotool\n");
    return 1;
  }
  ServerProcess server(
      serverPath, {"--pages", (root / "pages").string(), "--cache", (root / "speech").string()});
  if (server.port() == 0) {
    std::fprintf(stderr, "reader_idle_bench: the server did not start\n%s", server.log().c_str());
    return 1;
  }
  QProcess reader;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("HOME", QString::fromStdString((root / "home").string()));
  env.insert("XDG_CACHE_HOME", QString::fromStdString((root / "home/cache").string()));
  env.insert("XDG_CONFIG_HOME", QString::fromStdString((root / "home/config").string()));
  env.insert("DISPLAY", display.Name());
  env.insert("QT_QPA_PLATFORM", "xcb");
  // No session bus: the reader goes on with its built-in access code, and nothing is
  // started on the machine's behalf.
  env.insert("DBUS_SESSION_BUS_ADDRESS",
             QString::fromStdString("unix:path=" + (root / "no-bus").string()));
  for (const auto& [name, value] : sound.ClientEnvironment()) env.insert(name, value);
  reader.setProcessEnvironment(env);
  reader.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  reader.start(QString::fromStdString(readerPath),
               {"--server", QString("127.0.0.1:%1").arg(server.port())});
  if (!reader.waitForStarted(5000) ||
      !display.Tool({"search", "--sync", "--onlyvisible", "--name", "Talking Reader", "windowfocus",
                     "--sync"}) ||
      !WaitFor([&] { return Count(server.log(), "q=0 w=0 200") >= 1; }, 120000)) {
    std::fprintf(stderr, "reader_idle_bench: the reader did not read the main menu\n");
    return 1;
  }
  const std::string pid = std::to_string(reader.processId());
  // Measures 10 s; with `quiet`, from once the output has closed (at most 12 s after the
  // key: a reader that never closes it is measured then).
  const auto measure = [&](const char* what, bool quiet) {
    const auto start = Clock::now();
    Sleep(1000);
    if (quiet) WaitFor([&] { return !OutputOpen(pid); }, 11000);
    const double after = std::chrono::duration<double>(Clock::now() - start).count();
    const bool closed = !OutputOpen(pid);
    const benchaudio::Rates r = benchaudio::MeasureRates(pid, 10.0);
    const std::string output =
        !quiet   ? (OutputOpen(pid) ? "open" : "closed")
        : closed ? "closed " + std::to_string(static_cast<int>(after + 0.5)) + " s after the key"
                 : "open";
    std::printf("| %s | %.1f | %.3f | %s | %s |\n", what, r.totalWakeups, r.cpuPercent,
                output.c_str(), Busiest(r).c_str());
    std::fflush(stdout);
  };

  std::printf("talking-reader: %s\n\n", readerPath.c_str());
  std::printf(
      "| situation | wake-ups per second, whole process | CPU, %% of one core | sound output | "
      "busiest threads (wake-ups per second) |\n");
  std::printf("|---|---|---|---|---|\n");

  // Reading: the page, while its speech plays.
  display.Key("1");
  WaitFor([&] { return Count(server.log(), "q=01 w=0 200") >= 1; }, 120000);
  measure("reading a page (the reference)", false);
  display.Key("space");
  measure("the page paused", true);

  // The question at the main menu: Home (the paused page stops, the menu is read), then
  // Escape; its prompt plays and then it waits.
  display.Key("Home");
  WaitFor([&] { return Count(server.log(), "q=0 w=1 200") >= 2; }, 60000);
  Sleep(500);
  const int questions = Count(server.log(), "q=1lopetamine.txt w=1");
  display.Key("Escape");
  WaitFor([&] { return Count(server.log(), "q=1lopetamine.txt w=1") > questions; }, 60000);
  measure("a question waiting for its answer", true);

  // Any key but 1 stays: the main menu, which is read again each time its reading ends, so
  // that it never rests longer than a fetch between two readings.
  const int readings = Count(server.log(), "q=0 w=1 200");
  display.Key("2");
  measure("at the main menu", false);
  std::printf("(the main menu was read %d times in those 11 s)\n",
              Count(server.log(), "q=0 w=1 200") - readings);

  std::printf(
      "\ntargets while nothing is heard: at most 3 wake-ups a second (the one-second timer is\n"
      "allowed) and under 0.05 %% of a core\n");
  reader.terminate();
  reader.waitForFinished(10000);
  return 0;
}
