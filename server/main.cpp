// talking-reader-server: the development text and speech server. The process around the
// front end: options, the speech synthesis and its log, the port file, signals and an
// orderly stop on SIGINT, SIGTERM or SIGHUP.
#include <pthread.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <thread>

#include "base/file_write.h"
#include "front_end.h"
#include "mp3_encoder.h"
#include "server_options.h"
#include "speech_cache.h"
#include "speech_synth.h"
#include "tx_service.h"

namespace {

// Syntheses run one at a time, so at most this many requests may wait for one or stream
// from one; the other workers stay free for cached answers.
constexpr int kMaxPendingSpeech = 12;
constexpr size_t kWorkerThreads = 16;

std::mutex logMutex;

void logLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex);
  std::fputs((line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Renamed into place, so a reader of the file never sees half a number.
bool writePortFile(const std::string& file, int port) {
  return tr_base::WriteFileAtomically(file, std::to_string(port) + "\n", {.mode = 0644}) == 0;
}

// Synthesises with espeak-ng and LAME for the speech cache, and logs one line per
// synthesis: how much speech, at what cost, how soon its first kMinSpeechBytes came.
SpeechCache::Synthesise loggedSynthesis(EspeakSynth& synth) {
  return [&synth](const SpeechKey& key, const SpeechCache::Output& out) {
    const double cpuStart = threadCpuSeconds();
    const auto wallStart = Clock::now();
    size_t bytes = 0;
    long long minimumMs = -1;
    double audio = 0;
    auto log = [&](const std::string& ending) {
      std::array<char, 300> line{};
      std::snprintf(line.data(), line.size(),
                    "synth s=%s v=%s chars=%zu audio=%.2fs cpu=%.3fs wall=%lldms "
                    "first%zu=%lldms bytes=%zu",
                    key.rate.c_str(), key.voice.c_str(), key.text.size(), audio,
                    threadCpuSeconds() - cpuStart, msSince(wallStart), kMinSpeechBytes, minimumMs,
                    bytes);
      logLine(line.data() + ending);
    };
    bool whole = false;
    std::vector<SentenceMark> marks;
    try {
      whole = speakMp3(
          synth, key.text, key.rate[0] - '0', key.voice[0] - '0',
          [&](std::string_view frames) {
            bytes += frames.size();
            if (minimumMs < 0 && bytes >= kMinSpeechBytes) minimumMs = msSince(wallStart);
            return out(frames);
          },
          &audio, &marks);
    } catch (const std::exception& e) {
      log(std::string(" failed: ") + e.what());
      throw;
    }
    log((whole ? " sentences=" + std::to_string(marks.size()) : std::string(" stopped")));
    if (whole) out.marks(std::move(marks));
  };
}

int run(const ServerOptions& options) {
  struct stat st {};
  if (::stat(options.pagesDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    std::cerr << "talking-reader-server: pages folder " << options.pagesDir << " does not exist\n";
    return 2;
  }

  // Signals are taken by one thread with sigwait; every other thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<EspeakSynth> synth;
  std::unique_ptr<SpeechCache> cache;
  try {
    synth = std::make_unique<EspeakSynth>();
    cache =
        std::make_unique<SpeechCache>(options.cacheDir, loggedSynthesis(*synth), kMaxPendingSpeech,
                                      [](const std::string& w) { logLine("warning: " + w); });
  } catch (const Exception& e) {
    std::cerr << "talking-reader-server: " << e.what() << "\n";
    return 1;
  }

  TxService service(TxConfig{options.accessCodes, options.open, options.encoding},
                    PageStore(options.pagesDir), *cache);
  FrontEnd front(service, {options.throttle, kWorkerThreads, logLine});

  const int port = front.bind(options.bind, options.port);
  if (port == 0) {
    std::cerr << "talking-reader-server: cannot listen on " << options.bind << " port "
              << options.port << "\n";
    return 1;
  }
  if (!options.portFile.empty() && !writePortFile(options.portFile, port)) {
    std::cerr << "talking-reader-server: cannot write port file " << options.portFile << "\n";
    return 1;
  }
  logLine("talking-reader-server: listening on http://" + options.bind + ":" +
          std::to_string(port) + "/cgi-bin/tx.cgi, pages " + options.pagesDir + ", cache " +
          cache->dir() + (options.open ? ", open to all" : ""));

  // The signal thread polls so that it also ends when the server stops by itself; no
  // signal is ever sent between threads.
  std::atomic<bool> serving{true};
  std::thread signalThread([&front, &cache, &serving, stopSignals] {
    const timespec poll{0, 200L * 1000 * 1000};
    while (serving) {
      if (sigtimedwait(&stopSignals, nullptr, &poll) > 0) {
        // Streamed bodies are broken off first: once the library stops, it would end them
        // as if they were complete.
        front.beginStop();
        cache->stop();
        front.stop();
        return;
      }
    }
  });
  const bool ok = front.run();
  serving = false;
  signalThread.join();
  logLine("talking-reader-server: stopped");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  ServerOptions options;
  try {
    options = parseServerOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::cerr << "talking-reader-server: " << e.what() << "\n";
    return 2;
  }
  if (options.help) {
    std::cout << serverUsage();
    return 0;
  }
  if (options.version) {
    std::cout << serverVersion() << "\n";
    return 0;
  }
  return run(options);
}
