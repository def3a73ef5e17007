// TSocketTransport: one TCP socket with blocking-style operations for the GUI thread:
// resolve the host, connect, send text, receive one line, receive everything up to the end
// of the connection into a string or a file, disconnect, cancel.
//
// Threading: every operation is a synchronous call on the GUI thread. While it waits it
// runs the thread's pending events itself (key presses, timers, player notices run nested
// inside it) and sleeps until the next event arrives: socket readiness comes from
// QSocketNotifiers, host look-ups from QHostInfo, the time-out from TMessageTimer, all
// through the Qt event loop of the same thread. Handlers that run nested may call Cancel()
// or Abort() to end the wait; they must not start another operation on the same object,
// nor destroy it. A wait that sees the application quitting ends as a cancel.
//
// Failures raise ESockError; a send or receive ended by cancel or time-out raises its
// descendant EAbortError. A QCoreApplication must exist.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/exception.h"
#include "http/limit_error.h"
#include "http/message_timer.h"
#include "http/quit_watch.h"
#include "http/socket_library.h"

class QSocketNotifier;

// Every failure of the socket transport.
class ESockError : public Exception {
 public:
  using Exception::Exception;
};

// A send or receive ended by cancel or time-out.
class EAbortError : public ESockError {
 public:
  using ESockError::ESockError;
};

class TSocketTransport : public QObject {
 public:
  // Size of IoBuffer: every send and receive goes through it in pieces of at most this.
  static constexpr int kIoBufferSize = 65536;
  // SocketHandle value meaning "no socket".
  static constexpr uint16_t kNoSocket = 65535;
  // Message of the ESockError that ends ReadLn when a line does not fit into IoBuffer.
  static constexpr const char* kLineTooLong = "Line too long: no line feed within 65536 bytes";

  // Raises ESockError "Initializaton of windows sockets failed" when the socket library
  // cannot be started or the first socket cannot be created. `library` defaults to the
  // process's one; tests pass their own.
  explicit TSocketTransport(QObject* owner = nullptr, tr_http::TSocketLibrary* library = nullptr);
  ~TSocketTransport() override;

  TSocketTransport(const TSocketTransport&) = delete;
  TSocketTransport& operator=(const TSocketTransport&) = delete;

  // Name or dotted IPv4 address of the server.
  std::string Host;
  // Server port (the HTTP client turns 0 into 80).
  int32_t Port = 0;
  // Limit of each wait in milliseconds; 0 (or less) means no limit.
  int32_t TimeOut = 0;
  // Highest level of status text passed to OnStatus; 0 passes none.
  int32_t ReportLevel = 0;
  // When non-empty, the host actually connected to, on ProxyPort.
  std::string Proxy;
  int32_t ProxyPort = 0;
  // Reply number of the last exchange; the HTTP client stores the response status here.
  int16_t ReplyCode = 0;

  // Events; an empty one is skipped. All run on the GUI thread, possibly nested in a wait.
  std::function<void(TSocketTransport&)> OnDisconnect;
  std::function<void(TSocketTransport&)> OnConnect;
  std::function<void(TSocketTransport&)> OnConnectionFailed;
  std::function<void(TSocketTransport&)> OnPacketRecvd;
  std::function<void(TSocketTransport&)> OnPacketSent;
  // The host has no address; setting handled asks for exactly one more look-up.
  std::function<void(bool& handled)> OnInvalidHost;
  std::function<void(TSocketTransport&)> OnHostResolved;
  std::function<void(TSocketTransport&, const std::string&)> OnStatus;
  // Data-arrival hook: the socket reported readable data outside a receive; exceptions
  // from it are swallowed.
  std::function<void(TSocketTransport&)> OnDataAvailable;
  // Error hook: called just before an ESockError built from a socket error code is raised.
  std::function<void(TSocketTransport&, uint16_t code, const std::string& message)> OnError;

  // Resolves Host (or Proxy), connects and waits for the connection. Raises
  // "Already connected", "Host Lookup Timed Out", "Host Lookup Canceled",
  // "Null Remote Address", "Connection Timed out", "Connection Canceled",
  // "Connection Failed", or a numbered socket error.
  virtual void Connect();
  // Closes the socket; a fresh unconnected socket replaces it.
  virtual void Disconnect();
  // Ends the current wait (as Cancel); the HTTP client also ends a host look-up.
  virtual void Abort();
  // Asks the current wait to end; the operation then raises its cancel error.
  void Cancel();

  // Sends the text unchanged; it ends at its first NUL byte. Raises EAbortError
  // "Socket send aborted" on cancel or time-out.
  void Write(const std::string& text);
  // Sends the text followed by CR LF.
  void Writeln(const std::string& text);
  // Sends `count` bytes (0: up to the first NUL; at most 65535 either way).
  void SendBuffer(const char* bytes, uint16_t count);
  // Sends a whole file (no time-out; OnPacketSent after each send).
  void SendFile(const std::string& name);

  // Receives one line with its terminator (CR LF or LF). Returns an empty line when the
  // peer closes before the line is complete. The whole line must arrive within TimeOut,
  // else EAbortError "Socket readln aborted"; a line longer than IoBuffer raises
  // ESockError kLineTooLong.
  void ReadLn(std::string& line);
  // Receives until the peer closes (or the text has reached `max` bytes; -1 = no maximum)
  // into `text`. The time-out restarts with every chunk; EAbortError
  // "Socket capture aborted" on cancel or time-out, with the bytes so far kept in `text`.
  // ELimitError when the capture limits (below) are passed; `text` is then empty.
  void CaptureString(std::string& text, int max);
  // Like CaptureString into a file created (or truncated) before the first byte arrives.
  // Only a regular file is written: a FIFO or device at `name` fails the open at once.
  // A capture that passes its limits leaves the file empty.
  void CaptureFile(const std::string& name);
  // True when at least one byte can be read now.
  bool DataAvailable();

  // "10061:Connection refused", "Unknown Error No. N", or empty for 0.
  static std::string ErrorText(int code);

  // Read-only state.
  bool Connected() const { return IsConnected_; }
  uint16_t SocketHandle() const { return SocketHandle_; }
  int32_t SentCount() const { return SentCount_; }
  int32_t ReceivedCount() const { return ReceivedCount_; }
  int LastSocketError() const { return LastSocketError_; }
  const std::string& StatusText() const { return StatusText_; }
  // True once the application has been asked to quit; every wait then ends as a cancel.
  bool ApplicationQuitting() const { return QuitWatch_.Quitting(); }
  // Marks the application as quitting (for a caller that ends it without a Quit event).
  void RequestQuit() { QuitWatch_.RequestQuit(); }

 protected:
  // Passes `text` to OnStatus when ReportLevel >= level.
  void ReportStatus(int level, const std::string& text);

  // An overall bound on a run of receives, on top of the per-wait TimeOut, set by the
  // protocol on top for one part of a message. From the start of the run the receives may
  // go on for `graceMs`; after that only while the bytes captured since the start average
  // at least `minBytesPerSecond` (0: the run ends at the start + graceMs whatever arrives).
  // Each wait's countdown is cut to the time left, so a run that overstays its bound ends
  // exactly as a time-out does. Without a TimeOut (0) there is no bound either.
  void BeginPace(int64_t graceMs, int64_t minBytesPerSecond);
  void EndPace() { Pace_.active = false; }

  // Limits of the captures, set by the protocol on top around one capture: the most bytes
  // one capture may take, and the free space a file capture must leave on the file's
  // disk. 0 means no limit. Passing one raises ELimitError.
  struct CaptureLimits {
    uint64_t maxBytes = 0;
    uint64_t minFreeDisk = 0;
  };
  CaptureLimits Limits;

  // Ends the wait for a host look-up; set by the look-up completion, the timer and the HTTP
  // client's Abort.
  bool LookupDone = false;

 private:
  enum class WriteWait { None, Connect, Send };

  void InitSockets();
  bool CreateSocket(bool linger);
  void ReleaseSocket();
  void ResolveHost();
  void StartLookup(const std::string& name);
  void WithdrawLookup();
  void RequestCloseSocket();
  // Raises ESockError for `code` unless it is `tolerated` or not above 10000.
  void CheckSocketError(int tolerated, int code);
  void HandleSocketMessage(int message, int event, int error);
  void ReadActivated();
  void WriteActivated();
  // recv() that re-arms the read notice, as the next receive does on the original platform.
  long Recv(char* buffer, size_t length, int flags);
  // Waits for writability (a send that would block).
  void WaitWritable();
  // Disarms the writability notice that a send waited for, once the send is over.
  void StopWaitingToSend();
  // Runs pending events, sleeping until one arrives; a quitting application cancels.
  void WaitForEvent();
  void CaptureChunks(const std::function<bool()>& more,
                     const std::function<void(const char*, size_t)>& sink);
  void TimerOn();
  void TimerOff();
  void TimerFired();
  // The countdown of one wait: TimeOut, cut to what the pace leaves; 0 for none.
  uint32_t WaitLimitMs() const;
  int Fd() const { return SocketHandle_ == kNoSocket ? -1 : SocketHandle_; }

  tr_http::TSocketLibrary& Library_;
  std::unique_ptr<char[]> IoBuffer_;
  int32_t SentCount_ = 0;
  bool CancelFlag_ = false;
  bool Closing_ = false;
  int LastSocketError_ = 0;
  std::string StatusText_;
  TMessageTimer TimeoutTimer_;
  bool LastEventOk_ = true;
  bool TimeoutFlag_ = false;
  int32_t ReceivedCount_ = 0;
  bool Started_ = false;
  uint32_t RemoteAddress_ = 0;  // network byte order
  uint16_t SocketHandle_ = kNoSocket;
  bool IsConnected_ = false;
  bool Receiving_ = false;
  WriteWait WriteWait_ = WriteWait::None;
  // Error carried by the peer's close (a reset); it is reported by the receive it ends.
  int CloseError_ = 0;
  // The current host look-up: Qt's id (to withdraw it), our serial (to ignore late
  // completions of withdrawn ones) and its result.
  int LookupId_ = -1;
  uint32_t LookupSerial_ = 0;
  bool LookupPending_ = false;
  uint32_t LookupAddress_ = 0;
  struct Pace {
    bool active = false;
    int64_t startMs = 0;  // on a monotonic clock
    int64_t graceMs = 0;
    int64_t minBytesPerSecond = 0;
    uint64_t bytes = 0;
  } Pace_;
  QSocketNotifier* ReadNotifier_ = nullptr;
  QSocketNotifier* WriteNotifier_ = nullptr;
  tr_http::TQuitWatch QuitWatch_;
};
