// talking-reader-server: the development text and speech server. Wires the page service
// to cpp-httplib's threaded server, logs one line per request on standard error and stops
// cleanly on SIGINT or SIGTERM.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <thread>

#include "mp3_encoder.h"
#include "server_options.h"
#include "speech_cache.h"
#include "speech_synth.h"
#include "tx_service.h"

namespace {

// Worker threads of the HTTP server. Synthesis runs one at a time, so at most
// kMaxPendingSpeech workers may wait for it; the rest stay free for cached answers.
constexpr size_t kWorkerThreads = 16;
constexpr int kMaxPendingSpeech = 12;
// Header lines are limited to 8 KiB each by the HTTP library; this bounds them together.
constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr size_t kMaxHeaderCount = 64;

std::mutex logMutex;

void logLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(logMutex);
  std::fputs((line + "\n").c_str(), stderr);
  std::fflush(stderr);
}

thread_local std::chrono::steady_clock::time_point requestStart;

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool writePortFile(const std::string& file, int port) {
  std::string temp = file + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "w");
  if (!f) return false;
  bool ok = std::fprintf(f, "%d\n", port) > 0;
  ok = std::fclose(f) == 0 && ok;
  // Renamed into place, so a reader of the file never sees half a number.
  return ok && std::rename(temp.c_str(), file.c_str()) == 0;
}

std::optional<std::string> header(const httplib::Request& req, const char* name) {
  if (!req.has_header(name)) return std::nullopt;
  return req.get_header_value(name);
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
  ::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<EspeakSynth> synth;
  std::unique_ptr<SpeechCache> cache;
  try {
    synth = std::make_unique<EspeakSynth>();
    auto synthesise = [&synth](const SpeechKey& key) {
      double cpuStart = threadCpuSeconds();
      auto wallStart = std::chrono::steady_clock::now();
      Pcm pcm = synth->synthesise(key.text, key.rate[0] - '0', key.voice[0] - '0');
      std::string mp3 = encodeMp3(pcm);
      double cpu = threadCpuSeconds() - cpuStart;
      auto wallMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - wallStart)
                        .count();
      char line[200];
      std::snprintf(line, sizeof line,
                    "synth s=%s v=%s chars=%zu audio=%.2fs cpu=%.3fs wall=%lldms bytes=%zu",
                    key.rate.c_str(), key.voice.c_str(), key.text.size(), pcm.seconds(), cpu,
                    static_cast<long long>(wallMs), mp3.size());
      logLine(line);
      return mp3;
    };
    cache = std::make_unique<SpeechCache>(options.cacheDir, synthesise, kMaxPendingSpeech,
                                          [](const std::string& w) { logLine("warning: " + w); });
  } catch (const Exception& e) {
    std::cerr << "talking-reader-server: " << e.what() << "\n";
    return 1;
  }

  TxService service(TxConfig{options.accessCodes, options.open, options.encoding},
                    PageStore(options.pagesDir), *cache);

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server.set_read_timeout(10, 0);
  server.set_write_timeout(30, 0);
  server.set_keep_alive_timeout(5);
  server.set_keep_alive_max_count(1000);
  server.set_payload_max_length(64 * 1024);
  server.set_tcp_nodelay(true);

  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    requestStart = std::chrono::steady_clock::now();
    size_t bytes = 0;
    for (const auto& [name, value] : req.headers) bytes += name.size() + value.size() + 4;
    if (bytes > kMaxHeaderBytes || req.headers.size() > kMaxHeaderCount) {
      res.status = 431;
      res.set_content("Request header fields too large\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.Get("/cgi-bin/tx.cgi", [&service](const httplib::Request& req, httplib::Response& res) {
    TxResponse answer =
        service.handle(TxRequest{req.target, header(req, "Authorization"), header(req, "Vorbu")});
    res.status = answer.status;
    for (const auto& [name, value] : answer.headers) res.set_header(name, value);
    res.set_content(std::move(answer.body), answer.contentType.c_str());
  });

  server.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown error";
        try {
          std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        logLine("error: " + what);
        res.status = 500;
        res.set_content("Serveri viga: " + what + "\n", "text/plain; charset=utf-8");
      });

  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    // A request that could not be read leaves the connection in an unknown state.
    if (res.status == 400 || res.status == 414 || res.status == 431)
      res.set_header("Connection", "close");
    if (!res.body.empty()) return;
    if (res.status == 404)
      res.set_content("Lehekülge ei leitud.\n", "text/plain; charset=utf-8");
    else
      res.set_content("Viga " + std::to_string(res.status) + "\n", "text/plain; charset=utf-8");
  });

  server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - requestStart)
                  .count();
    TxQuery q = parseTxQuery(req.target);
    char line[300];
    std::snprintf(line, sizeof line, "%s q=%s w=%s %d %zu bytes %lld ms",
                  printableName(req.method, 10).c_str(), printableName(q.page).c_str(),
                  q.speech ? "1" : "0", res.status, res.body.size(), static_cast<long long>(ms));
    logLine(line);
  });

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port(options.bind);
    if (port < 0) port = 0;
  } else if (!server.bind_to_port(options.bind, port)) {
    port = 0;
  }
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
  std::atomic<bool> stopping{false};
  std::thread signalThread([&server, &stopping, stopSignals] {
    const timespec poll{0, 200 * 1000 * 1000};
    while (!stopping) {
      if (sigtimedwait(&stopSignals, nullptr, &poll) > 0) {
        server.stop();
        return;
      }
    }
  });
  bool ok = server.listen_after_bind();
  stopping = true;
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
