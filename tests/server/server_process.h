// Runs the real talking-reader-server executable for a test: on port 0 of the loopback,
// with a port file, its standard error captured, and stops it on destruction. Also a raw
// HTTP/1.0 client that sends exactly what the reader sends.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct HttpAnswer {
  bool ok = false;     // a complete response arrived and the server closed the connection
  bool reset = false;  // the server reset the connection (an answer broken off)
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  // Milliseconds from sending the request until the first byte of the answer arrived,
  // until the body held 3840 bytes (what the reader needs to start playing), and until
  // the server closed the connection; -1 when that never happened.
  double firstByteMs = -1;
  double body3840Ms = -1;
  double endMs = -1;
};

// One HTTP exchange over loopback: connects and sends the request at once, then reads the
// answer as far as the test asks.
class HttpExchange {
 public:
  // With `readBytesPerSecond` the answer is read no faster than that from its first byte
  // on, as over a slow link.
  HttpExchange(int port, const std::string& request, long readBytesPerSecond = 0);
  ~HttpExchange();
  HttpExchange(const HttpExchange&) = delete;
  HttpExchange& operator=(const HttpExchange&) = delete;

  // Reads until the body holds at least `bytes` bytes; false when the server closed or
  // `timeoutMs` passed first.
  bool readBody(size_t bytes, int timeoutMs);
  // Reads until the server closes (at most `timeoutMs` more) and returns the answer.
  HttpAnswer finish(int timeoutMs);

 private:
  using Clock = std::chrono::steady_clock;
  bool readOnce(Clock::time_point deadline);
  size_t bodySize() const;
  double msSinceStart(Clock::time_point t) const;

  int fd_ = -1;
  long readBytesPerSecond_;
  Clock::time_point start_;
  Clock::time_point firstByte_;
  std::string data_;
  size_t bodyStart_ = std::string::npos;
  bool closed_ = false;
  bool reset_ = false;
  double firstByteMs_ = -1, body3840Ms_ = -1, endMs_ = -1;
};

// The request line and headers of a GET as HTTP/1.0, as the reader sends it.
std::string getRequest(const std::string& target, const std::vector<std::string>& headerLines);
// GET `target` from the server on `port` of the loopback, reading until it closes.
HttpAnswer httpGet(int port, const std::string& target, const std::vector<std::string>& headerLines,
                   int timeoutMs = 30000);

class ServerProcess {
 public:
  // Starts `executable` with --bind 127.0.0.1 --port 0 --port-file F and `args`. Waits up
  // to 15 s for the port file; on failure port() is 0.
  ServerProcess(const std::string& executable, const std::vector<std::string>& args);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int port() const { return port_; }
  bool running();
  // Sends SIGTERM and waits up to 10 s; returns the exit status (-1 if killed).
  int stop();
  // Everything the server wrote to standard error so far.
  std::string log() const;

  // GET `target` as HTTP/1.0 with the given extra header lines ("Name: value"), reading
  // until the server closes (at most `timeoutMs`). With `readBytesPerSecond` the answer
  // is read no faster than that from its first byte on, as over a slow link.
  HttpAnswer get(const std::string& target, const std::vector<std::string>& headerLines,
                 int timeoutMs = 30000, long readBytesPerSecond = 0) const;
  // Sends raw bytes and reads the answer until the server closes.
  HttpAnswer raw(const std::string& request, int timeoutMs = 30000,
                 long readBytesPerSecond = 0) const;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
  std::string logFile_;
};

// The reader's credentials for `code`: basic authorisation and the Vorbu header.
std::string basicLine(const std::string& user, const std::string& password);
std::string vorbuLine(const std::string& code);

// Whether `condition` becomes true within `deadline`, looking every few milliseconds: for
// a state that has no notice of its own to wait for.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds deadline);

// A fresh temporary folder (removed by the caller with removeTree).
std::string makeTempDir();
void removeTree(const std::string& dir);
void writeFile(const std::string& path, const std::string& bytes);
