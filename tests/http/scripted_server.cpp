#include "scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace http_test {

void EnsureApplication() {
  if (QCoreApplication::instance() == nullptr) {
    static int argc = 1;
    static char name[] = "http_test";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);  // lives as long as the test process
  }
}

Step Read() {
  return {Step::Kind::Read, {}, 0, 0};
}
Step Send(std::string data) {
  return {Step::Kind::Send, std::move(data), 0, 0};
}
Step Drip(std::string data, int ms) {
  return {Step::Kind::Drip, std::move(data), ms, 0};
}
Step Pause(int ms) {
  return {Step::Kind::Pause, {}, ms, 0};
}
Step Stall() {
  return {Step::Kind::Stall, {}, 0, 0};
}
Step Reset() {
  return {Step::Kind::Reset, {}, 0, 0};
}
Step Pattern(uint64_t bytes) {
  return {Step::Kind::Pattern, {}, 0, bytes};
}

namespace {

int ListenOn(const char* address, int backlog, uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = 0;
  ::inet_pton(AF_INET, address, &sa.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, backlog) != 0) {
    ::close(fd);
    throw std::runtime_error("bind/listen");
  }
  socklen_t size = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &size);
  port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<Script> scripts, const char* address)
    : Scripts_(std::move(scripts)), Address_(address) {
  Listen_ = ListenOn(address, 16, Port_);
  if (::pipe2(Stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  Thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  (void)!::write(Stop_[1], "x", 1);
  Thread_.join();
  ::close(Listen_);
  ::close(Stop_[0]);
  ::close(Stop_[1]);
}

std::string ScriptedServer::base() const {
  return "http://" + Address_ + ":" + std::to_string(Port_);
}

std::vector<std::string> ScriptedServer::requests() const {
  std::lock_guard lock(Mutex_);
  return Requests_;
}

// Waits until `fd` is ready for `events`; false when the server is stopping.
bool ScriptedServer::WaitFor(int fd, short events) {
  pollfd fds[2] = {{fd, events, 0}, {Stop_[0], POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
}

bool ScriptedServer::WaitAccepted(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [&] { return Accepted_.load() >= count; });
}

bool ScriptedServer::WaitFinished(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex_);
  return Changed_.wait_for(lock, timeout, [&] { return Finished_ >= count; });
}

void ScriptedServer::Run() {
  for (int index = 0;; ++index) {
    if (!WaitFor(Listen_, POLLIN)) return;
    const int fd = ::accept4(Listen_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard lock(Mutex_);
      ++Accepted_;
    }
    Changed_.notify_all();
    const Script& script =
        Scripts_.empty() ? Script{} : Scripts_[std::min<size_t>(index, Scripts_.size() - 1)];
    Play(fd, script);
    {
      std::lock_guard lock(Mutex_);
      ++Finished_;
    }
    Changed_.notify_all();
  }
}

void ScriptedServer::Play(int fd, const Script& script) {
  bool reset = false;
  auto sendAll = [&](const char* data, size_t size) {
    while (size > 0) {
      if (!WaitFor(fd, POLLOUT)) return false;
      const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  };
  bool ok = true;
  for (const Step& step : script) {
    if (!ok) break;
    switch (step.kind) {
      case Step::Kind::Read: {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
          if (!WaitFor(fd, POLLIN)) break;
          const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
          if (n <= 0) break;
          request.append(buffer, static_cast<size_t>(n));
        }
        std::lock_guard lock(Mutex_);
        Requests_.push_back(request);
        break;
      }
      case Step::Kind::Send:
        ok = sendAll(step.data.data(), step.data.size());
        break;
      case Step::Kind::Drip:
        for (char c : step.data) {
          if (!(ok = sendAll(&c, 1))) break;
          std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
        }
        break;
      case Step::Kind::Pause: {
        pollfd stop = {Stop_[0], POLLIN, 0};
        ok = ::poll(&stop, 1, step.ms) == 0;
        break;
      }
      case Step::Kind::Stall: {
        // Reads nothing more; waits until the client closes (or resets) the connection or
        // the server stops.
        if (WaitFor(fd, POLLRDHUP)) {
          int error = 0;
          socklen_t size = sizeof error;
          ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
          if (error == ECONNRESET) SawReset_ = true;
        }
        break;
      }
      case Step::Kind::Reset: {
        const linger option = {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        reset = true;
        break;
      }
      case Step::Kind::Pattern: {
        std::string chunk(256 * 1024, '\0');
        for (uint64_t offset = 0; ok && offset < step.bytes;) {
          const size_t size =
              static_cast<size_t>(std::min<uint64_t>(chunk.size(), step.bytes - offset));
          for (size_t i = 0; i < size; ++i) chunk[i] = PatternByte(offset + i);
          ok = sendAll(chunk.data(), size);
          offset += size;
        }
        break;
      }
    }
    if (reset) break;
  }
  ::close(fd);
}

StalledListener::StalledListener() {
  Listen_ = ListenOn("127.0.0.1", 0, Port_);
  // One connection fills the queue of a zero backlog; later SYNs are dropped.
  Filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(Port_);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(Filler_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

StalledListener::~StalledListener() {
  ::close(Filler_);
  ::close(Listen_);
}

uint16_t ClosedPort() {
  uint16_t port = 0;
  const int fd = ListenOn("127.0.0.1", 1, port);
  ::close(fd);
  return port;
}

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace http_test
