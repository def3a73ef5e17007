// talking-reader-server: the development text and speech server. Wires the page service
// to cpp-httplib's threaded server, streams speech while it is synthesised, logs one line
// per request on standard error and stops cleanly on SIGINT or SIGTERM.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>

#include "base/file_write.h"
#include "body_pacer.h"
#include "connection_reset.h"
#include "mp3_encoder.h"
#include "server_options.h"
#include "speech_cache.h"
#include "speech_synth.h"
#include "tx_service.h"

namespace {

// Worker threads of the HTTP server. Synthesis runs one at a time, so at most
// kMaxPendingSpeech workers may wait for it or stream from it; the rest stay free for
// cached answers.
constexpr size_t kWorkerThreads = 16;
constexpr int kMaxPendingSpeech = 12;
// Bytes handed to the connection at most per call of a body's provider, and how long one
// call waits for a synthesis to make more before the library may look for a stop.
constexpr size_t kBodyChunk = 64 * 1024;
constexpr std::chrono::milliseconds kStreamPoll{100};
// Header lines are limited to 8 KiB each by the HTTP library; this bounds them together.
constexpr size_t kMaxHeaderBytes = 16 * 1024;
constexpr size_t kMaxHeaderCount = 64;

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

// What the request line of the log tells beyond the request and the response. The HTTP
// library runs a request, its body's provider and the logger on one worker thread.
struct RequestLog {
  Clock::time_point start;
  bool provided = false;  // the body went out through a provider; bodyBytes counts it
  size_t bodyBytes = 0;
  long long minimumMs = -1;  // when the first kMinSpeechBytes of a streamed body had gone
  std::string outcome;
};
thread_local RequestLog requestLog;

// Streamed bodies still being sent. A stop breaks them off with a reset before the HTTP
// library closes their connections in order, which would make them look complete.
std::atomic<bool> stopRequested{false};
std::atomic<int> openStreams{0};

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Renamed into place, so a reader of the file never sees half a number.
bool writePortFile(const std::string& file, int port) {
  return tr_base::WriteFileAtomically(file, std::to_string(port) + "\n", {.mode = 0644}) == 0;
}

std::optional<std::string> header(const httplib::Request& req, const char* name) {
  if (!req.has_header(name)) return std::nullopt;
  return req.get_header_value(name);
}

// Sends a speech answer while its synthesis goes on. The body has no length: it ends
// with the connection, for a request of any HTTP version. A synthesis that fails, or a
// stop, breaks the connection off with a reset, so that the client sees a failed
// download rather than a short answer that looks whole.
void streamBody(const httplib::Request& req, httplib::Response& res, SpeechAnswer answer,
                const std::string& contentType, long throttle) {
  res.set_header("Connection", "close");
  requestLog.provided = true;
  requestLog.outcome = " streamed";
  ConnectionAddress connection{req.local_addr, req.local_port, req.remote_addr, req.remote_port};
  auto speech = std::make_shared<SpeechAnswer>(std::move(answer));
  auto pacer = std::make_shared<BodyPacer>(throttle);
  ++openStreams;
  // Lives as long as the provider, which the library keeps until the response is done.
  std::shared_ptr<void> open(nullptr, [](void*) { --openStreams; });
  auto breakOff = [connection](const char* why) {
    resetConnection(connection);
    requestLog.outcome = std::string(" broken off: ") + why;
    return false;
  };
  res.set_content_provider(
      contentType, [speech, pacer, open, breakOff](size_t offset, httplib::DataSink& sink) {
        if (stopRequested) return breakOff("the server is stopping");
        SpeechAnswer::Chunk chunk = speech->read(offset, pacer->next(kBodyChunk), kStreamPoll);
        switch (chunk.status) {
          case SpeechAnswer::Status::Waiting:
            return true;
          case SpeechAnswer::Status::Failed:
            return breakOff(stopRequested ? "the server is stopping" : "the synthesis failed");
          case SpeechAnswer::Status::End:
            // Returning false makes the library close the connection, which ends the
            // body; it would keep an HTTP/1.1 connection open.
            sink.done();
            return false;
          case SpeechAnswer::Status::Data:
            break;
        }
        pacer->waitUntilCarried(offset + chunk.bytes.size());
        if (!sink.write(chunk.bytes.data(), chunk.bytes.size())) {
          requestLog.outcome = " broken off: the client went away";
          return false;
        }
        requestLog.bodyBytes += chunk.bytes.size();
        if (requestLog.minimumMs < 0 && requestLog.bodyBytes >= kMinSpeechBytes)
          requestLog.minimumMs = msSince(requestLog.start);
        return true;
      });
}

// Sends a body of known length, read by `read` (offset, at most so many bytes) as it goes
// out, no faster than `throttle` bytes a second when that is set.
void bodyWithLength(httplib::Response& res, size_t size, const std::string& contentType,
                    long throttle, std::function<std::string(size_t, size_t)> read) {
  requestLog.provided = true;
  auto pacer = std::make_shared<BodyPacer>(throttle);
  res.set_content_provider(
      size, contentType,
      [read = std::move(read), pacer](size_t offset, size_t length, httplib::DataSink& sink) {
        std::string bytes = read(offset, pacer->next(std::min(length, kBodyChunk)));
        // Nothing to send: the library ends the connection, short of
        // the length it announced.
        if (bytes.empty()) return false;
        pacer->waitUntilCarried(offset + bytes.size());
        if (!sink.write(bytes.data(), bytes.size())) return false;
        requestLog.bodyBytes += bytes.size();
        return true;
      });
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
    auto synthesise = [&synth](const SpeechKey& key, const SpeechCache::Output& out) {
      double cpuStart = threadCpuSeconds();
      auto wallStart = Clock::now();
      size_t bytes = 0;
      long long minimumMs = -1;
      double audio = 0;
      auto log = [&](const std::string& ending) {
        char line[300];
        std::snprintf(line, sizeof line,
                      "synth s=%s v=%s chars=%zu audio=%.2fs cpu=%.3fs wall=%lldms "
                      "first%zu=%lldms bytes=%zu",
                      key.rate.c_str(), key.voice.c_str(), key.text.size(), audio,
                      threadCpuSeconds() - cpuStart, msSince(wallStart), kMinSpeechBytes, minimumMs,
                      bytes);
        logLine(line + ending);
      };
      bool whole = false;
      try {
        whole = speakMp3(
            *synth, key.text, key.rate[0] - '0', key.voice[0] - '0',
            [&](std::string_view frames) {
              bytes += frames.size();
              if (minimumMs < 0 && bytes >= kMinSpeechBytes) minimumMs = msSince(wallStart);
              return out(frames);
            },
            &audio);
      } catch (const std::exception& e) {
        log(std::string(" failed: ") + e.what());
        throw;
      }
      log(whole ? "" : " stopped");
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
    requestLog = RequestLog{};
    requestLog.start = Clock::now();
    size_t bytes = 0;
    for (const auto& [name, value] : req.headers) bytes += name.size() + value.size() + 4;
    if (bytes > kMaxHeaderBytes || req.headers.size() > kMaxHeaderCount) {
      res.status = 431;
      res.set_content("Request header fields too large\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  const long throttle = options.throttle;
  server.Get("/cgi-bin/tx.cgi", [&service, throttle](const httplib::Request& req,
                                                     httplib::Response& res) {
    TxResponse answer =
        service.handle(TxRequest{req.target, header(req, "Authorization"), header(req, "Vorbu")});
    for (const auto& [name, value] : answer.headers) res.set_header(name, value);
    // A status left unset lets the library answer a Range header of a body of known
    // length as a partial answer (206). A streamed body has no length to take a range of,
    // so it is always whole, and says so.
    const bool streamed = answer.speech && !answer.speech->size();
    if (answer.status != 200 || streamed) res.status = answer.status;
    if (streamed) {
      streamBody(req, res, std::move(*answer.speech), answer.contentType, throttle);
    } else if (answer.speech) {
      // A stored entry goes out from its file as it is read: no wait for reading all of
      // a long page's speech first.
      auto speech = std::make_shared<SpeechAnswer>(std::move(*answer.speech));
      bodyWithLength(
          res, *speech->size(), answer.contentType, throttle, [speech](size_t offset, size_t n) {
            SpeechAnswer::Chunk chunk = speech->read(offset, n, {});
            return chunk.status == SpeechAnswer::Status::Data ? chunk.bytes : std::string();
          });
    } else if (throttle > 0 && !answer.body.empty()) {
      auto body = std::make_shared<std::string>(std::move(answer.body));
      bodyWithLength(res, body->size(), answer.contentType, throttle,
                     [body](size_t offset, size_t n) { return body->substr(offset, n); });
    } else {
      res.set_content(std::move(answer.body), answer.contentType.c_str());
    }
  });

  // The library adds a Keep-Alive header even to answers that end with the connection.
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.get_header_value("Connection") == "close") res.headers.erase("Keep-Alive");
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
    // Our own answers (a body, or one still to come from a provider) stay as they are.
    if (!res.body.empty() || res.has_header("Content-Type")) return;
    if (res.status == 404)
      res.set_content("Lehekülge ei leitud.\n", "text/plain; charset=utf-8");
    else
      res.set_content("Viga " + std::to_string(res.status) + "\n", "text/plain; charset=utf-8");
  });

  server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
    TxQuery q = parseTxQuery(req.target);
    size_t bytes = requestLog.provided ? requestLog.bodyBytes : res.body.size();
    char line[300];
    std::snprintf(line, sizeof line, "%s q=%s w=%s %d %zu bytes %lld ms",
                  printableName(req.method, 10).c_str(), printableName(q.page).c_str(),
                  q.speech ? "1" : "0", res.status, bytes, msSince(requestLog.start));
    std::string extra = requestLog.outcome;
    if (requestLog.minimumMs >= 0)
      extra += ", " + std::to_string(kMinSpeechBytes) + " bytes after " +
               std::to_string(requestLog.minimumMs) + " ms";
    logLine(line + extra);
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
  std::thread signalThread([&server, &cache, &stopping, stopSignals] {
    const timespec poll{0, 200 * 1000 * 1000};
    while (!stopping) {
      if (sigtimedwait(&stopSignals, nullptr, &poll) > 0) {
        // Streamed bodies are broken off first (each within one poll of its provider):
        // once the library stops, it would end them as if they were complete.
        stopRequested = true;
        cache->stop();
        auto deadline = Clock::now() + std::chrono::seconds(2);
        while (openStreams > 0 && Clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
