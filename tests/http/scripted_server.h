// Small scripted TCP servers for the HTTP tests. A ScriptedServer listens on a loopback
// address, port 0, and plays one script per accepted connection on its own thread with
// plain blocking sockets: read the request, send bytes, drip them one at a time, pause,
// stall until the client gives up, reset the connection. A StalledListener accepts no
// connection at all (its queue is full), so a connect to it never completes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>

namespace http_test {

// One QCoreApplication for the test process (the transport runs the Qt event loop).
void EnsureApplication();

struct Step {
  enum class Kind { Read, Send, Drip, Pause, Stall, Reset, Pattern };
  Kind kind;
  std::string data;
  int ms = 0;
  uint64_t bytes = 0;
};

// Reads the request up to its empty line and records it.
Step Read();
Step Send(std::string data);
// Sends `data` one byte at a time, `ms` apart.
Step Drip(std::string data, int ms);
Step Pause(int ms);
// Holds the connection open, sending and reading nothing, until the client closes it.
Step Stall();
// Closes with a reset (zero-time linger) instead of a normal close.
Step Reset();
// Streams `bytes` bytes of PatternByte().
Step Pattern(uint64_t bytes);

// The byte at `offset` of a Pattern body: not periodic at powers of two, so a lost or
// repeated chunk is noticed.
inline char PatternByte(uint64_t offset) {
  return static_cast<char>((offset * 7 + offset / 65521) & 0xff);
}

using Script = std::vector<Step>;

class ScriptedServer {
 public:
  // Connection i plays scripts[i], the last script repeating for later connections. Every
  // script ends with a normal close unless it reset the connection.
  explicit ScriptedServer(std::vector<Script> scripts, const char* address = "127.0.0.1");
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t port() const { return Port_; }
  const std::string& address() const { return Address_; }
  // "http://127.0.0.1:port"
  std::string base() const;
  std::vector<std::string> requests() const;
  int accepted() const { return Accepted_.load(); }
  // Waits until `count` connections have been accepted; false when `timeout` passed first.
  bool WaitAccepted(int count, std::chrono::milliseconds timeout) const;
  // Waits until `count` connections have played their scripts to the end and are closed
  // (or reset); false when `timeout` passed first.
  bool WaitFinished(int count, std::chrono::milliseconds timeout) const;
  // True when the client reset a connection (its close arrived as a reset).
  bool sawReset() const { return SawReset_.load(); }

 private:
  void Run();
  void Play(int fd, const Script& script);
  bool WaitFor(int fd, short events);

  std::vector<Script> Scripts_;
  std::string Address_;
  int Listen_ = -1;
  int Stop_[2] = {-1, -1};
  uint16_t Port_ = 0;
  std::atomic<int> Accepted_{0};
  std::atomic<bool> SawReset_{false};
  mutable std::mutex Mutex_;
  mutable std::condition_variable Changed_;  // Accepted_ or Finished_ grew
  int Finished_ = 0;                         // guarded by Mutex_
  std::vector<std::string> Requests_;
  std::thread Thread_;
};

// A listening socket whose accept queue is full: connects to it hang in SYN_SENT.
class StalledListener {
 public:
  StalledListener();
  ~StalledListener();
  uint16_t port() const { return Port_; }

 private:
  int Listen_ = -1;
  int Filler_ = -1;
  uint16_t Port_ = 0;
};

// A loopback port on which nothing listens.
uint16_t ClosedPort();

// CPU time (user + system) of the whole process, in seconds.
double ProcessCpuSeconds();

}  // namespace http_test
