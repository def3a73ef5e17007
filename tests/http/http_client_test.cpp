// The HTTP client: URL parsing, the request on the wire, responses of every shape,
// hostile servers, redirects and the body and header files, over real loopback sockets.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <chrono>
#include <thread>

#include <QTimer>
#include <fstream>

#include "http/http_client.h"
#include "scripted_server.h"

namespace {

using namespace http_test;

const std::string kAccept1 = "Accept: www/source, text/html, video/mpeg, image/jpeg, image/x-tiff";
const std::string kAccept2 =
    "Accept: image/x-rgb, image/x-xbm, image/gif, */*, application/postscript";
const std::string kContentType = "Content-type: application/x-www-form-urlencoded";

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool FileExists(const std::string& name) {
  struct stat st {};
  return ::stat(name.c_str(), &st) == 0;
}

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApplication();
    char pattern[] = "/tmp/http_client_test.XXXXXX";
    Dir = ::mkdtemp(pattern);
  }
  void TearDown() override { (void)!std::system(("rm -rf '" + Dir + "'").c_str()); }

  // A client aimed at `server` with relative URLs, counting its events.
  std::unique_ptr<THttpClient> ClientFor(const ScriptedServer& server, int timeOut = 2000) {
    auto c = std::make_unique<THttpClient>();
    c->Host = server.address();
    c->Port = server.port();
    c->TimeOut = timeOut;
    c->OnSuccess = [this](int cmd) { Successes.push_back(cmd); };
    c->OnFailure = [this](int cmd) { Failures.push_back(cmd); };
    return c;
  }

  std::string Dir;
  std::vector<int> Successes, Failures;
};

// ---------------------------------------------------------------------------------------
// Parsing

struct UrlCase {
  const char* url;
  const char* hostBefore;
  int portBefore;
  const char* host;  // after parsing
  int port;
  std::string path;
  const char* urlAfter;
  const char* error;
};

TEST_F(HttpClientTest, ParseURL_HostPortPathAndErrors) {
  const std::string longQuery = "/cgi-bin/tx.cgi?q=" + std::string(290, '1');
  const UrlCase cases[] = {
      {"/x?y=1", "h", 0, "h", 80, "/x?y=1", "/x?y=1", nullptr},
      {"http://h:8080/x", "old", 0, "h", 8080, "/x", "http://h:8080/x", nullptr},
      {"http://h", "old", 0, "h", 80, "/", "http://h/", nullptr},
      // Any ":" selects the port by the text before it, even one in the query.
      {"/x?t=12:30", "h", 8080, "h", 80, "/x?t=12:30", "/x?t=12:30", nullptr},
      {"/x?y=1", "h", 8080, "h", 8080, "/x?y=1", "/x?y=1", nullptr},
      {"ftp://f/file", "h", 0, "f", 21, "/file", "ftp://f/file", nullptr},
      {"gopher://g/", "h", 0, "g", 70, "/", "gopher://g//", nullptr},
      {"h2:81/x", "h", 0, "h2", 81, "/x", "h2:81/x", nullptr},
      {"page.htm", "h", 0, "page.htm", 80, "/", "page.htm/", nullptr},
      {longQuery.c_str(), "h", 0, "h", 80, longQuery.substr(0, 256), longQuery.c_str(), nullptr},
      {"", "h", 0, "h", 0, "", "", "Empty URL"},
      {"https://h/x", "h", 0, "h", 80, "", "", "HTTP Secure Socket is not supported"},
      {"HTTPS://h/x", "h", 0, "h", 80, "", "", "HTTP Secure Socket is not supported"},
      {"http://h:8o/x", "h", 0, "h", 80, "", "", "'8o' is not a valid integer value"},
      {"http://h:70000/x", "h", 0, "h", 80, "", "", "'70000' is not a valid port number"},
  };
  for (const UrlCase& c : cases) {
    THttpClient client;
    client.Host = c.hostBefore;
    client.Port = c.portBefore;
    client.URL = c.url;
    try {
      client.ParseURL();
      EXPECT_EQ(c.error, nullptr) << c.url << ": no exception";
      EXPECT_EQ(client.Host, c.host) << c.url;
      EXPECT_EQ(client.Port, c.port) << c.url;
      EXPECT_EQ(client.RequestPath(), c.path) << c.url;
      EXPECT_EQ(client.URL, c.urlAfter) << c.url;
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), c.error ? c.error : "") << c.url;
    }
  }
}

// ---------------------------------------------------------------------------------------
// The request on the wire

TEST_F(HttpClientTest, Get_SendsTheExactLinesInOrder_WithTheHandlersLineLast) {
  ScriptedServer server({{Read(), Send("HTTP/1.0 200 OK\r\n\r\nok")}});
  auto c = ClientFor(server);
  c->HeaderInfo.UserId = "1234";
  c->HeaderInfo.Password = "1234";
  c->OnAboutToSend = [](THttpClient& sender) { sender.RequestHeaders.SetHeader("Vorbu", "1234"); };
  c->Get("/cgi-bin/tx.cgi?s=5&v=1&q=0&ID=7&w=1");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0],
            "GET /cgi-bin/tx.cgi?s=5&v=1&q=0&ID=7&w=1 HTTP/1.0\r\n"
            "Host: 127.0.0.1\r\n" +
                kAccept1 + "\r\n" + kAccept2 +
                "\r\n"
                "Authorization: Basic MTIzNDoxMjM0\r\n" +
                kContentType +
                "\r\n"
                "Vorbu: 1234\r\n"
                "\r\n");
  EXPECT_EQ(c->Body, "ok");
  EXPECT_FALSE(c->Connected());
}

TEST_F(HttpClientTest, BuildRequestHeader_OptionalLinesOnlyWhenComplete) {
  struct Case {
    const char* user;
    const char* password;
    const char* program;
    const char* cookie;
    std::vector<std::string> middle;  // lines between the Accept lines and Content-type
  } cases[] = {
      {"u", "", "", "", {}},
      {"", "p", "", "", {}},
      {"u", "p", "", "", {"Authorization: Basic dTpw"}},
      {"", "", "reader/1", "a=b", {"User-Agent: reader/1", "Cookie: a=b"}},
  };
  for (const Case& k : cases) {
    THttpClient c;
    c.Host = "h";
    c.URL = "/x";
    c.HeaderInfo.UserId = k.user;
    c.HeaderInfo.Password = k.password;
    c.HeaderInfo.LocalProgram = k.program;
    c.HeaderInfo.Cookie = k.cookie;
    c.ParseURL();
    c.BuildRequestHeader();
    std::vector<std::string> expected = {"GET /x HTTP/1.0", "Host: h", kAccept1, kAccept2};
    expected.insert(expected.end(), k.middle.begin(), k.middle.end());
    expected.push_back(kContentType);
    EXPECT_EQ(c.RequestHeaders.Lines(), expected) << k.user << "/" << k.password;
  }
}

TEST_F(HttpClientTest, Proxy_RequestLineCarriesTheWholeUrl) {
  ScriptedServer proxy({{Read(), Send("HTTP/1.0 200 OK\r\n\r\n")}});
  THttpClient c;
  c.Proxy = "127.0.0.1";
  c.ProxyPort = proxy.port();
  c.TimeOut = 2000;
  c.Get("http://far.example/x");
  ASSERT_EQ(proxy.requests().size(), 1u);
  EXPECT_EQ(proxy.requests()[0].substr(0, proxy.requests()[0].find("Accept")),
            "GET http://far.example/x HTTP/1.0\r\nProxy-Connection: Keep-Alive\r\n"
            "Host: far.example\r\n");
}

// ---------------------------------------------------------------------------------------
// Responses

struct ResponseCase {
  const char* name;
  std::string response;
  int status;
  std::string header;
  std::string body;
  int successes;
  int failures;
};

TEST_F(HttpClientTest, Responses_StatusHeaderBodyAndEvents) {
  const ResponseCase cases[] = {
      {"200 with body", "HTTP/1.0 200 OK\r\nA: b\r\n\r\nbody\r\nbytes\x01", 200,
       "HTTP/1.0 200 OK\r\nA: b\r\n\r\n", "body\r\nbytes\x01", 1, 0},
      {"header block only", "HTTP/1.0 200 OK\r\nA: b\r\n\r\n", 200,
       "HTTP/1.0 200 OK\r\nA: b\r\n\r\n", "", 1, 0},
      {"bare line feeds", "HTTP/1.0 200 OK\nA: b\n\nx", 200, "HTTP/1.0 200 OK\nA: b\n\n", "x", 1,
       0},
      {"nothing at all", "", 0, "", "", 1, 0},
      {"404 page", "HTTP/1.0 404 Not Found\r\n\r\n<h1>gone</h1>", 404,
       "HTTP/1.0 404 Not Found\r\n\r\n", "<h1>gone</h1>", 0, 1},
      {"500 page", "HTTP/1.1 500 Internal Server Error\r\nX: y\r\n\r\noops", 500,
       "HTTP/1.1 500 Internal Server Error\r\nX: y\r\n\r\n", "oops", 0, 1},
      // The line end is not part of the number: a status without a reason phrase counts.
      {"404 without reason", "HTTP/1.0 404\r\n\r\n", 404, "HTTP/1.0 404\r\n\r\n", "", 0, 1},
      {"status not a number", "HTTP/1.0 OK\r\n\r\nz", 0, "HTTP/1.0 OK\r\n\r\n", "z", 1, 0},
      {"close inside the status line", "HTTP/1.0 20", 0, "", "", 1, 0},
      {"close after the status line", "HTTP/1.0 200 OK\r\n", 200, "HTTP/1.0 200 OK\r\n", "", 1, 0},
      {"close inside the header block", "HTTP/1.0 200 OK\r\nContent-Ty", 200, "HTTP/1.0 200 OK\r\n",
       "", 1, 0},
      // Content-Length does not limit the read.
      {"body longer than announced", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nabcdef", 200,
       "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n", "abcdef", 1, 0},
  };
  for (const ResponseCase& k : cases) {
    Successes.clear();
    Failures.clear();
    ScriptedServer server({{Read(), Send(k.response)}});
    auto c = ClientFor(server);
    c->Get("/x");
    EXPECT_EQ(c->ReplyCode, k.status) << k.name;
    EXPECT_EQ(c->Header, k.header) << k.name;
    EXPECT_EQ(c->Body, k.body) << k.name;
    EXPECT_EQ(Successes, std::vector<int>(k.successes, 0)) << k.name;
    EXPECT_EQ(Failures, std::vector<int>(k.failures, 0)) << k.name;
    EXPECT_FALSE(c->Connected()) << k.name;
  }
}

TEST_F(HttpClientTest, SetCookieAndLocation_CountCharactersFromTheLineStart) {
  struct Case {
    std::string line;
    std::string cookie;
    std::string location;
  } cases[] = {
      {"Set-Cookie: a=b; path=/\r\n", "a=b; path=/", "old"},
      {"SET-COOKIE: x\n", "x", "old"},
      {"Set-Cookie:a=b\r\n", "", "old"},  // no blank after the colon: not recognised
      {"Location:  /two-blanks\r\n", "", " /two-blanks"},
      {"location: " + std::string(300, 'L') + "\r\n", "", std::string(256, 'L')},
      // A value with a control character in it is dropped, as if its line were absent.
      {"Set-Cookie: a=b\rInjected: yes\r\n", "", "old"},
      {"Location: /x\rInjected: yes\r\n", "", "old"},
      {std::string("Set-Cookie: a\0b\r\n", 16), "", "old"},
  };
  for (const Case& k : cases) {
    ScriptedServer server({{Read(), Send("HTTP/1.0 200 OK\r\n" + k.line + "\r\n")}});
    auto c = ClientFor(server);
    c->LocationValue = "old";  // not cleared between responses
    c->Get("/x");
    EXPECT_EQ(c->CookieIn, k.cookie) << k.line;
    EXPECT_EQ(c->LocationValue, k.location) << k.line;
  }
}

TEST_F(HttpClientTest, Status401_CallsAuthenticationNeededOnceWithoutRepeating) {
  ScriptedServer server({{Read(), Send("HTTP/1.0 401 Unauthorized\r\n\r\nno")}});
  auto c = ClientFor(server);
  int asked = 0;
  c->OnAuthenticationNeeded = [&](THttpClient&) { ++asked; };
  c->Get("/x");
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(server.accepted(), 1);
  EXPECT_EQ(Failures, std::vector<int>{0});
}

// ---------------------------------------------------------------------------------------
// Hostile servers

struct HostileCase {
  const char* name;
  Script script;
  int timeOut;
  const char* error;
  std::string body;          // what Body holds afterwards
  bool partialBody = false;  // or a part of `body` from its start
};

std::string HeaderLines(int count, size_t length) {
  std::string lines;
  for (int i = 0; i < count; ++i) lines += "X: " + std::string(length, 'x') + "\r\n";
  return lines;
}

TEST_F(HttpClientTest, HostileServers_EndInAClearFailureAndAClosedConnection) {
  const std::string dripped = "HTTP/1.0 200 OK\r\nA: b\r\n\r\ndripped body";
  const HostileCase cases[] = {
      {"stall before the status line",
       {Read(), Stall()},
       200,
       "Socket readln aborted",
       "Default.htm"},
      {"stall inside the status line",
       {Read(), Send("HTTP/1.0 2"), Stall()},
       200,
       "Socket readln aborted",
       "Default.htm"},
      {"stall inside the header block",
       {Read(), Send("HTTP/1.0 200 OK\r\nA: "), Stall()},
       200,
       "Socket readln aborted",
       "Default.htm"},
      {"stall after the header block",
       {Read(), Send("HTTP/1.0 200 OK\r\n\r\n"), Stall()},
       200,
       "Socket capture aborted",
       ""},
      {"stall inside the body",
       {Read(), Send("HTTP/1.0 200 OK\r\n\r\npart"), Stall()},
       200,
       "Socket capture aborted",
       "part"},
      {"100 KiB header line",
       {Read(), Send("HTTP/1.0 200 OK\r\nX: " + std::string(100 * 1024, 'x') + "\r\n\r\n")},
       2000,
       TSocketTransport::kLineTooLong,
       "Default.htm"},
      {"reset after the header",
       {Read(), Send("HTTP/1.0 200 OK\r\n\r\nabc"), Pause(50), Reset()},
       2000,
       "10054:Connection reset by peer",
       "abc"},
      {"reset before anything",
       {Read(), Reset()},
       2000,
       "10054:Connection reset by peer",
       "Default.htm"},
      {"drip one byte at a time", {Read(), Drip(dripped, 1)}, 2000, nullptr, "dripped body"},
      // Each line well within the time-out, the block not: 3 s of lines.
      {"drip of header lines",
       {Read(), Send("HTTP/1.0 200 OK\r\n"), Drip(HeaderLines(100, 1), 5)},
       300,
       "Socket readln aborted",
       "Default.htm"},
      // 200 bytes a second, for 3 s.
      {"drip of the body",
       {Read(), Send("HTTP/1.0 200 OK\r\n\r\n"), Drip(std::string(600, 'b'), 5)},
       300,
       "Socket capture aborted",
       std::string(600, 'b'),
       true},
      {"header block of 200 lines",
       {Read(), Send("HTTP/1.0 200 OK\r\n" + HeaderLines(198, 1) + "\r\nbody")},
       2000,
       nullptr,
       "body"},
      {"header block of 201 lines",
       {Read(), Send("HTTP/1.0 200 OK\r\n" + HeaderLines(199, 1) + "\r\nbody")},
       2000,
       "Response header longer than 200 lines",
       "Default.htm"},
      {"header block over 64 KiB",
       {Read(), Send("HTTP/1.0 200 OK\r\n" + HeaderLines(70, 1000) + "\r\nbody")},
       2000,
       "Response header larger than 64 KiB",
       "Default.htm"},
  };
  for (const HostileCase& k : cases) {
    ScriptedServer server({k.script});
    auto c = ClientFor(server, k.timeOut);
    try {
      c->Get("/x");
      EXPECT_EQ(k.error, nullptr) << k.name << ": no exception";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), k.error ? k.error : "") << k.name;
    }
    if (k.partialBody) {
      EXPECT_LT(c->Body.size(), k.body.size()) << k.name;
      EXPECT_EQ(c->Body, k.body.substr(0, c->Body.size())) << k.name;
    } else {
      EXPECT_EQ(c->Body, k.body) << k.name;
    }
    EXPECT_FALSE(c->Connected()) << k.name;
  }
}

TEST_F(HttpClientTest, BodyLimits_TextFileAndFreeDisk) {
  constexpr uint64_t kText = 8ull << 20;
  struct statvfs disk {};
  ASSERT_EQ(0, ::statvfs(Dir.c_str(), &disk));
  const uint64_t freeDisk = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
  struct Case {
    const char* name;
    uint64_t bytes;
    bool toFile;
    uint64_t maxFileBody;
    uint64_t minDiskFree;
    std::string error;  // how the message begins; empty: no exception
  } cases[] = {
      {"text of 8 MiB", kText, false, 0, 0, ""},
      {"text over 8 MiB", kText + 1, false, 0, 0, "Response body larger than 8 MiB"},
      {"file over its limit", (1 << 20) + 1, true, 1 << 20, 0, "Response body larger than 1 MiB"},
      {"file that would fill the disk", 64ull << 20, true, 0, freeDisk - (4 << 20),
       "Response body would leave less than "},
  };
  for (const Case& k : cases) {
    ScriptedServer server({{Read(), Send("HTTP/1.0 200 OK\r\n\r\n"), Pattern(k.bytes)}});
    auto c = ClientFor(server, 5000);
    c->MaxFileBody = k.maxFileBody;
    c->MinDiskFree = k.minDiskFree;
    c->InputFileMode = k.toFile;
    if (k.toFile) c->Body = Dir + "/bod.mp3";
    try {
      c->Get("/x");
      EXPECT_EQ(k.error, "") << k.name << ": no exception";
    } catch (const ELimitError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(k.error, 0), 0u) << k.name << ": " << e.what();
    }
    if (k.toFile) {
      EXPECT_EQ(ReadFile(c->Body), "") << k.name << ": the refused part is given back";
    } else {
      EXPECT_EQ(c->Body.size(), k.error.empty() ? k.bytes : 0) << k.name;
    }
    EXPECT_FALSE(c->Connected()) << k.name;
  }
}

TEST_F(HttpClientTest, ConnectAndLookupFailures_PassThroughGet) {
  StalledListener stalled;
  const uint16_t closed = ClosedPort();
  struct Case {
    const char* name;
    std::string url;
    bool invalidHostHandler;
    const char* error;
  } cases[] = {
      {"refused port", "http://127.0.0.1:" + std::to_string(closed) + "/x", false,
       "Connection Failed"},
      {"no answer to connect", "http://127.0.0.1:" + std::to_string(stalled.port()) + "/x", false,
       "Connection Timed out"},
      {"name that does not resolve", "http://no..such..host/x", false, "Null Remote Address"},
      {"same, with OnInvalidHost", "http://no..such..host/x", true, "Null Remote Address"},
  };
  for (const Case& k : cases) {
    THttpClient c;
    c.TimeOut = 200;
    int asked = 0;
    if (k.invalidHostHandler) c.OnInvalidHost = [&](bool&) { ++asked; };
    try {
      c.Get(k.url);
      ADD_FAILURE() << k.name << ": no exception";
    } catch (const ESockError& e) {
      EXPECT_STREQ(e.what(), k.error) << k.name;
    }
    EXPECT_EQ(asked, k.invalidHostHandler ? 1 : 0) << k.name;
    EXPECT_FALSE(c.Connected()) << k.name;
  }
}

TEST_F(HttpClientTest, HttpsAndEmptyUrls_FailBeforeAnyConnection) {
  ScriptedServer server({{Read(), Send("HTTP/1.0 200 OK\r\n\r\n")}});
  for (const auto& [url, message] : {std::pair<std::string, std::string>{"", "Empty URL"},
                                     {"https://127.0.0.1:" + std::to_string(server.port()) + "/",
                                      "HTTP Secure Socket is not supported"}}) {
    auto c = ClientFor(server);
    int aboutToSend = 0;
    c->OnAboutToSend = [&](THttpClient&) { ++aboutToSend; };
    try {
      c->Get(url);
      ADD_FAILURE() << url;
    } catch (const Exception& e) {
      EXPECT_EQ(e.what(), message);
    }
    EXPECT_EQ(aboutToSend, 0);
  }
  EXPECT_EQ(server.accepted(), 0);
}

TEST_F(HttpClientTest, AbortFromATimerWhileWaiting_EndsTheRequest) {
  ScriptedServer server({{Read(), Stall()}});
  auto c = ClientFor(server, 0);  // no time-out: only the abort can end it
  QTimer::singleShot(100, c.get(), [&] { c->Abort(); });
  try {
    c->Get("/x");
    FAIL() << "no exception";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket readln aborted");
  }
  EXPECT_FALSE(c->Connected());
  // The client is usable again afterwards.
  ScriptedServer good({{Read(), Send("HTTP/1.0 200 OK\r\n\r\nfine")}});
  c->Port = good.port();
  c->Get("/x");
  EXPECT_EQ(c->Body, "fine");
}

// ---------------------------------------------------------------------------------------
// Redirects

TEST_F(HttpClientTest, Redirect_FollowsLocationAndCarriesTheCookie) {
  ScriptedServer server({
      {Read(), Send("HTTP/1.0 302 Found\r\nSet-Cookie: s=1\r\nLocation: /next\r\n\r\nmoved")},
      {Read(), Send("HTTP/1.0 200 OK\r\n\r\nfinal")},
  });
  auto c = ClientFor(server);
  int redirects = 0;
  c->OnRedirect = [&](bool&) { ++redirects; };
  c->Get("/first");
  EXPECT_EQ(redirects, 1);
  EXPECT_EQ(c->ReplyCode, 200);
  EXPECT_EQ(c->Body, "final");
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(server.requests()[1].rfind("GET /next HTTP/1.0\r\n", 0), 0u);
  EXPECT_NE(server.requests()[1].find("\r\nCookie: s=1\r\n"), std::string::npos);
}

TEST_F(HttpClientTest, Redirect_HandledByTheHandlerEndsThere) {
  ScriptedServer server({{Read(), Send("HTTP/1.0 301 Moved\r\nLocation: /next\r\n\r\n")}});
  auto c = ClientFor(server);
  c->OnRedirect = [](bool& handled) { handled = true; };
  c->Get("/first");
  EXPECT_EQ(c->ReplyCode, 301);
  EXPECT_EQ(c->URL, "/next");
  EXPECT_EQ(server.accepted(), 1);
}

TEST_F(HttpClientTest, RedirectLoop_IsFollowedTenTimesThenTheLastResponseIsFinal) {
  for (const char* response :
       {"HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\nloop", "HTTP/1.0 399 Odd\r\n\r\nodd"}) {
    ScriptedServer server({{Read(), Send(response)}});
    auto c = ClientFor(server);
    c->Get("/start");
    EXPECT_EQ(server.accepted(), 1 + THttpClient::kMaxRedirects) << response;
    EXPECT_EQ(c->Body, std::string(response).substr(std::string(response).find("\r\n\r\n") + 4));
    EXPECT_FALSE(c->Connected());
  }
}

TEST_F(HttpClientTest, RedirectToAnotherHost_LeavesCredentialsOut) {
  ScriptedServer other({{Read(), Send("HTTP/1.0 200 OK\r\n\r\nelsewhere")}}, "127.0.0.2");
  ScriptedServer server({{Read(), Send("HTTP/1.0 302 Found\r\nSet-Cookie: s=1\r\nLocation: " +
                                       other.base() + "/landing\r\n\r\n")}});
  auto c = ClientFor(server);
  c->HeaderInfo.UserId = "user";
  c->HeaderInfo.Password = "secret";
  std::vector<bool> otherHost;
  c->OnAboutToSend = [&](THttpClient& sender) {
    otherHost.push_back(sender.PassGoesToOtherHost());
    if (!sender.PassGoesToOtherHost()) sender.RequestHeaders.SetHeader("Vorbu", "secret");
  };
  c->Get("/start");
  EXPECT_EQ(c->Body, "elsewhere");
  EXPECT_EQ(otherHost, (std::vector<bool>{false, true}));
  ASSERT_EQ(server.requests().size(), 1u);
  ASSERT_EQ(other.requests().size(), 1u);
  EXPECT_NE(server.requests()[0].find("Authorization: Basic dXNlcjpzZWNyZXQ="), std::string::npos);
  EXPECT_NE(server.requests()[0].find("Vorbu: secret"), std::string::npos);
  EXPECT_EQ(other.requests()[0].find("secret"), std::string::npos);
  EXPECT_EQ(other.requests()[0].find("Authorization"), std::string::npos);
  EXPECT_EQ(other.requests()[0].find("Cookie"), std::string::npos) << "set by another host";
  EXPECT_EQ(other.requests()[0].rfind("GET /landing HTTP/1.0\r\nHost: 127.0.0.2\r\n", 0), 0u);
}

// ---------------------------------------------------------------------------------------
// Files

TEST_F(HttpClientTest, BodyFile_IsCreatedBeforeTheFirstByte_HeaderStaysInMemory) {
  ScriptedServer server({{Read(), Pause(150), Send("HTTP/1.0 404 Not Found\r\n\r\nmissing")}});
  auto c = ClientFor(server);
  const std::string bodyFile = Dir + "/bod.mp3";
  std::ofstream(bodyFile) << "previous contents";
  c->InputFileMode = true;
  c->Body = bodyFile;
  c->Get("/x");
  EXPECT_EQ(c->Body, bodyFile);
  EXPECT_EQ(ReadFile(bodyFile), "missing");
  EXPECT_EQ(c->Header, "HTTP/1.0 404 Not Found\r\n\r\n");
  EXPECT_EQ(Failures, std::vector<int>{0});

  // A body that stalls: the file exists (empty) while the request waits, and stays.
  ScriptedServer stalled({{Read(), Send("HTTP/1.0 200 OK\r\n\r\n"), Stall()}});
  c->Port = stalled.port();
  c->TimeOut = 300;
  bool existedEmpty = false;
  // Looked at from the first event the capture's wait runs, once the body file is open.
  c->ReportLevel = 8;
  c->OnStatus = [&](TSocketTransport&, const std::string& text) {
    if (text != "CaptureFile") return;
    QTimer::singleShot(0, c.get(),
                       [&] { existedEmpty = FileExists(bodyFile) && ReadFile(bodyFile).empty(); });
  };
  EXPECT_THROW(c->Get("/x"), EAbortError);
  c->OnStatus = nullptr;
  EXPECT_TRUE(existedEmpty);
  EXPECT_TRUE(FileExists(bodyFile));
}

TEST_F(HttpClientTest, HeaderFile_ReceivesTheHeader_AndAnUncreatableOneFailsAfterConnecting) {
  ScriptedServer server({{Read(), Send("HTTP/1.0 200 OK\r\nA: b\r\n\r\nbody")}});
  auto c = ClientFor(server);
  c->OutputFileMode = true;
  c->Header = Dir + "/head.txt";
  c->Get("/x");
  EXPECT_EQ(ReadFile(Dir + "/head.txt"), "HTTP/1.0 200 OK\r\nA: b\r\n\r\n");
  EXPECT_EQ(c->Header, Dir + "/head.txt");
  EXPECT_EQ(c->Body, "body");

  c->Header = Dir + "/missing-folder/head.txt";
  try {
    c->Get("/x");
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"" + c->Header + "\"", 0), 0u);
  }
  EXPECT_FALSE(c->Connected());
  // The server's thread counts the connection when it gets there.
  EXPECT_TRUE(server.WaitAccepted(2, std::chrono::seconds(5)));
  EXPECT_EQ(server.accepted(), 2);
}

TEST_F(HttpClientTest, BodyLargerThan64MiB_ArrivesIntactInTheFile) {
  constexpr uint64_t kSize = 64ull * 1024 * 1024 + 12345;
  ScriptedServer server({{Read(), Send("HTTP/1.0 200 OK\r\n\r\n"), Pattern(kSize)}});
  auto c = ClientFor(server, 5000);
  c->InputFileMode = true;
  c->Body = Dir + "/big.bin";
  c->Get("/big");
  std::ifstream in(c->Body, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  uint64_t offset = 0;
  uint64_t mismatches = 0;
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    for (std::streamsize i = 0; i < in.gcount(); ++i)
      mismatches += chunk[i] != PatternByte(offset + i);
    offset += static_cast<uint64_t>(in.gcount());
  }
  EXPECT_EQ(offset, kSize);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(c->ReceivedCount(), static_cast<int32_t>(kSize));
}

}  // namespace
