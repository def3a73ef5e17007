#include "http/http_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "base/file_write.h"
#include "base/regular_file.h"
#include "base/unique_fd.h"
#include "http/base64.h"
#include "http/response_header.h"

namespace {

constexpr size_t kMaxPath = 256;

std::string LowerAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return LowerAscii(a) == LowerAscii(b);
}

// Position of the n-th "/" (1-based n), or npos.
size_t NthSlash(const std::string& s, int n) {
  size_t p = std::string::npos;
  for (int i = 0; i < n; ++i) {
    p = s.find('/', p == std::string::npos ? 0 : p + 1);
    if (p == std::string::npos) break;
  }
  return p;
}

// A decimal number with an optional sign that fits `T`.
template <typename T>
bool ParseNumber(const std::string& text, T& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  if (first == last) return false;
  const auto [end, error] = std::from_chars(first, last, value);
  return error == std::errc() && end == last;
}

int32_t PortNumber(const std::string& text) {
  int32_t port = 0;
  if (!ParseNumber(text, port)) throw Exception("'" + text + "' is not a valid integer value");
  // A port that does not fit 16 bits would silently connect somewhere else.
  if (port < 0 || port > 65535) throw Exception("'" + text + "' is not a valid port number");
  return port;
}

// Receives the response header into a string or a file.
class HeaderSink {
 public:
  HeaderSink(bool toFile, std::string& header) : ToFile_(toFile), Header_(header) {
    if (ToFile_) {
      Fd_.reset(tr_base::OpenRegularFile(Header_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW,
                                         0666));
      if (!Fd_.valid()) {
        throw Exception("Cannot create file \"" + Header_ + "\". " + std::strerror(errno));
      }
    } else {
      Header_.clear();
    }
  }

  void Store(const std::string& line) {
    if (!ToFile_) {
      Header_ += line;
      return;
    }
    if (!tr_base::WriteAll(Fd_.get(), line)) {
      throw Exception("Cannot write file \"" + Header_ + "\". " + std::strerror(errno));
    }
  }

 private:
  bool ToFile_;
  std::string& Header_;
  tr_base::UniqueFd Fd_;
};

}  // namespace

THttpClient::THttpClient(QObject* owner, tr_http::TSocketLibrary* library)
    : TSocketTransport(owner, library) {}

void THttpClient::Get(const std::string& url) {
  RequestKind_ = kCmdGet;
  URL = url;
  DoRequest();
}

void THttpClient::Abort() {
  LookupDone = true;
  Cancel();
}

void THttpClient::DoRequest() {
  OtherHost_ = false;
  int redirects = 0;
  for (bool first = true;; first = false) {
    ParseURL();
    if (first) {
      StartHost_ = Host;
      StartPort_ = Port;
    }
    OtherHost_ = !IsCurrentHost(StartHost_, StartPort_);
    BuildRequestHeader();
    if (OnAboutToSend) OnAboutToSend(*this);

    int status = 0;
    try {
      Connect();
      SendRequest();
      ReplyCode = 0;
      ReadResponseHeader();
      CaptureBody();
      status = ReplyCode;
      if (status < 299) {
        if (OnSuccess) OnSuccess(RequestKind_);
        ReportStatus(2, "Transaction Completed");
      } else if (status > 399) {
        if (OnFailure) OnFailure(RequestKind_);
      } else if (status >= 300 && status <= 302 && LocationGiven_) {
        URL = LocationValue;
      }
    } catch (...) {
      try {
        Disconnect();
      } catch (...) {
        // The first failure is the one the caller needs to see.
      }
      throw;
    }
    Disconnect();

    if (status > 299 && status < 399) {
      bool handled = false;
      if (!CookieIn.empty()) {
        HeaderInfo.Cookie = CookieIn;
        CookieSet_ = CookieIn;
        CookieHost_ = Host;
        CookiePort_ = Port;
      }
      if (OnRedirect) OnRedirect(handled);
      if (handled) return;
      // Without a Location of its own the response cannot move the request (an older
      // Location would move it to wherever an earlier response pointed): it is final.
      if (status <= 302 && !LocationGiven_) return;
      if (URL.find('/') == std::string::npos) URL = "http://" + Host + "/" + URL;
    }
    if (status == 401 && OnAuthenticationNeeded) OnAuthenticationNeeded(*this);
    if (status < 299 || status > 399) return;
    // A redirect loop (or a redirect without a usable Location) ends here: the last
    // response is taken as final.
    if (redirects == kMaxRedirects) return;
    ++redirects;
  }
}

void THttpClient::ParseURL() {
  if (URL.empty()) throw Exception("Empty URL");
  if (Port == 0) Port = 80;

  const bool authority = URL.find("//") != std::string::npos;
  if (authority) {
    const size_t third = NthSlash(URL, 3);
    RequestPath_ = (third == std::string::npos || third + 1 == URL.size())
                       ? std::string()
                       : URL.substr(third, kMaxPath);
  } else if (const size_t slash = URL.find('/'); slash != std::string::npos) {
    RequestPath_ = URL.substr(slash, kMaxPath);
  } else {
    RequestPath_.clear();
  }

  // Any ":" selects the port by the text before it, a scheme or not.
  if (const size_t colon = URL.find(':'); colon != std::string::npos) {
    const std::string scheme = LowerAscii(URL.substr(0, colon));
    if (scheme == "gopher") {
      Port = 70;
    } else if (scheme == "ftp") {
      Port = 21;
    } else if (scheme == "https") {
      throw Exception("HTTP Secure Socket is not supported");
    } else {
      Port = 80;
    }
  }

  std::string host;
  if (authority) {
    const size_t second = NthSlash(URL, 2);
    const size_t third = NthSlash(URL, 3);
    host =
        URL.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
  } else if (URL[0] != '/') {
    host = URL.substr(0, URL.find('/'));
  }
  if (const size_t p = host.find(':'); p != std::string::npos) {
    const size_t q = host.find(':', p + 1);
    Port = PortNumber(host.substr(p + 1, q == std::string::npos ? std::string::npos : q - p - 1));
    host.erase(p);
  }
  if (!host.empty()) Host = host;

  if (RequestPath_.empty()) {
    RequestPath_ = "/";
    URL += "/";
  }
}

void THttpClient::BuildRequestHeader() {
  RequestHeaders.Clear();
  RequestHeaders.Add("GET " + (Proxy.empty() ? RequestPath_ : URL) + " HTTP/1.0");
  if (!Proxy.empty()) {
    RequestHeaders.Add("Proxy-Connection: Keep-Alive");
    RequestHeaders.Add("Host: " + Host);
  }
  RequestHeaders.SetHeader("Host", Host);
  RequestHeaders.Add("Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff");
  RequestHeaders.Add("Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript");
  RequestHeaders.SetHeader("User-Agent", HeaderInfo.LocalProgram);
  RequestHeaders.SetHeader("From", HeaderInfo.LocalMailAddress);
  // A cookie that a response set goes back only to the host that set it; one the caller
  // set goes wherever the caller sends the request.
  if (!HeaderInfo.Cookie.empty() &&
      (HeaderInfo.Cookie != CookieSet_ || IsCurrentHost(CookieHost_, CookiePort_))) {
    RequestHeaders.SetHeader("Cookie", HeaderInfo.Cookie);
  }
  if (!HeaderInfo.Referer.empty()) RequestHeaders.SetHeader("Referer", HeaderInfo.Referer);
  // Credentials are for the host the request began with, never for a redirect target.
  if (!HeaderInfo.UserId.empty() && !HeaderInfo.Password.empty() && !OtherHost_) {
    RequestHeaders.SetHeader(
        "Authorization",
        "Basic " + tr_http::Base64Encode(HeaderInfo.UserId + ":" + HeaderInfo.Password));
  }
  RequestHeaders.Add("Content-type: application/x-www-form-urlencoded");
}

void THttpClient::SendRequest() {
  std::string text;
  for (const std::string& line : RequestHeaders.Lines()) text += line + "\r\n";
  Write(text);
  Writeln("");
}

void THttpClient::ReadResponseHeader() {
  CookieIn.clear();
  HeaderSink sink(OutputFileMode, Header);
  TResponseHeader header(MaxHeaderBytes, MaxHeaderLines);
  // The status line and the header block together must arrive within TimeOut.
  BeginPace(TimeOut, 0);
  struct PaceEnd {
    THttpClient& c;
    ~PaceEnd() { c.EndPace(); }
  } paceEnd{*this};

  std::string line;
  ReadLn(line);
  header.Add(line);
  if (header.HasStatus()) ReplyCode = header.Status();
  sink.Store(line);
  for (bool done = false; !done;) {
    ReadLn(line);
    done = header.Add(line);
    sink.Store(line);
  }
  if (header.Cookie()) CookieIn = *header.Cookie();
  // An empty value points nowhere: it sets LocationValue but moves no request.
  LocationGiven_ = header.Location() && !header.Location()->empty();
  if (header.Location()) LocationValue = *header.Location();
}

void THttpClient::CaptureBody() {
  // Up to the end of the connection, exactly as received (no Content-Length limit, no
  // transfer decoding), averaging at least MinBodyRate once TimeOut has passed.
  BeginPace(TimeOut, MinBodyRate);
  struct Restore {
    THttpClient& c;
    ~Restore() {
      c.EndPace();
      c.Limits = {};
    }
  } restore{*this};
  if (InputFileMode) {
    Limits = {MaxFileBody, MinDiskFree};
    CaptureFile(Body);
  } else {
    Limits = {MaxTextBody, 0};
    CaptureString(Body, -1);
  }
}

bool THttpClient::IsCurrentHost(const std::string& host, int32_t port) const {
  return EqualNoCase(Host, host) && Port == port;
}
