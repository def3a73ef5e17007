// THttpClient: an HTTP/1.0 client on top of the socket transport. One request per
// connection; the request header is a list of text lines (RequestHeaders) that the
// OnAboutToSend handler may change; the response header and body go into the Header and
// Body strings, or into the files they name. Get() returns when a complete response has
// been read, whatever its HTTP status (the status is in ReplyCode); only transport and
// local failures raise, and the connection is closed on every way out.
//
// Redirects (statuses 299..399) are followed at most kMaxRedirects times; the response
// after that is final, and so is a 300..302 without a usable Location of its own. Basic-
// authorisation credentials go only to the host (and port) the Get began with: a pass to
// another host leaves the Authorization line out, and PassGoesToOtherHost() tells
// OnAboutToSend so that it can leave its own credential lines out too. A cookie that a
// response set is sent only to the host (and port) that set it. A received value holding
// a control character is dropped (see response_header.h).
//
// Every response is bounded: its status line and header block must arrive within TimeOut
// all together, and its body must average at least MinBodyRate once TimeOut has passed
// (besides the per-wait TimeOut of the transport); a part that overstays raises as a
// time-out does. The header block, a text body and a body file have size limits, and a
// body file must leave MinDiskFree on its disk; passing one raises ELimitError.
//
// Threading: GUI thread only; Get() runs the event loop while it waits (see
// socket_transport.h). Handlers run synchronously inside Get() and must not start
// another request on the same client.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "http/header_list.h"
#include "http/socket_transport.h"

class THttpClient : public TSocketTransport {
 public:
  // Request kinds (CmdType); only GET is implemented.
  static constexpr int kCmdGet = 0;
  static constexpr int kMaxRedirects = 10;

  explicit THttpClient(QObject* owner = nullptr, tr_http::TSocketLibrary* library = nullptr);

  // Text mode: receives the body. File mode (InputFileMode): names the body's file.
  std::string Body = "Default.htm";
  // Receives the response header (status line, header lines, the empty line, each with
  // its line end), or names its file (OutputFileMode).
  std::string Header = "Head.txt";
  THeaderInfo HeaderInfo;
  THeaderList RequestHeaders;
  bool InputFileMode = false;
  bool OutputFileMode = false;
  // The URL of the current request; parsing may append "/", a redirect replaces it.
  std::string URL;
  // Value of the last Location header seen (not cleared between responses).
  std::string LocationValue;
  // Value of the last response's Set-Cookie header.
  std::string CookieIn;

  // Limits of each response (see above); a test may lower them.
  size_t MaxHeaderBytes = size_t{64} * 1024;
  size_t MaxHeaderLines = 200;
  uint64_t MaxTextBody = 8ull << 20;    // Body in text mode
  uint64_t MaxFileBody = 256ull << 20;  // the body file in InputFileMode
  uint64_t MinDiskFree = 64ull << 20;   // left free on the body file's disk
  int64_t MinBodyRate = 1024;           // bytes per second, averaged, after TimeOut

  // The request header is complete; no network activity of this pass has happened yet.
  std::function<void(THttpClient& sender)> OnAboutToSend;
  // Status below 299 / above 399; the argument is the request kind (0 for GET).
  std::function<void(int cmd)> OnSuccess;
  std::function<void(int cmd)> OnFailure;
  // Status 300..398; setting handled ends the request there.
  std::function<void(bool& handled)> OnRedirect;
  // Status 401 (the request is not repeated for it).
  std::function<void(THttpClient&)> OnAuthenticationNeeded;

  // GET of `url`, absolute ("http://host:port/path") or relative to Host ("/path").
  // Raises Exception "Empty URL", "HTTP Secure Socket is not supported", a port conversion
  // error, a file error, or whatever the transport raises.
  void Get(const std::string& url);
  // Ends the current wait, a host look-up included.
  void Abort() override;

  // True while this pass goes to another host (or port) than the one Get began with.
  bool PassGoesToOtherHost() const { return OtherHost_; }
  // The request target of the current pass (the URL from its path on).
  const std::string& RequestPath() const { return RequestPath_; }

  // The steps of one pass, public so that they can be checked on their own.
  virtual void ParseURL();
  virtual void BuildRequestHeader();
  virtual void SendRequest();
  virtual void ReadResponseHeader();

 protected:
  virtual void DoRequest();

 private:
  // The body, up to the end of the connection, within its limits and pace.
  void CaptureBody();
  bool IsCurrentHost(const std::string& host, int32_t port) const;

  std::string RequestPath_;
  int RequestKind_ = kCmdGet;
  std::string StartHost_;
  int32_t StartPort_ = 0;
  bool OtherHost_ = false;
  // The last response had a Location line with a non-empty, usable value.
  bool LocationGiven_ = false;
  // The cookie a redirect put into HeaderInfo.Cookie, and the host and port that set it.
  std::string CookieSet_;
  std::string CookieHost_;
  int32_t CookiePort_ = 0;
};
