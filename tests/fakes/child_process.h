// A program a test starts with fork() and execve(): its environment given, its standard
// input and output through pipes of the test when asked, its standard error the test's
// own. Not QProcess: Qt 6 starts programs with vfork semantics (the child runs in the
// test's memory until it executes), which ThreadSanitizer cannot follow; after it, the
// sanitizer no longer sees the test's own locks and reports races that are not there.
// Header only; one owner, one thread.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <string>
#include <vector>

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` (an absolute path) with `args` in `env`. With `input`, the program's
  // standard input is a pipe that Write() fills; with `output`, its standard output is a
  // pipe that ReadLine() and ReadAll() read. False when it cannot be started.
  bool Start(const QString& program, const QStringList& args, const QProcessEnvironment& env,
             bool input = false, bool output = false) {
    std::vector<std::string> argv{program.toStdString()};
    for (const QString& arg : args) argv.push_back(arg.toStdString());
    std::vector<std::string> envp;
    for (const QString& entry : env.toStringList()) envp.push_back(entry.toStdString());
    // Everything the child needs is made before the fork: after it, in a process with
    // threads, the child may call only what is safe in a signal handler.
    std::vector<char*> cargv, cenvp;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (std::string& e : envp) cenvp.push_back(e.data());
    cenvp.push_back(nullptr);
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if ((input && ::pipe2(in, O_CLOEXEC) != 0) || (output && ::pipe2(out, O_CLOEXEC) != 0))
      return false;
    pid_ = ::fork();
    if (pid_ == 0) {
      if (input) ::dup2(in[0], 0);
      if (output) ::dup2(out[1], 1);
      ::execve(cargv[0], cargv.data(), cenvp.data());
      ::_exit(127);
    }
    for (int fd : {in[0], out[1]})
      if (fd >= 0) ::close(fd);
    input_ = in[1];
    output_ = out[0];
    return pid_ > 0;
  }

  pid_t Pid() const { return pid_; }

  bool Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    return false;
  }

  // Writes all of `bytes` to the program's standard input, then closes it.
  void Write(const std::string& bytes) {
    for (size_t done = 0; input_ >= 0 && done < bytes.size();) {
      const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    CloseInput();
  }

  // One line of standard output without its line feed; empty when none came in time.
  std::string ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const size_t end = read_.find('\n');
      if (end != std::string::npos) {
        std::string line = read_.substr(0, end);
        read_.erase(0, end + 1);
        return line;
      }
      if (!ReadSome(deadline)) return {};
    }
  }

  // Standard output to its end (the program closed it); what came when time ran out.
  std::string ReadAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ReadSome(deadline)) {
    }
    return std::exchange(read_, {});
  }

  // Waits for the program to end by itself; its exit status, or -1.
  int Wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return -1;
      // A process descriptor becomes readable when the program ends.
      const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
      if (pidfd < 0) return -1;
      pollfd p{pidfd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left));
      ::close(pidfd);
    }
    return -1;
  }

  // SIGTERM, up to five seconds for the end, then SIGKILL.
  void Stop() {
    CloseInput();
    if (output_ >= 0) ::close(std::exchange(output_, -1));
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);  // a stopped program cannot act on SIGTERM
    ::kill(pid_, SIGTERM);
    if (Wait(std::chrono::seconds(5)) == -1 && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  void CloseInput() {
    if (input_ >= 0) ::close(std::exchange(input_, -1));
  }

  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    if (output_ < 0) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    pollfd p{output_, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) return false;
    read_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string read_;
};
