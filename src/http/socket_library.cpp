#include "http/socket_library.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace tr_http {

TSocketLibrary& TSocketLibrary::Process() {
  static TSocketLibrary library;
  return library;
}

int TSocketLibrary::NewSocket(int protocol) {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
}

}  // namespace tr_http
