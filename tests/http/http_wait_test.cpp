// How a request waits: the rest of the program keeps running inside it, the thread sleeps
// while a server stalls, and an application that quits ends the wait.
#include <gtest/gtest.h>

#include <QEvent>
#include <QTimer>
#include <cstdio>

#include "http/http_client.h"
#include "scripted_server.h"

namespace {

using namespace http_test;

class PostedEventCounter : public QObject {
 public:
  int received = 0;
  bool event(QEvent* e) override {
    if (e->type() != QEvent::User) return QObject::event(e);
    ++received;
    return true;
  }
};

class HttpWaitTest : public ::testing::Test {
 protected:
  void SetUp() override { EnsureApplication(); }
};

TEST_F(HttpWaitTest, TimersAndPostedEventsRunWhileGetWaits) {
  ScriptedServer server({{Read(), Pause(300), Send("HTTP/1.0 200 OK\r\n\r\nlate")}});
  THttpClient c;
  c.Host = server.address();
  c.Port = server.port();
  c.TimeOut = 2000;

  int ticks = 0;
  QTimer clock;
  QObject::connect(&clock, &QTimer::timeout, [&] { ++ticks; });
  clock.start(20);
  PostedEventCounter receiver;
  int postedBeforeEnd = -1;
  c.OnSuccess = [&](int) { postedBeforeEnd = receiver.received; };
  QCoreApplication::postEvent(&receiver, new QEvent(QEvent::User));

  c.Get("/x");
  EXPECT_EQ(c.Body, "late");
  EXPECT_GE(ticks, 5);  // about 15 ticks fit into the pause
  EXPECT_EQ(postedBeforeEnd, 1);
}

// The reader may wait long for a slow server; the machine must stay idle meanwhile.
TEST_F(HttpWaitTest, StalledServer_ThreadSleepsUntilTheTimeOut) {
  for (const char* host : {"127.0.0.1", "localhost"}) {  // with and without a look-up first
    ScriptedServer server({{Read(), Send("HTTP/1.0 200 OK\r\n\r\nfirst part"), Stall()}});
    THttpClient c;
    c.Host = host;
    c.Port = server.port();
    c.TimeOut = 1000;
    const double before = ProcessCpuSeconds();
    EXPECT_THROW(c.Get("/x"), EAbortError);
    const double used = ProcessCpuSeconds() - before;
    EXPECT_LT(used, 0.03) << host << ": " << used << " s of CPU over a 1 s stall";
    std::printf("%s: %.4f s CPU over a 1 s stall\n", host, used);
  }
}

TEST_F(HttpWaitTest, ThreeSecondStall_UsesUnderThreePercentOfOneCore) {
  ScriptedServer server({{Read(), Stall()}});
  THttpClient c;
  c.Host = server.address();
  c.Port = server.port();
  c.TimeOut = 3000;
  const double before = ProcessCpuSeconds();
  try {
    c.Get("/x");
    FAIL() << "no exception";
  } catch (const EAbortError& e) {
    EXPECT_STREQ(e.what(), "Socket readln aborted");
  }
  const double used = ProcessCpuSeconds() - before;
  EXPECT_LT(used, 0.09) << used << " s of CPU over a 3 s stall";
  std::printf("%.4f s CPU over a 3 s stall\n", used);
}

TEST_F(HttpWaitTest, QuittingTheApplication_EndsTheWaitAsACancel) {
  ScriptedServer server({{Read(), Stall()}});
  THttpClient c;
  c.Host = server.address();
  c.Port = server.port();
  c.TimeOut = 0;  // nothing but the quit can end this wait
  std::string outcome = "not run";
  QTimer::singleShot(0, [&] {
    try {
      c.Get("/x");
      outcome = "returned";
    } catch (const ESockError& e) {
      outcome = e.what();
    }
  });
  QTimer::singleShot(150, [] { QCoreApplication::quit(); });
  QTimer watchdog;  // should quitting fail, end the test instead of hanging it
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&] { c.Abort(); });
  watchdog.start(5000);
  QCoreApplication::exec();
  EXPECT_EQ(outcome, "Socket readln aborted");
  EXPECT_TRUE(c.ApplicationQuitting());
  EXPECT_TRUE(watchdog.isActive());
  EXPECT_FALSE(c.Connected());
}

TEST_F(HttpWaitTest, RequestQuit_CancelsEveryLaterWait) {
  ScriptedServer server({{Read(), Stall()}});
  THttpClient c;
  c.Host = server.address();
  c.Port = server.port();
  c.RequestQuit();
  try {
    c.Get("/x");
    FAIL() << "no exception";
  } catch (const ESockError& e) {
    EXPECT_STREQ(e.what(), "Connection Canceled");
  }
}

}  // namespace
