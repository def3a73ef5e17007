#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string base64(const std::string& in) {
  static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v =
        (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], table[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += {table[v >> 18], table[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {table[v >> 18], table[(v >> 12) & 63], table[(v >> 6) & 63], '='};
  }
  return out;
}

HttpAnswer parseAnswer(const std::string& data) {
  HttpAnswer answer;
  auto end = data.find("\r\n\r\n");
  if (end == std::string::npos) return answer;
  std::istringstream head(data.substr(0, end));
  std::string line;
  std::getline(head, line);
  if (line.rfind("HTTP/1.", 0) != 0 || line.size() < 12) return answer;
  answer.status = std::atoi(line.c_str() + 9);
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    answer.headers[name] = value;
  }
  answer.body = data.substr(end + 4);
  auto length = answer.headers.find("content-length");
  answer.ok = length == answer.headers.end() ||
              std::strtoul(length->second.c_str(), nullptr, 10) == answer.body.size();
  return answer;
}

}  // namespace

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string makeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tr-server-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  return pattern;
}

void removeTree(const std::string& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string basicLine(const std::string& user, const std::string& password) {
  return "Authorization: Basic " + base64(user + ":" + password);
}

std::string vorbuLine(const std::string& code) {
  return "Vorbu: " + code;
}

ServerProcess::ServerProcess(const std::string& executable, const std::vector<std::string>& args) {
  dir_ = makeTempDir();
  std::string portFile = dir_ + "/port";
  logFile_ = dir_ + "/stderr.log";
  std::vector<std::string> argv = {executable, "--bind",      "127.0.0.1", "--port",
                                   "0",        "--port-file", portFile};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    int fd = ::open(logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(fd, 2);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string text = readWhole(portFile);
    if (!text.empty() && text.back() == '\n') {
      port_ = std::atoi(text.c_str());
      return;
    }
    if (!running()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

ServerProcess::~ServerProcess() {
  stop();
  removeTree(dir_);
}

bool ServerProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

int ServerProcess::stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

std::string ServerProcess::log() const {
  return readWhole(logFile_);
}

HttpAnswer ServerProcess::get(const std::string& target,
                              const std::vector<std::string>& headerLines, int timeoutMs,
                              long readBytesPerSecond) const {
  return raw(getRequest(target, headerLines), timeoutMs, readBytesPerSecond);
}

HttpAnswer ServerProcess::raw(const std::string& request, int timeoutMs,
                              long readBytesPerSecond) const {
  return HttpExchange(port_, request, readBytesPerSecond).finish(timeoutMs);
}

std::string getRequest(const std::string& target, const std::vector<std::string>& headerLines) {
  std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
  for (const auto& line : headerLines) request += line + "\r\n";
  return request + "\r\n";
}

HttpAnswer httpGet(int port, const std::string& target, const std::vector<std::string>& headerLines,
                   int timeoutMs) {
  return HttpExchange(port, getRequest(target, headerLines)).finish(timeoutMs);
}

HttpExchange::HttpExchange(int port, const std::string& request, long readBytesPerSecond)
    : readBytesPerSecond_(readBytesPerSecond) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  if (readBytesPerSecond > 0) {
    // A small receive buffer, so that the paced reading below also slows the sender.
    int size = 16 * 1024;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  start_ = Clock::now();
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server may answer and close before reading everything
    sent += static_cast<size_t>(n);
  }
}

HttpExchange::~HttpExchange() {
  if (fd_ >= 0) ::close(fd_);
}

double HttpExchange::msSinceStart(Clock::time_point t) const {
  return std::chrono::duration<double, std::milli>(t - start_).count();
}

size_t HttpExchange::bodySize() const {
  return bodyStart_ == std::string::npos ? 0 : data_.size() - bodyStart_;
}

bool HttpExchange::readOnce(Clock::time_point deadline) {
  if (fd_ < 0 || closed_) return false;
  pollfd p{fd_, POLLIN, 0};
  int left = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
  if (left <= 0 || ::poll(&p, 1, left) <= 0) return false;
  char buffer[65536];
  size_t want = sizeof buffer;
  if (readBytesPerSecond_ > 0)
    want = std::min<size_t>(want, static_cast<size_t>(readBytesPerSecond_ / 50 + 1));
  ssize_t n = ::recv(fd_, buffer, want, 0);
  auto now = Clock::now();
  if (n <= 0) {
    closed_ = true;
    reset_ = n < 0 && errno == ECONNRESET;
    endMs_ = msSinceStart(now);
    return false;
  }
  if (data_.empty()) {
    firstByte_ = now;
    firstByteMs_ = msSinceStart(now);
  }
  data_.append(buffer, static_cast<size_t>(n));
  if (bodyStart_ == std::string::npos) {
    size_t end = data_.find("\r\n\r\n");
    if (end != std::string::npos) bodyStart_ = end + 4;
  }
  if (readBytesPerSecond_ > 0) {
    // Each byte is taken only when a link of that speed would have carried it.
    auto due = firstByte_ + std::chrono::microseconds(static_cast<long long>(
                                double(data_.size()) * 1e6 / double(readBytesPerSecond_)));
    std::this_thread::sleep_until(due);
    now = std::max(now, due);
  }
  if (body3840Ms_ < 0 && bodySize() >= 3840) body3840Ms_ = msSinceStart(now);
  return true;
}

bool HttpExchange::readBody(size_t bytes, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (bodySize() < bytes && readOnce(deadline)) {
  }
  return bodySize() >= bytes;
}

HttpAnswer HttpExchange::finish(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (readOnce(deadline)) {
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  HttpAnswer answer = parseAnswer(data_);
  answer.ok = answer.ok && closed_ && !reset_;
  answer.reset = reset_;
  answer.firstByteMs = firstByteMs_;
  answer.body3840Ms = body3840Ms_;
  answer.endMs = endMs_;
  return answer;
}
