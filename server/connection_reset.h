// Breaks off a TCP connection of this process with a reset, so that the peer sees an
// error (ECONNRESET) instead of an orderly end. An answer whose body is delimited by the
// end of the connection can only tell its client that it is incomplete this way.
// Safe from any thread.
#pragma once

#include <string>

struct ConnectionAddress {
  std::string localAddress;  // numeric, as the HTTP library reports it
  int localPort = -1;
  std::string remoteAddress;
  int remotePort = -1;
};

// Finds the process's socket with these addresses and resets its connection; the socket
// stays open (its owner closes it as usual). Returns false when no such socket is found.
bool resetConnection(const ConnectionAddress& connection);
