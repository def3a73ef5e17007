// The socket transport over real loopback sockets: connecting, look-ups, lines, captures,
// closes and resets, time-outs and the socket's life cycle.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTimer>
#include <cerrno>

#include "http/socket_error_text.h"
#include "http/socket_transport.h"
#include "scripted_server.h"

namespace {

using namespace http_test;

class SocketTransportTest : public ::testing::Test {
 protected:
  void SetUp() override { EnsureApplication(); }

  // A transport pointed at `server`, with a short time-out.
  static std::unique_ptr<TSocketTransport> To(const ScriptedServer& server, int timeOut = 2000) {
    auto t = std::make_unique<TSocketTransport>();
    t->Host = server.address();
    t->Port = server.port();
    t->TimeOut = timeOut;
    return t;
  }

  // Runs the event loop until `condition` holds, at most `ms` milliseconds; whether it
  // came to hold.
  static bool SpinUntil(const std::function<bool()>& condition, int ms = 5000) {
    bool late = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { late = true; });
    deadline.start(ms);
    while (!condition() && !late) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return condition();
  }
};

TEST_F(SocketTransportTest, ErrorText_NumberedTableAndUnknownCodes) {
  const std::pair<int, std::string> texts[] = {
      {0, ""},
      {10004, "10004:Interrupted system call"},
      {10035, "10035:Operation would block"},
      {10047, "10047:Address family not supported by protocol family"},
      {10061, "10061:Connection refused"},
      {10065, "10065:No route to Host"},
      {10093, "10093:Successful WSAStartup not yet performed"},
      {11004, "11004:Valid name, no data record of requested type"},
      {10000, "Unknown Error No. 10000"},
      {10072, "Unknown Error No. 10072"},
      {12055, "Unknown Error No. 12055"},
  };
  for (const auto& [code, text] : texts) EXPECT_EQ(TSocketTransport::ErrorText(code), text);

  const std::pair<int, int> codes[] = {
      {EWOULDBLOCK, 10035},  {EINPROGRESS, 10035},  {ENOTCONN, 10057},
      {ECONNREFUSED, 10061}, {ECONNRESET, 10054},   {ETIMEDOUT, 10060},
      {ENETUNREACH, 10051},  {EHOSTUNREACH, 10065}, {EBADF, 10009},
  };
  for (const auto& [posix, code] : codes) EXPECT_EQ(tr_http::SocketErrorCode(posix), code) << posix;
  // An errno without a numbered counterpart never lands on a row of the table.
  EXPECT_EQ(TSocketTransport::ErrorText(tr_http::SocketErrorCode(EDEADLK)).rfind("Unknown", 0), 0u);
}

TEST_F(SocketTransportTest, DottedHost_ConnectsWithoutLookup_NamedHostIsResolvedOnce) {
  ScriptedServer server({{Stall()}});
  auto t = To(server);
  int resolved = 0, connected = 0;
  t->OnHostResolved = [&](TSocketTransport&) { ++resolved; };
  t->OnConnect = [&](TSocketTransport&) { ++connected; };
  t->Connect();
  EXPECT_TRUE(t->Connected());
  EXPECT_EQ(resolved, 0);
  EXPECT_EQ(connected, 1);
  t->Disconnect();

  t->Host = "localhost";
  t->Connect();
  EXPECT_EQ(resolved, 1);
  EXPECT_EQ(connected, 2);
  t->Disconnect();
}

TEST_F(SocketTransportTest, ConnectWhileConnected_RaisesAndChangesNothing) {
  ScriptedServer server({{Stall()}});
  auto t = To(server);
  t->Connect();
  const uint16_t handle = t->SocketHandle();
  try {
    t->Connect();
    FAIL() << "no exception";
  } catch (const ESockError& e) {
    EXPECT_STREQ(e.what(), "Already connected");
  }
  EXPECT_TRUE(t->Connected());
  EXPECT_EQ(t->SocketHandle(), handle);
}

struct ConnectFailure {
  const char* name;
  std::function<void(TSocketTransport&)> setUp;
  const char* message;
  int failedEvents;
};

TEST_F(SocketTransportTest, ConnectFailures_GiveTheirMessages) {
  StalledListener stalled;
  const uint16_t closed = ClosedPort();
  const ConnectFailure cases[] = {
      {"refused port", [&](TSocketTransport& t) { t.Port = closed; }, "Connection Failed", 1},
      {"no answer",
       [&](TSocketTransport& t) {
         t.Port = stalled.port();
         t.TimeOut = 200;
       },
       "Connection Timed out", 1},
      {"cancel while connecting",
       [&](TSocketTransport& t) {
         t.Port = stalled.port();
         t.TimeOut = 0;
         QTimer::singleShot(100, &t, [&t] { t.Cancel(); });
       },
       "Connection Canceled", 1},
      // Rejected as a name before any query leaves the machine.
      {"name that does not resolve",
       [&](TSocketTransport& t) {
         t.Host = "no such host";
         t.Port = closed;
       },
       "Null Remote Address", 0},
      {"address 0.0.0.0",
       [&](TSocketTransport& t) {
         t.Host = "0.0.0.0";
         t.Port = closed;
       },
       "Null Remote Address", 0},
  };
  for (const ConnectFailure& c : cases) {
    TSocketTransport t;
    t.Host = "127.0.0.1";
    int failed = 0;
    t.OnConnectionFailed = [&](TSocketTransport&) { ++failed; };
    c.setUp(t);
    try {
      t.Connect();
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const ESockError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.name;
    }
    EXPECT_EQ(failed, c.failedEvents) << c.name;
    EXPECT_FALSE(t.Connected()) << c.name;
  }
}

TEST_F(SocketTransportTest, InvalidHost_HandlerIsAskedOnceAndHandledCostsOneMoreLookup) {
  for (const bool handle : {false, true}) {
    TSocketTransport t;
    t.Host = "no such host";
    t.ReportLevel = 8;
    int lookups = 0, asked = 0;
    t.OnStatus = [&](TSocketTransport&, const std::string& s) { lookups += s == "Resolve Host"; };
    t.OnInvalidHost = [&](bool& handled) {
      ++asked;
      handled = handle;
    };
    try {
      t.Connect();
      ADD_FAILURE() << "no exception";
    } catch (const ESockError& e) {
      EXPECT_STREQ(e.what(), "Null Remote Address");
    }
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(lookups, handle ? 2 : 1);
  }
}

TEST_F(SocketTransportTest, InvalidHost_HandlerCanSupplyAWorkingHost) {
  ScriptedServer server({{Stall()}});
  TSocketTransport t;
  t.Host = "no such host";
  t.Port = server.port();
  t.OnInvalidHost = [&](bool& handled) {
    t.Host = "127.0.0.1";
    handled = true;
  };
  t.Connect();
  EXPECT_TRUE(t.Connected());
}

struct LineCase {
  const char* name;
  Script script;
  std::vector<std::string> lines;  // expected ReadLn results in order
  const char* error;               // expected failure after those lines, if any
};

TEST_F(SocketTransportTest, ReadLn_KeepsTerminatorsAndHandlesCloseAndOverlongLines) {
  const std::string full(65535, 'a');
  const LineCase cases[] = {
      {"terminators kept",
       {Send("HTTP/1.0 200 OK\r\nA: b\n\r\n")},
       {"HTTP/1.0 200 OK\r\n", "A: b\n", "\r\n", ""},
       nullptr},
      {"close mid-line drops the partial line",
       {Send("complete\npartial")},
       {"complete\n", ""},
       nullptr},
      {"dripped line", {Drip("one\r\ntwo\n", 2)}, {"one\r\n", "two\n", ""}, nullptr},
      {"line filling the buffer exactly", {Send(full + "\n")}, {full + "\n", ""}, nullptr},
      {"line longer than the buffer",
       {Send(std::string(100 * 1024, 'x') + "\n")},
       {},
       TSocketTransport::kLineTooLong},
      {"reset after a line",
       {Send("first\r\n"), Pause(50), Reset()},
       {"first\r\n"},
       "10054:Connection reset by peer"},
  };
  for (const LineCase& c : cases) {
    ScriptedServer server({c.script});
    auto t = To(server);
    t->Connect();
    std::vector<std::string> got;
    const char* error = nullptr;
    std::string message;
    try {
      for (size_t i = 0; i < c.lines.size() + (c.error ? 1 : 0); ++i) {
        std::string line = "junk";
        t->ReadLn(line);
        got.push_back(line);
      }
    } catch (const ESockError& e) {
      message = e.what();
      error = message.c_str();
    }
    EXPECT_EQ(got, c.lines) << c.name;
    EXPECT_EQ(message, c.error ? c.error : "") << c.name;
    (void)error;
  }
}

TEST_F(SocketTransportTest, CaptureString_MaximumZeroReadsNothing_MinusOneReadsToTheEnd) {
  ScriptedServer server({{Send("line\r\nrest of it"), Pause(50)}});
  auto t = To(server);
  t->Connect();
  std::string text = "old";
  t->CaptureString(text, 0);
  EXPECT_EQ(text, "");
  std::string line;
  t->ReadLn(line);
  EXPECT_EQ(line, "line\r\n");
  int packets = 0;
  t->OnPacketRecvd = [&](TSocketTransport&) { ++packets; };
  t->CaptureString(text, -1);
  EXPECT_EQ(text, "rest of it");
  EXPECT_EQ(t->ReceivedCount(), 10);
  EXPECT_GE(packets, 1);
}

TEST_F(SocketTransportTest, CaptureString_SingleBytesAppendAndMaximumMayBePassedByOneChunk) {
  ScriptedServer server({{Drip("abc", 20), Send("0123456789"), Pause(100)}});
  auto t = To(server);
  t->Connect();
  int packets = 0;
  t->OnPacketRecvd = [&](TSocketTransport&) { ++packets; };
  std::string text;
  t->CaptureString(text, 5);
  // Three single bytes, then the ten-byte chunk crosses the maximum in one receive.
  EXPECT_EQ(text, "abc0123456789");
  // One notice per receive. The bytes leave 20 ms apart, but a busy machine may take two
  // of them, or the last with the chunk, in one receive.
  EXPECT_GE(packets, 2);
  EXPECT_LE(packets, 4);
}

TEST_F(SocketTransportTest, PeerCloseWithUnreadData_KeepsSocketOpenUntilRead) {
  ScriptedServer server({{Send("pending data")}});
  auto t = To(server);
  t->Connect();
  // The data and the close arrive, and their notices are handled, while nobody reads.
  ASSERT_TRUE(server.WaitFinished(1, std::chrono::seconds(5)));
  QCoreApplication::processEvents();
  EXPECT_TRUE(t->Connected());
  EXPECT_TRUE(t->DataAvailable());
  std::string text;
  t->CaptureString(text, -1);
  EXPECT_EQ(text, "pending data");
}

TEST_F(SocketTransportTest, PeerCloseWithoutData_ClosesAndReplacesTheSocket) {
  ScriptedServer server({Script{}});
  auto t = To(server);
  int disconnects = 0;
  t->OnDisconnect = [&](TSocketTransport&) { ++disconnects; };
  t->Connect();
  EXPECT_TRUE(SpinUntil([&] { return !t->Connected(); }));
  EXPECT_EQ(disconnects, 1);
  EXPECT_NE(t->SocketHandle(), TSocketTransport::kNoSocket);
  std::string line = "junk";
  t->ReadLn(line);  // on the unconnected replacement: ends at once
  EXPECT_EQ(line, "");
}

TEST_F(SocketTransportTest, FirstConnectionClosesWithReset_ReplacementClosesNormally) {
  ScriptedServer first({{Stall()}});
  auto t = To(first);
  t->Connect();
  t->Disconnect();
  ScriptedServer second({{Stall()}});
  t->Port = second.port();
  t->Connect();
  t->Disconnect();
  // Each server has seen its connection end, as a reset or as a close.
  ASSERT_TRUE(first.WaitFinished(1, std::chrono::seconds(5)));
  ASSERT_TRUE(second.WaitFinished(1, std::chrono::seconds(5)));
  EXPECT_TRUE(first.sawReset());
  EXPECT_FALSE(second.sawReset());
}

TEST_F(SocketTransportTest, ReceiveTimeOutsAndCancel_RaiseAbortErrors) {
  ScriptedServer server({{Send("partial body"), Stall()}});
  auto t = To(server, 150);
  t->Connect();
  std::string text;
  try {
    t->CaptureString(text, -1);
    FAIL() << "no exception";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket capture aborted");
  }
  EXPECT_EQ(text, "partial body");

  t->TimeOut = 0;
  QTimer::singleShot(100, t.get(), [&] { t->Abort(); });
  try {
    t->ReadLn(text);
    FAIL() << "no exception";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket readln aborted");
  }
}

TEST_F(SocketTransportTest, SendToAPeerThatDoesNotRead_TimesOutInsteadOfSpinning) {
  ScriptedServer server({{Stall()}});
  auto t = To(server, 1000);
  t->Connect();
  const std::string text(64 * 1024 * 1024, 'x');  // far more than the socket buffers hold
  const double cpu = ProcessCpuSeconds();
  try {
    t->Write(text);
    FAIL() << "no exception";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket send aborted");
  }
  // A busy wait would burn about the whole second of the time-out; a sleeping one a few
  // milliseconds. Half of it tells them apart on a loaded machine too.
  EXPECT_LT(ProcessCpuSeconds() - cpu, 0.5);
}

class FailingLibrary : public tr_http::TSocketLibrary {
 public:
  bool failStartup = false;
  bool highDescriptor = false;
  int cleanups = 0;
  bool Startup() override { return !failStartup; }
  void Cleanup() override { ++cleanups; }
  int NewSocket(int protocol) override {
    const int fd = TSocketLibrary::NewSocket(protocol);
    if (!highDescriptor || fd < 0) return fd;
    // Moves the socket to a descriptor beyond 16 bits, as a busy process might get.
    const int high = ::dup2(fd, 70000);
    ::close(fd);
    return high;
  }
};

TEST_F(SocketTransportTest, SocketUsers_CountsLiveTransportsAndFailedStartsLeaveNoCount) {
  FailingLibrary library;
  {
    TSocketTransport a(nullptr, &library);
    TSocketTransport b(nullptr, &library);
    EXPECT_EQ(library.SocketUsers, 2);
  }
  EXPECT_EQ(library.SocketUsers, 0);
  EXPECT_EQ(library.cleanups, 1);

  library.failStartup = true;
  EXPECT_THROW(TSocketTransport(nullptr, &library), ESockError);
  EXPECT_EQ(library.SocketUsers, 0);
}

TEST_F(SocketTransportTest, DescriptorBeyond16Bits_FailsSocketCreation) {
  FailingLibrary library;
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_max <= 70000) GTEST_SKIP() << "descriptor limit too low for the 16-bit case";
  const rlimit raised = {70001, limit.rlim_max};
  ::setrlimit(RLIMIT_NOFILE, &raised);
  library.highDescriptor = true;
  try {
    TSocketTransport t(nullptr, &library);
    ADD_FAILURE() << "a descriptor beyond 16 bits was accepted";
  } catch (const ESockError& e) {
    EXPECT_STREQ(e.what(), "Initializaton of windows sockets failed");
  }
  EXPECT_EQ(library.SocketUsers, 0);
  EXPECT_EQ(::fcntl(70000, F_GETFD), -1);  // and it was closed
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace
