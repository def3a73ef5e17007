#include "connection_reset.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

namespace {

bool sameAddress(const sockaddr_storage& a, const std::string& address, int port) {
  char text[INET6_ADDRSTRLEN] = "";
  int actualPort = -1;
  if (a.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(a);
    ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    actualPort = ntohs(in.sin_port);
  } else if (a.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
    ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    actualPort = ntohs(in6.sin6_port);
  } else {
    return false;
  }
  return actualPort == port && address == text;
}

}  // namespace

bool resetConnection(const ConnectionAddress& connection) {
  // The HTTP library does not hand out its sockets, so the socket is found by the
  // addresses it reports for the request; together they name one connection.
  DIR* fds = ::opendir("/proc/self/fd");
  if (!fds) return false;
  bool found = false;
  while (dirent* e = ::readdir(fds)) {
    char* end = nullptr;
    long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == ::dirfd(fds)) continue;
    sockaddr_storage peer{}, local{};
    socklen_t peerLength = sizeof peer, localLength = sizeof local;
    if (::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
        !sameAddress(peer, connection.remoteAddress, connection.remotePort))
      continue;
    if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &localLength) !=
            0 ||
        !sameAddress(local, connection.localAddress, connection.localPort))
      continue;
    // Connecting a TCP socket to AF_UNSPEC dissolves its connection with a reset and
    // drops what is still unsent, without closing the descriptor.
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    found = ::connect(static_cast<int>(fd), &none, sizeof none) == 0;
    break;
  }
  ::closedir(fds);
  return found;
}
