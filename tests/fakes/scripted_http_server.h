// A small HTTP/1.0 server on a loopback port for tests: it accepts on a thread of its own
// and serves each connection on a thread of its own (a slow answer never holds up the
// next request), records the bytes of every request, and answers each one from a handler
// the test gives (status, header lines and body), then closes the connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gate.h"

struct ScriptedRequest {
  std::string raw;                           // every byte up to the blank line
  std::string target;                        // "/cgi-bin/tx.cgi?s=2&..."
  std::map<std::string, std::string> query;  // split on '&' and '=' without unescaping
  std::vector<std::string> headerLines;      // without line ends, request line first
};

struct ScriptedResponse {
  ScriptedResponse(int status = 200, std::string body = {}, std::string contentType = "text/plain",
                   std::string location = {}, std::string headers = {})
      : status(status),
        body(std::move(body)),
        contentType(std::move(contentType)),
        location(std::move(location)),
        headers(std::move(headers)) {}
  int status;
  std::string body;
  std::string contentType;
  std::string location;  // a Location header line when not empty
  // The body in pieces of this many bytes with a pause after each (0: all at once), as
  // a server that streams speech while it makes it sends it.
  size_t pieceSize = 0;
  int pauseMs = 0;
  // Ends the connection with a reset after the body instead of closing it.
  bool resetAtEnd = false;
  // Called on the connection's thread once `holdAfter` bytes of the body have been sent,
  // before the rest: a test holds the rest back until it lets it go.
  size_t holdAfter = 0;
  std::function<void()> hold;
  std::string headers;  // further header lines, sent as they are (each with its line end)
};

class ScriptedHttpServer {
 public:
  using Handler = std::function<ScriptedResponse(const ScriptedRequest&)>;

  // Listens on `port` of the loopback address; 0 picks a free one.
  explicit ScriptedHttpServer(Handler handler, int port = 0) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 16);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedHttpServer() {
    stop_ = true;
    thread_.join();
    for (std::thread& t : connections_) t.join();
    ::close(listener_);
  }
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  int Port() const { return port_; }
  std::vector<ScriptedRequest> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // The q= values of the requests so far, with "+w" appended for speech requests.
  // Sentence maps (w=2), which a reader asks for in the background after a page's text, are
  // left out; MapPages() lists them.
  std::vector<std::string> Pages() const { return PagesWith(false); }
  // The q= values of the sentence map requests (w=2) so far.
  std::vector<std::string> MapPages() const { return PagesWith(true); }
  void ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
  }

 private:
  std::vector<std::string> PagesWith(bool maps) const {
    std::vector<std::string> pages;
    for (const ScriptedRequest& r : Requests()) {
      auto q = r.query.find("q");
      auto w = r.query.find("w");
      const std::string kind = w == r.query.end() ? "" : w->second;
      if ((kind == "2") != maps) continue;
      pages.push_back((q == r.query.end() ? "" : q->second) + (kind == "1" ? "+w" : ""));
    }
    return pages;
  }

  void Run() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      connections_.emplace_back([this, client] {
        Serve(client);
        ::close(client);
      });
    }
  }

  void Serve(int client) {
    std::string raw;
    char buffer[4096];
    while (raw.find("\r\n\r\n") == std::string::npos) {
      pollfd p{client, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) return;
      const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      raw.append(buffer, static_cast<size_t>(n));
    }
    ScriptedRequest request = Parse(raw);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    const ScriptedResponse response = handler_(request);
    std::string out = "HTTP/1.0 " + std::to_string(response.status) +
                      " X\r\nContent-Type: " + response.contentType + "\r\n";
    if (!response.location.empty()) out += "Location: " + response.location + "\r\n";
    out += response.headers + "\r\n";
    const size_t headerSize = out.size();
    out += response.body;
    size_t sent = 0;
    bool held = false;
    while (sent < out.size()) {
      if (response.hold && !held && sent >= headerSize + response.holdAfter) {
        held = true;
        response.hold();
      }
      size_t piece = out.size() - sent;
      if (response.pieceSize > 0 && sent >= headerSize) piece = std::min(piece, response.pieceSize);
      if (response.hold && !held) piece = std::min(piece, headerSize + response.holdAfter - sent);
      if (sent < headerSize) piece = headerSize - sent;
      const ssize_t n = ::send(client, out.data() + sent, piece, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
      if (response.pauseMs > 0 && sent > headerSize) {
        std::this_thread::sleep_for(std::chrono::milliseconds(response.pauseMs));
      }
    }
    if (response.resetAtEnd) {
      const struct linger reset = {1, 0};
      ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
  }

  static ScriptedRequest Parse(const std::string& raw) {
    ScriptedRequest r;
    r.raw = raw.substr(0, raw.find("\r\n\r\n") + 4);
    size_t start = 0;
    for (size_t end; (end = r.raw.find("\r\n", start)) != std::string::npos && end > start;
         start = end + 2) {
      r.headerLines.push_back(r.raw.substr(start, end - start));
    }
    if (!r.headerLines.empty()) {
      const std::string& line = r.headerLines.front();
      const size_t a = line.find(' ');
      const size_t b = line.rfind(' ');
      if (a != std::string::npos && b > a) r.target = line.substr(a + 1, b - a - 1);
    }
    const size_t question = r.target.find('?');
    if (question != std::string::npos) {
      std::string rest = r.target.substr(question + 1);
      size_t pos = 0;
      while (pos <= rest.size()) {
        size_t amp = rest.find('&', pos);
        if (amp == std::string::npos) amp = rest.size();
        const std::string pair = rest.substr(pos, amp - pos);
        const size_t eq = pair.find('=');
        r.query[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
        pos = amp + 1;
      }
    }
    return r;
  }

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<std::thread> connections_;  // joined at the end; only the accepting thread adds
  mutable std::mutex mutex_;
  std::vector<ScriptedRequest> requests_;
};
