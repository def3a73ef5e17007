// The server's HTTP front end: its routes, the answers of the page service put on the wire
// (a fixed body, a stored entry read as it goes out, or speech streamed while it is
// synthesised), the answers to requests the HTTP library refuses, one log line per
// request, and a stop that breaks off the streams still being sent.
//
// A route is a path and the service that answers it; the front end knows nothing of pages
// or speech beyond the TxResponse it is handed, so a new kind of answer of the service
// (the sentence map, say) needs no change here.
//
// No text of an exception ever reaches a client: a handler that throws is answered with
// the server's own error page, and the exception's text goes to the log.
//
// Threading: the HTTP library's worker threads run the handlers, many at once; the
// service must be thread-safe. run() blocks its caller; beginStop() and stop() may be
// called from any thread, once run() has been called or before.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "tx_service.h"

class FrontEnd {
 public:
  struct Settings {
    // Every body goes no faster than this many bytes a second (0: as fast as it can).
    long throttle = 0;
    // Worker threads of the HTTP server. Requests beyond them wait for a free one.
    size_t workerThreads = 16;
    // Takes one line per request once its answer has gone out, and one per error. Called
    // on worker threads; may be called by several at once. Empty: nothing is logged.
    std::function<void(const std::string&)> log;
  };

  FrontEnd(TxService& service, Settings settings);
  ~FrontEnd();
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;

  // Binds `host` and `port` (0: any free port). Returns the port, or 0 when it cannot.
  int bind(const std::string& host, int port);
  // Serves on the bound port until stop(). False when the server could not serve.
  bool run();

  // Streamed bodies still being sent are broken off with a reset, each within a tenth of
  // a second: a client must never take a part for the whole. Returns at once.
  void beginStop();
  // beginStop(), then waits up to two seconds for those bodies to end and stops serving:
  // run() returns. Requests that are still being answered are finished first.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
