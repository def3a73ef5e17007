// Socket error numbers and their texts. The transport reports socket failures with the
// classic numbered codes (10061 for a refused connection and so on); POSIX errno values
// are mapped onto them first, so one message table serves every failure. Pure functions,
// no state; callable from any thread.
#pragma once

#include <string>

namespace tr_http {

// The numbered code for a POSIX errno value: EWOULDBLOCK and EINPROGRESS -> 10035,
// ECONNREFUSED -> 10061 and so on. An errno without a counterpart becomes 10000 + errno for
// the classic numbers 1..34 (which the numbered codes share) and 12000 + errno above that,
// so it can never collide with a code of the table.
int SocketErrorCode(int posixErrno);

// "10061:Connection refused" for a code in the table, "Unknown Error No. N" for any other
// non-zero code, empty for 0.
std::string SocketErrorText(int code);

}  // namespace tr_http
