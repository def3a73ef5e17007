#include "http/socket_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QHostAddress>
#include <QHostInfo>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "base/file_write.h"
#include "base/regular_file.h"
#include "base/scope_exit.h"
#include "base/unique_fd.h"
#include "http/socket_error_text.h"

namespace {

// Notification numbers of the original window-message protocol, kept so that the handler
// reads like its contract: socket events and look-up completions.
constexpr int kSocketMessage = 0x400 + 101;
constexpr int kLookupMessage = 0x400 + 102;
constexpr int kEventRead = 1;
constexpr int kEventAccept = 8;
constexpr int kEventConnect = 16;
constexpr int kEventClose = 32;

constexpr int kWouldBlock = 10035;
constexpr int kNotConnected = 10057;
constexpr int kHostNotFound = 11001;

bool IsTransient(int e) {
  return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

// Failures that the original platform reports through the connect notification rather
// than from connect() itself; they must end in "Connection Failed".
bool IsConnectOutcome(int e) {
  return e == ECONNREFUSED || e == ENETUNREACH || e == EHOSTUNREACH || e == ETIMEDOUT ||
         e == ECONNRESET;
}

std::string FileError(const char* what, const std::string& name, int e) {
  return std::string(what) + " \"" + name + "\". " + std::strerror(e);
}

// The byte counters are 32 bits wide; past 2 GiB they wrap instead of overflowing.
int32_t AddCount(int32_t count, long n) {
  return static_cast<int32_t>(static_cast<uint32_t>(count) + static_cast<uint32_t>(n));
}

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Sets a flag for the lifetime of a scope.
auto FlagScope(bool& flag) {
  flag = true;
  return tr_base::ScopeExit([&flag] { flag = false; });
}

}  // namespace

TSocketTransport::TSocketTransport(QObject* owner, tr_http::TSocketLibrary* library)
    : QObject(owner),
      Library_(library ? *library : tr_http::TSocketLibrary::Process()),
      IoBuffer_(new char[kIoBufferSize + 1]) {
  IoBuffer_[0] = '\0';
  ReadNotifier_ = new QSocketNotifier(QSocketNotifier::Read, this);
  WriteNotifier_ = new QSocketNotifier(QSocketNotifier::Write, this);
  connect(ReadNotifier_, &QSocketNotifier::activated, this, [this] { ReadActivated(); });
  connect(WriteNotifier_, &QSocketNotifier::activated, this, [this] { WriteActivated(); });
  TimeoutTimer_.SetEnabled(false);
  TimeoutTimer_.SetOnTimer([this](TMessageTimer&) { TimerFired(); });
  InitSockets();
}

TSocketTransport::~TSocketTransport() {
  // No status texts or events reach the owner from here on.
  Closing_ = true;
  try {
    TSocketTransport::Abort();
    Cancel();
    TimeoutTimer_.SetEnabled(false);
    WithdrawLookup();
    RequestCloseSocket();
  } catch (...) {
    // A destructor must not throw; the descriptor is released by close() regardless.
  }
  if (Started_ && --Library_.SocketUsers == 0) Library_.Cleanup();
}

void TSocketTransport::InitSockets() {
  ReportStatus(8, "Initializing Winsock");
  ++Library_.SocketUsers;
  if (Library_.SocketUsers == 1 && !Library_.Startup()) {
    --Library_.SocketUsers;
    throw ESockError("Initializaton of windows sockets failed");
  }
  if (!CreateSocket(true)) {
    if (--Library_.SocketUsers == 0) Library_.Cleanup();
    throw ESockError("Initializaton of windows sockets failed");
  }
  Started_ = true;
}

bool TSocketTransport::CreateSocket(bool linger) {
  const int fd = Library_.NewSocket(linger ? IPPROTO_TCP : 0);
  if (fd < 0) return false;
  // The handle is kept in 16 bits with 65535 meaning "none"; a descriptor that does not
  // fit must fail rather than be truncated into someone else's descriptor.
  if (fd >= kNoSocket) {
    ::close(fd);
    errno = EMFILE;
    return false;
  }
  if (linger) {
    // Zero-time linger: closing the first connection resets it.
    const struct linger option = {1, 0};
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option) != 0) {
      const int e = errno;
      ::close(fd);
      errno = e;
      return false;
    }
  }
  SocketHandle_ = static_cast<uint16_t>(fd);
  // Both notices stay off until they are wanted: an unconnected socket polls as hung up
  // and a connected one as writable, so an armed notice would wake the loop for nothing.
  ReadNotifier_->setSocket(fd);
  WriteNotifier_->setSocket(fd);
  return true;
}

void TSocketTransport::ReleaseSocket() {
  ReadNotifier_->setEnabled(false);
  WriteNotifier_->setEnabled(false);
  WriteWait_ = WriteWait::None;
}

void TSocketTransport::ReportStatus(int level, const std::string& text) {
  if (ReportLevel < level) return;
  StatusText_ = text;
  if (Closing_ || !OnStatus) return;
  try {
    OnStatus(*this, text);
  } catch (...) {
    // A status handler cannot disturb the operation that reports.
  }
}

std::string TSocketTransport::ErrorText(int code) {
  return tr_http::SocketErrorText(code);
}

void TSocketTransport::CheckSocketError(int tolerated, int code) {
  LastSocketError_ = code;
  if (code == tolerated || code <= 10000) return;
  ReportStatus(8, "Looking Up Error Message");
  const std::string message = ErrorText(code);
  if (OnError) OnError(*this, static_cast<uint16_t>(code), message);
  throw ESockError(message);
}

// ---------------------------------------------------------------------------------------
// Waiting

void TSocketTransport::WaitForEvent() {
  if (!QuitWatch_.Quitting()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  // "Quitting always quits": the wait ends as a cancel, so the program returns to its
  // main loop, which then exits.
  if (QuitWatch_.Quitting() && !CancelFlag_) Abort();
}

void TSocketTransport::WaitWritable() {
  WriteWait_ = WriteWait::Send;
  WriteNotifier_->setEnabled(SocketHandle_ != kNoSocket);
  WaitForEvent();
}

void TSocketTransport::StopWaitingToSend() {
  if (WriteWait_ != WriteWait::Send) return;
  WriteNotifier_->setEnabled(false);
  WriteWait_ = WriteWait::None;
}

void TSocketTransport::TimerOn() {
  ReportStatus(8, "Timer On");
  TimeoutFlag_ = false;
  TimeoutTimer_.SetInterval(WaitLimitMs());
  TimeoutTimer_.SetEnabled(true);
}

uint32_t TSocketTransport::WaitLimitMs() const {
  if (TimeOut <= 0) return 0;
  int64_t limit = TimeOut;
  if (Pace_.active) {
    int64_t allowed = Pace_.graceMs;
    if (Pace_.minBytesPerSecond > 0) {
      allowed = std::max<int64_t>(
          allowed, static_cast<int64_t>(Pace_.bytes * 1000 /
                                        static_cast<uint64_t>(Pace_.minBytesPerSecond)));
    }
    // A run already past its bound still waits 1 ms: what has arrived is taken, and the
    // next wait ends it.
    limit = std::min(limit, std::max<int64_t>(allowed - (MonotonicMs() - Pace_.startMs), 1));
  }
  return static_cast<uint32_t>(limit);
}

void TSocketTransport::BeginPace(int64_t graceMs, int64_t minBytesPerSecond) {
  Pace_ = Pace{true, MonotonicMs(), graceMs, minBytesPerSecond, 0};
}

void TSocketTransport::TimerOff() {
  ReportStatus(8, "Timer Off");
  TimeoutTimer_.SetEnabled(false);
}

void TSocketTransport::TimerFired() {
  ReportStatus(8, "Timer Triggered");
  TimerOff();
  TimeoutFlag_ = true;
  LookupDone = true;
  Abort();
}

void TSocketTransport::Abort() {
  ReportStatus(8, "Abort");
  Cancel();
}

void TSocketTransport::Cancel() {
  ReportStatus(8, "Canceling");
  CancelFlag_ = true;
}

// ---------------------------------------------------------------------------------------
// Notices

void TSocketTransport::ReadActivated() {
  char probe;
  const ssize_t n = ::recv(Fd(), &probe, 1, MSG_PEEK);
  const int e = errno;
  if (n > 0) {
    // Like the original platform, one notice per arrival: outside a receive the notice
    // is re-armed by the next receive, so unread data cannot keep waking the loop.
    if (!Receiving_) ReadNotifier_->setEnabled(false);
    HandleSocketMessage(kSocketMessage, kEventRead, 0);
    return;
  }
  if (n < 0 && IsTransient(e)) return;
  // The peer closed (n == 0) or reset the connection. The peek has consumed a pending
  // error, so remember it for the receive that the close ends.
  const int code = n < 0 ? tr_http::SocketErrorCode(e) : 0;
  if (code != 0) CloseError_ = code;
  ReadNotifier_->setEnabled(false);
  HandleSocketMessage(kSocketMessage, kEventClose, code);
}

void TSocketTransport::WriteActivated() {
  WriteNotifier_->setEnabled(false);
  const WriteWait wait = WriteWait_;
  WriteWait_ = WriteWait::None;
  if (wait != WriteWait::Connect) return;  // a blocked send: waking the wait is enough
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(Fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  HandleSocketMessage(kSocketMessage, kEventConnect, tr_http::SocketErrorCode(error));
}

void TSocketTransport::HandleSocketMessage(int message, int event, int error) {
  try {
    LastEventOk_ = error == 0;
    if (message == kSocketMessage) {
      switch (event) {
        case kEventRead:
          if (OnDataAvailable) {
            try {
              OnDataAvailable(*this);
            } catch (...) {
            }
          }
          break;
        case kEventAccept:
          IsConnected_ = true;
          break;
        case kEventConnect:
          if (LastEventOk_) {
            IsConnected_ = true;
            ReadNotifier_->setEnabled(true);
            if (OnConnect) OnConnect(*this);
          }
          break;
        case kEventClose:
          // With unread data pending the socket stays open; the data can still be read.
          if (!DataAvailable()) RequestCloseSocket();
          break;
        default:
          break;
      }
    } else if (message == kLookupMessage) {
      LookupDone = true;
    }
  } catch (...) {
    // Notices run inside the event loop, which must never see an exception.
  }
}

// ---------------------------------------------------------------------------------------
// Host look-up and connecting

void TSocketTransport::StartLookup(const std::string& name) {
  const uint32_t serial = ++LookupSerial_;
  LookupPending_ = true;
  LookupId_ = -1;
  const int id = QHostInfo::lookupHost(
      QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())), this,
      [this, serial](const QHostInfo& info) {
        // A withdrawn look-up that completes late belongs to no current wait.
        if (serial != LookupSerial_ || !LookupPending_) return;
        LookupPending_ = false;
        LookupId_ = -1;
        LookupAddress_ = 0;
        if (info.error() == QHostInfo::NoError) {
          for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
              LookupAddress_ = htonl(address.toIPv4Address());
              break;
            }
          }
        }
        HandleSocketMessage(kLookupMessage, 0, LookupAddress_ != 0 ? 0 : kHostNotFound);
      });
  if (LookupPending_) LookupId_ = id;
}

void TSocketTransport::WithdrawLookup() {
  if (!LookupPending_) return;
  LookupPending_ = false;
  if (LookupId_ != -1) QHostInfo::abortHostLookup(LookupId_);
  LookupId_ = -1;
}

void TSocketTransport::ResolveHost() {
  ReportStatus(8, "Resolve Host");
  const std::string& source = Proxy.empty() ? Host : Proxy;
  // The name is used as a C string: it ends at its first NUL.
  const size_t length =
      std::min(::strnlen(source.c_str(), source.size()), static_cast<size_t>(kIoBufferSize));
  std::memcpy(IoBuffer_.get(), source.data(), length);
  IoBuffer_[length] = '\0';
  const std::string name(IoBuffer_.get(), length);

  const in_addr_t numeric = ::inet_addr(IoBuffer_.get());
  if (numeric != INADDR_NONE) {
    RemoteAddress_ = numeric;
    return;
  }
  RemoteAddress_ = 0;
  TimerOn();
  LookupDone = false;
  StartLookup(name);
  while (!LookupDone && !TimeoutFlag_ && !CancelFlag_) WaitForEvent();
  TimerOff();
  // A look-up that timed out or was cancelled is withdrawn.
  WithdrawLookup();
  if (TimeoutFlag_) throw ESockError("Host Lookup Timed Out");
  if (CancelFlag_) throw ESockError("Host Lookup Canceled");
  if (!LastEventOk_) throw ESockError("Host Lookup Failed");
  RemoteAddress_ = LookupAddress_;
  if (OnHostResolved) OnHostResolved(*this);
}

void TSocketTransport::Connect() {
  ReportStatus(8, "Connecting");
  CancelFlag_ = false;
  if (IsConnected_) throw ESockError("Already connected");

  for (int attempts = 0;; ++attempts) {
    try {
      ResolveHost();
    } catch (const ESockError& e) {
      const std::string message = e.what();
      if (message == "Host Lookup Timed Out" || message == "Host Lookup Canceled") throw;
      RemoteAddress_ = 0;
    }
    if (RemoteAddress_ != 0) break;
    if (attempts > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
    bool handled = false;
    OnInvalidHost(handled);
    if (!handled) throw ESockError("Null Remote Address");
  }

  // The socket is replaced after every close; should making the replacement have failed,
  // try once more now rather than connect a descriptor that is not ours.
  if (SocketHandle_ == kNoSocket && !CreateSocket(false)) {
    CheckSocketError(kWouldBlock, tr_http::SocketErrorCode(errno));
  }

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(Proxy.empty() ? Port : ProxyPort));
  address.sin_addr.s_addr = RemoteAddress_;

  LookupDone = false;
  LastEventOk_ = true;
  CloseError_ = 0;
  if (::connect(Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int e = errno;
    if (IsConnectOutcome(e)) {
      // Reported as the connect notification would have reported it.
      LastEventOk_ = false;
    } else {
      CheckSocketError(kWouldBlock, tr_http::SocketErrorCode(e));
    }
  }
  if (LastEventOk_) {
    // The connect notice: the socket turns writable once connected or failed.
    WriteWait_ = WriteWait::Connect;
    WriteNotifier_->setEnabled(true);
  }

  TimerOn();
  while (!IsConnected_ && !TimeoutFlag_ && !CancelFlag_ && LastEventOk_) WaitForEvent();
  TimerOff();

  if (TimeoutFlag_ || CancelFlag_ || !LastEventOk_) {
    if (OnConnectionFailed) OnConnectionFailed(*this);
    if (TimeoutFlag_) throw ESockError("Connection Timed out");
    if (CancelFlag_) throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
  }
}

// ---------------------------------------------------------------------------------------
// Closing

void TSocketTransport::Disconnect() {
  ReportStatus(8, "Disconnecting");
  RequestCloseSocket();
}

void TSocketTransport::RequestCloseSocket() {
  ReportStatus(4, "Request Close Socket");
  IsConnected_ = false;
  if (SocketHandle_ == kNoSocket) return;
  ReleaseSocket();
  const int fd = SocketHandle_;
  SocketHandle_ = kNoSocket;
  const int result = ::close(fd);
  const int e = errno;
  if (result == 0 && !Closing_ && OnDisconnect) OnDisconnect(*this);
  // close() releases the descriptor even when it reports an error, so the component
  // always gets its replacement: a plain socket without the linger option.
  if (!Closing_) CreateSocket(false);
  if (result != 0) CheckSocketError(kWouldBlock, tr_http::SocketErrorCode(e));
}

bool TSocketTransport::DataAvailable() {
  ReportStatus(8, "Data Available");
  // Peeks into a byte of its own: it may run from a notice in the middle of ReadLn,
  // whose partial line sits in IoBuffer.
  char probe;
  return Recv(&probe, 1, MSG_PEEK) >= 1;
}

long TSocketTransport::Recv(char* buffer, size_t length, int flags) {
  if (IsConnected_ && SocketHandle_ != kNoSocket && !ReadNotifier_->isEnabled()) {
    ReadNotifier_->setEnabled(true);
  }
  return ::recv(Fd(), buffer, length, flags);
}

// ---------------------------------------------------------------------------------------
// Sending

void TSocketTransport::SendBuffer(const char* bytes, uint16_t count) {
  ReportStatus(4, "Sending Buffer");
  TimerOn();
  const tr_base::ScopeExit finish([this] {
    TimerOff();
    StopWaitingToSend();
  });

  if (!CancelFlag_) {
    const size_t total = count != 0 ? count : ::strnlen(bytes, 65535);
    size_t remaining = total;
    while (remaining > 0 && !CancelFlag_) {
      const ssize_t n = ::send(Fd(), bytes + (total - remaining), remaining, MSG_NOSIGNAL);
      if (n == 0) break;
      if (n < 0) {
        const int e = errno;
        if (e == EINTR) continue;
        CheckSocketError(kWouldBlock, tr_http::SocketErrorCode(e));
        // Would block: sleep until the socket can take more (or cancel, time-out).
        WaitWritable();
        continue;
      }
      remaining -= static_cast<size_t>(n);
    }
  }
  if (CancelFlag_) {
    CancelFlag_ = false;
    throw EAbortError("Socket send aborted");
  }
}

void TSocketTransport::Write(const std::string& text) {
  ReportStatus(8, "Write");
  // The text is a C string: it ends at its first NUL. Longer texts than one buffer go out
  // in buffer-sized pieces (the send count is 16 bits).
  const size_t length = ::strnlen(text.c_str(), text.size());
  size_t offset = 0;
  do {
    const size_t piece = std::min<size_t>(length - offset, 65535);
    std::memcpy(IoBuffer_.get(), text.data() + offset, piece);
    IoBuffer_[piece] = '\0';
    SendBuffer(IoBuffer_.get(), static_cast<uint16_t>(piece));
    offset += piece;
  } while (offset < length);
}

void TSocketTransport::Writeln(const std::string& text) {
  ReportStatus(8, "Writeln");
  Write(text + "\r\n");
}

void TSocketTransport::SendFile(const std::string& name) {
  ReportStatus(8, "SendFile");
  const tr_base::ScopeExit finish([this] { StopWaitingToSend(); });
  const tr_base::UniqueFd fd(tr_base::OpenRegularFile(name.c_str(), O_RDONLY));
  if (!fd.valid()) throw Exception(FileError("Cannot open file", name, errno));

  while (!CancelFlag_) {
    const ssize_t got = ::read(fd.get(), IoBuffer_.get(), kIoBufferSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Exception(FileError("Cannot read file", name, errno));
    }
    if (got == 0) break;
    ssize_t sent = 0;
    while (sent < got && !CancelFlag_) {
      const ssize_t n = ::send(Fd(), IoBuffer_.get() + sent, got - sent, MSG_NOSIGNAL);
      if (n < 0) {
        const int e = errno;
        if (e == EINTR) continue;
        CheckSocketError(kWouldBlock, tr_http::SocketErrorCode(e));
        WaitWritable();
        continue;
      }
      if (n == 0) break;
      sent += n;
      SentCount_ = AddCount(SentCount_, n);
      if (OnPacketSent) OnPacketSent(*this);
      // Progress was made: run what is pending without sleeping.
      QCoreApplication::processEvents();
      if (QuitWatch_.Quitting() && !CancelFlag_) Abort();
    }
  }
  if (CancelFlag_) {
    CancelFlag_ = false;
    throw EAbortError("Socket send aborted");
  }
}

// ---------------------------------------------------------------------------------------
// Receiving

void TSocketTransport::ReadLn(std::string& line) {
  ReportStatus(8, "ReadLn");
  TimerOn();  // once: the whole line must arrive within TimeOut
  const tr_base::ScopeExit finish([this] { TimerOff(); });
  const auto receiving = FlagScope(Receiving_);

  char* const io = IoBuffer_.get();
  size_t consumed = 0;
  line.clear();
  for (;;) {
    if (consumed == static_cast<size_t>(kIoBufferSize)) {
      // No line feed within the whole buffer: a line the protocol cannot carry.
      line.clear();
      throw ESockError(kLineTooLong);
    }
    const long n = Recv(io + consumed, kIoBufferSize - consumed, MSG_PEEK);
    if (n == 0) {  // the peer has closed: a partial line is dropped
      line.clear();
      return;
    }
    if (n > 0) {
      const char* lf = static_cast<const char*>(std::memchr(io + consumed, '\n', n));
      if (lf != nullptr) {
        const size_t end = static_cast<size_t>(lf - io) + 1;
        const long got = Recv(io + consumed, end - consumed, 0);
        if (got > 0) consumed += static_cast<size_t>(got);
        line.assign(io, consumed);
        return;
      }
      const long got = Recv(io + consumed, static_cast<size_t>(n), 0);
      if (got > 0) consumed += static_cast<size_t>(got);
    } else {
      const int code = tr_http::SocketErrorCode(errno);
      LastSocketError_ = code;
      if (code == kNotConnected) {
        // Closed underneath by the peer's close notice. A reset is a failure, not an end.
        line.clear();
        if (CloseError_ != 0) CheckSocketError(kWouldBlock, std::exchange(CloseError_, 0));
        return;
      }
      CheckSocketError(kWouldBlock, code);
    }
    WaitForEvent();
    if (CancelFlag_) {
      CancelFlag_ = false;
      throw EAbortError("Socket readln aborted");
    }
  }
}

// The receive loop of both captures: one recv, then a wait for the next event, until the
// peer closes, a cancel or time-out, or `more` says the capture has enough. Each chunk goes
// to `sink`.
void TSocketTransport::CaptureChunks(const std::function<bool()>& more,
                                     const std::function<void(const char*, size_t)>& sink) {
  uint64_t captured = 0;
  while (!CancelFlag_ && more()) {
    const long n = Recv(IoBuffer_.get(), kIoBufferSize, 0);
    if (n == 0) break;
    if (n > 0) {
      captured += static_cast<uint64_t>(n);
      if (Limits.maxBytes != 0 && captured > Limits.maxBytes) {
        throw ELimitError("Response body larger than " + tr_http::SizeText(Limits.maxBytes));
      }
      sink(IoBuffer_.get(), static_cast<size_t>(n));
      ReceivedCount_ = AddCount(ReceivedCount_, n);
      Pace_.bytes += static_cast<uint64_t>(n);
      if (OnPacketRecvd) OnPacketRecvd(*this);
      // The countdown starts again, cut to what the pace leaves.
      TimeoutTimer_.SetInterval(WaitLimitMs());
    } else {
      const int code = tr_http::SocketErrorCode(errno);
      LastSocketError_ = code;
      if (code == kNotConnected) {
        if (CloseError_ != 0) CheckSocketError(kWouldBlock, std::exchange(CloseError_, 0));
        break;
      }
      CheckSocketError(kWouldBlock, code);
    }
    WaitForEvent();
  }
}

void TSocketTransport::CaptureString(std::string& text, int max) {
  ReportStatus(8, "Capture String");
  text.clear();
  ReceivedCount_ = 0;
  TimerOn();
  const tr_base::ScopeExit finish([this] { TimerOff(); });
  const auto receiving = FlagScope(Receiving_);

  try {
    CaptureChunks([&] { return max == -1 || text.size() < static_cast<size_t>(std::max(max, 0)); },
                  [&](const char* bytes, size_t n) { text.append(bytes, n); });
  } catch (const ELimitError&) {
    // No part of a refused body is kept.
    std::string().swap(text);
    throw;
  }
  if (CancelFlag_) {
    CancelFlag_ = false;
    throw EAbortError("Socket capture aborted");
  }
}

void TSocketTransport::CaptureFile(const std::string& name) {
  ReportStatus(8, "CaptureFile");
  ReceivedCount_ = 0;
  TimerOn();
  const tr_base::ScopeExit finish([this] { TimerOff(); });
  const auto receiving = FlagScope(Receiving_);

  // Never through a symlink: a link planted where the file goes must not redirect it. A
  // FIFO or device planted there fails at once.
  tr_base::UniqueFd fd(
      tr_base::OpenRegularFile(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666));
  if (!fd.valid()) throw Exception(FileError("Cannot create file", name, errno));

  try {
    CaptureChunks(
        [] { return true; },
        [&](const char* bytes, size_t n) {
          struct statvfs disk {};
          if (Limits.minFreeDisk != 0 && ::fstatvfs(fd.get(), &disk) == 0 &&
              static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize < Limits.minFreeDisk + n) {
            throw ELimitError("Response body would leave less than " +
                              tr_http::SizeText(Limits.minFreeDisk) + " free on disk");
          }
          if (!tr_base::WriteAll(fd.get(), std::string_view(bytes, n)))
            throw Exception(FileError("Cannot write file", name, errno));
        });
  } catch (const ELimitError&) {
    // What was written is given back to the disk: no part of a refused body remains.
    (void)!::ftruncate(fd.get(), 0);
    throw;
  }
  if (fd.close() != 0 && !CancelFlag_) {
    throw Exception(FileError("Cannot write file", name, errno));
  }
  if (CancelFlag_) {
    CancelFlag_ = false;
    throw EAbortError("Socket capture aborted");
  }
}
