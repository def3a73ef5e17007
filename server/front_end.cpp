#include "front_end.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <utility>

#include "body_pacer.h"
#include "connection_reset.h"
#include "mp3_encoder.h"
#include "server_texts.h"
#include "tx_query.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bytes handed to the connection at most per call of a body's provider, and how long one
// call waits for a synthesis to make more before the library may look for a stop.
constexpr size_t kBodyChunk = size_t{64} * 1024;
constexpr std::chrono::milliseconds kStreamPoll{100};
// Header lines are limited to 8 KiB each by the HTTP library; this bounds them together.
constexpr size_t kMaxHeaderBytes = size_t{16} * 1024;
constexpr size_t kMaxHeaderCount = 64;
// How long a stop waits for streamed bodies to be broken off.
constexpr std::chrono::seconds kStreamsEndWait{2};

const char* const kPlainText = "text/plain; charset=utf-8";

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What the request's log line tells beyond the request and the response. The HTTP library
// runs a request's handlers, its body's provider and the logger on one worker thread, and
// a worker serves one request at a time.
struct RequestLog {
  Clock::time_point start;
  bool provided = false;  // the body went out through a provider; bodyBytes counts it
  size_t bodyBytes = 0;
  long long minimumMs = -1;  // when the first kMinSpeechBytes of a streamed body had gone
  std::string outcome;
};
thread_local RequestLog requestLog;

std::optional<std::string> header(const httplib::Request& req, const char* name) {
  if (!req.has_header(name)) return std::nullopt;
  return req.get_header_value(name);
}

void setText(httplib::Response& res, const Message& message) {
  res.set_content(message.text + "\n", kPlainText);
}

}  // namespace

struct FrontEnd::Impl {
  Impl(TxService& service, Settings settings) : service(service), settings(std::move(settings)) {}

  void log(const std::string& line) const {
    if (settings.log) settings.log(line);
  }

  void routes();
  void answer(const httplib::Request& req, httplib::Response& res);
  void streamBody(const httplib::Request& req, httplib::Response& res, SpeechAnswer speech,
                  const std::string& contentType);
  void bodyWithLength(httplib::Response& res, size_t size, const std::string& contentType,
                      std::function<std::string(size_t, size_t)> read);
  void streamEnded();

  TxService& service;
  const Settings settings;
  httplib::Server server;

  // Set once a stop has begun: streamed bodies break off at their next poll.
  std::atomic<bool> stopping{false};
  std::mutex mutex;
  std::condition_variable changed;
  // Guarded by `mutex`:
  int openStreams = 0;   // streamed bodies still being sent
  bool started = false;  // run() has begun to serve
  bool ran = false;      // run() has returned
};

void FrontEnd::Impl::routes() {
  server.new_task_queue = [this] { return new httplib::ThreadPool(settings.workerThreads); };
  server.set_read_timeout(10, 0);
  server.set_write_timeout(30, 0);
  server.set_keep_alive_timeout(5);
  server.set_keep_alive_max_count(1000);
  server.set_payload_max_length(size_t{64} * 1024);
  server.set_tcp_nodelay(true);

  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    requestLog = RequestLog{};
    requestLog.start = Clock::now();
    size_t bytes = 0;
    for (const auto& [name, value] : req.headers) bytes += name.size() + value.size() + 4;
    if (bytes > kMaxHeaderBytes || req.headers.size() > kMaxHeaderCount) {
      res.status = 431;
      setText(res, headersTooLargeMessage());
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  // The routes. Every other path is answered by the error handler below (404).
  server.Get("/cgi-bin/tx.cgi",
             [this](const httplib::Request& req, httplib::Response& res) { answer(req, res); });

  // The library adds a Keep-Alive header even to answers that end with the connection.
  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.get_header_value("Connection") == "close") res.headers.erase("Keep-Alive");
  });

  server.set_exception_handler(
      [this](const httplib::Request&, httplib::Response& res, const std::exception_ptr& ep) {
        std::string what = "unknown error";
        try {
          std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        // The text of an exception may name files, libraries or the server's state: it is
        // for the log, never for a client.
        log("error: " + what);
        res.status = 500;
        setText(res, serverErrorMessage());
      });

  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    // A request that could not be read leaves the connection in an unknown state.
    if (res.status == 400 || res.status == 414 || res.status == 431)
      res.set_header("Connection", "close");
    // Our own answers (a body, or one still to come from a provider) stay as they are.
    if (!res.body.empty() || res.has_header("Content-Type")) return;
    if (res.status == 404)
      setText(res, pageNotFoundMessage(""));
    else
      setText(res, httpErrorMessage(res.status));
  });

  server.set_logger([this](const httplib::Request& req, const httplib::Response& res) {
    if (!settings.log) return;
    TxQuery q = parseTxQuery(req.target);
    size_t bytes = requestLog.provided ? requestLog.bodyBytes : res.body.size();
    std::string line = printableName(req.method, 10) + " q=" + printableName(q.page) + " w=" +
                       (q.map      ? "2"
                        : q.speech ? "1"
                                   : "0") +
                       " " + std::to_string(res.status) + " " + std::to_string(bytes) + " bytes " +
                       std::to_string(msSince(requestLog.start)) + " ms" + requestLog.outcome;
    if (requestLog.minimumMs >= 0)
      line += ", " + std::to_string(kMinSpeechBytes) + " bytes after " +
              std::to_string(requestLog.minimumMs) + " ms";
    log(line);
  });
}

void FrontEnd::Impl::answer(const httplib::Request& req, httplib::Response& res) {
  TxResponse answer =
      service.handle(TxRequest{req.target, header(req, "Authorization"), header(req, "Vorbu")});
  for (const auto& [name, value] : answer.headers) res.set_header(name, value);
  // A status left unset lets the library answer a Range header of a body of known length
  // as a partial answer (206). A streamed body has no length to take a range of, so it is
  // always whole, and says so.
  const bool streamed = answer.speech && !answer.speech->size();
  if (answer.status != 200 || streamed) res.status = answer.status;
  if (streamed) {
    streamBody(req, res, std::move(*answer.speech), answer.contentType);
  } else if (answer.speech) {
    // A stored entry goes out from its file as it is read: no wait for reading all of a
    // long page's speech first.
    auto speech = std::make_shared<SpeechAnswer>(std::move(*answer.speech));
    bodyWithLength(res, *speech->size(), answer.contentType, [speech](size_t offset, size_t n) {
      SpeechAnswer::Chunk chunk = speech->read(offset, n, {});
      return chunk.status == SpeechAnswer::Status::Data ? chunk.bytes : std::string();
    });
  } else if (settings.throttle > 0 && !answer.body.empty()) {
    auto body = std::make_shared<std::string>(std::move(answer.body));
    bodyWithLength(res, body->size(), answer.contentType,
                   [body](size_t offset, size_t n) { return body->substr(offset, n); });
  } else {
    res.set_content(answer.body, answer.contentType);
  }
}

// Sends a speech answer while its synthesis goes on. The body has no length: it ends with
// the connection, for a request of any HTTP version. A synthesis that fails, or a stop,
// breaks the connection off with a reset, so that the client sees a failed download
// rather than a short answer that looks whole.
void FrontEnd::Impl::streamBody(const httplib::Request& req, httplib::Response& res,
                                SpeechAnswer speech, const std::string& contentType) {
  res.set_header("Connection", "close");
  requestLog.provided = true;
  requestLog.outcome = " streamed";
  ConnectionAddress connection{req.local_addr, req.local_port, req.remote_addr, req.remote_port};
  auto shared = std::make_shared<SpeechAnswer>(std::move(speech));
  auto pacer = std::make_shared<BodyPacer>(settings.throttle);
  {
    std::lock_guard<std::mutex> lock(mutex);
    ++openStreams;
  }
  // Lives as long as the provider, which the library keeps until the response is done.
  std::shared_ptr<void> open(nullptr, [this](void*) { streamEnded(); });
  auto breakOff = [connection](const char* why) {
    resetConnection(connection);
    requestLog.outcome = std::string(" broken off: ") + why;
    return false;
  };
  res.set_content_provider(
      contentType, [this, shared, pacer, open, breakOff](size_t offset, httplib::DataSink& sink) {
        if (stopping) return breakOff("the server is stopping");
        SpeechAnswer::Chunk chunk = shared->read(offset, pacer->next(kBodyChunk), kStreamPoll);
        switch (chunk.status) {
          case SpeechAnswer::Status::Waiting:
            return true;
          case SpeechAnswer::Status::Failed:
            return breakOff(stopping ? "the server is stopping" : "the synthesis failed");
          case SpeechAnswer::Status::End:
            // Returning false makes the library close the connection, which ends the body; it
            // would keep an HTTP/1.1 connection open.
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

void FrontEnd::Impl::streamEnded() {
  std::lock_guard<std::mutex> lock(mutex);
  --openStreams;
  changed.notify_all();
}

// Sends a body of known length, read by `read` (offset, at most so many bytes) as it goes
// out, no faster than the throttle when that is set.
void FrontEnd::Impl::bodyWithLength(httplib::Response& res, size_t size,
                                    const std::string& contentType,
                                    std::function<std::string(size_t, size_t)> read) {
  requestLog.provided = true;
  auto pacer = std::make_shared<BodyPacer>(settings.throttle);
  res.set_content_provider(
      size, contentType,
      [read = std::move(read), pacer](size_t offset, size_t length, httplib::DataSink& sink) {
        std::string bytes = read(offset, pacer->next(std::min(length, kBodyChunk)));
        // Nothing to send: the library ends the connection, short of the length it
        // announced.
        if (bytes.empty()) return false;
        pacer->waitUntilCarried(offset + bytes.size());
        if (!sink.write(bytes.data(), bytes.size())) return false;
        requestLog.bodyBytes += bytes.size();
        return true;
      });
}

FrontEnd::FrontEnd(TxService& service, Settings settings)
    : impl_(std::make_unique<Impl>(service, std::move(settings))) {
  impl_->routes();
}

FrontEnd::~FrontEnd() = default;

int FrontEnd::bind(const std::string& host, int port) {
  if (port == 0) return std::max(impl_->server.bind_to_any_port(host), 0);
  return impl_->server.bind_to_port(host, port) ? port : 0;
}

bool FrontEnd::run() {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->stopping) return true;
    impl_->started = true;
  }
  const bool ok = impl_->server.listen_after_bind();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->ran = true;
  impl_->changed.notify_all();
  return ok;
}

void FrontEnd::beginStop() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->stopping = true;
}

void FrontEnd::stop() {
  beginStop();
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait_for(lock, kStreamsEndWait, [this] { return impl_->openStreams == 0; });
  // The library ignores a stop that comes before it has begun to serve: run() may have
  // been called a moment ago.
  while (impl_->started && !impl_->ran && !impl_->server.is_running())
    impl_->changed.wait_for(lock, std::chrono::milliseconds(10));
  if (impl_->started && !impl_->ran) impl_->server.stop();
}
