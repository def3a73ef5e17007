#include "lighttpd_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace http_test {

LighttpdServer::LighttpdServer(const std::string& lighttpd, const std::string& root,
                               const std::string& extraConfig) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot bind a loopback socket");
  }
  socklen_t size = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &size);
  Port_ = ntohs(sa.sin_port);
  const int listener = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);  // never 3 itself
  ::close(fd);

  const std::string conf = root + "/lighttpd.conf";
  std::ofstream(conf) << "server.document-root = \"" << root << "\"\n"
                      << "server.systemd-socket-activation = \"enable\"\n"
                      << "server.bind = \"127.0.0.1\"\n"
                      << "server.port = " << Port_ << "\n"
                      << "server.errorlog = \"" << root << "/error.log\"\n"
                      << extraConfig;

  // The socket becomes descriptor 3 of the server, announced by LISTEN_FDS and LISTEN_PID.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, listener, 3);
  const char* argv[] = {"/bin/sh",        "-c",         "LISTEN_PID=$$ exec \"$0\" -D -f \"$1\"",
                        lighttpd.c_str(), conf.c_str(), nullptr};
  const char* envp[] = {"LISTEN_FDS=1", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", nullptr};
  const int rc = ::posix_spawn(&Pid_, "/bin/sh", &actions, nullptr, const_cast<char**>(argv),
                               const_cast<char**>(envp));
  posix_spawn_file_actions_destroy(&actions);
  ::close(listener);
  if (rc != 0) {
    Pid_ = -1;
    throw std::runtime_error("cannot start lighttpd");
  }
  // Connections queue on the bound socket until the server accepts them: no readiness wait.
}

LighttpdServer::~LighttpdServer() {
  if (Pid_ > 0) {
    ::kill(Pid_, SIGTERM);
    ::waitpid(Pid_, nullptr, 0);
  }
}

}  // namespace http_test
