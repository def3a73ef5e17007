// The process's socket library: counts the live transports that use it (SocketUsers) and
// creates their sockets. On POSIX there is nothing to start or stop (writes to a closed
// connection are sent with MSG_NOSIGNAL, so no signal disposition is touched), but the
// counter keeps the start-for-the-first-user / stop-after-the-last-user contract, and a
// test can hand a transport its own library to make start-up or socket creation fail.
// GUI thread only.
#pragma once

namespace tr_http {

class TSocketLibrary {
 public:
  virtual ~TSocketLibrary() = default;

  // The one library of the process. It is process-wide by nature (it counts the
  // transports of the whole process), so it is the single instance created on first use.
  static TSocketLibrary& Process();

  // Live transports that started the library.
  int SocketUsers = 0;

  // Called when SocketUsers becomes 1; false means the library cannot be used.
  virtual bool Startup() { return true; }
  // Called when SocketUsers drops back to 0.
  virtual void Cleanup() {}
  // A new non-blocking, close-on-exec TCP socket over IPv4, or -1 with errno set.
  virtual int NewSocket(int protocol);
};

}  // namespace tr_http
