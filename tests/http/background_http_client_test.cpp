// The background client over real loopback sockets: a request's body arrives into its file
// while the test's own event loop runs, one request at a time, and only the current
// request is ever reported.
#include "http/background_http_client.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include "http/http_client.h"
#include "scripted_http_server.h"

namespace {

class BackgroundHttpClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "background_http_client_test";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) new QCoreApplication(argc, argv);
  }

  BackgroundHttpClientTest() {
    // Page "held" sends 10000 bytes, then waits at the gate; any other page comes at once.
    server = std::make_unique<ScriptedHttpServer>([this](const ScriptedRequest& r) {
      const std::string q = r.query.count("q") ? r.query.at("q") : "";
      ScriptedResponse answer(200, std::string(q == "held" ? 100000 : 5000, q.empty() ? '?' : q[0]),
                              "audio/mpeg");
      if (q == "held") {
        answer.holdAfter = 10000;
        answer.hold = gate.Hold();
      }
      return answer;
    });
    client = std::make_unique<TBackgroundHttpClient>();
    client->OnPacketRecvd = [this] { ++packets; };
    client->OnDone = [this](bool ok, const std::string& error) {
      done.push_back(ok ? "ok" : "failed: " + error);
    };
  }

  TBackgroundHttpClient::Request Get(const std::string& page) const {
    TBackgroundHttpClient::Request r;
    r.host = "127.0.0.1";
    r.port = server->Port();
    r.timeOut = 20000;
    r.url = "/cgi-bin/tx.cgi?q=" + page;
    r.bodyFile = dir.path().toStdString() + "/body.mp3";
    r.aboutToSend = [](THttpClient& c) { c.RequestHeaders.SetHeader("Vorbu", "code"); };
    return r;
  }
  bool WaitUntil(const std::function<bool()>& condition) {
    QTimer look;
    look.start(5);
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
      if (waited.elapsed() > 20000) return false;
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
  }
  QByteArray Body() const {
    QFile f(dir.path() + "/body.mp3");
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
  }

  QTemporaryDir dir;
  std::unique_ptr<ScriptedHttpServer> server;
  Gate gate;  // opened by its destructor after the client is gone, before the server
  std::unique_ptr<TBackgroundHttpClient> client;
  int packets = 0;
  std::vector<std::string> done;
};

TEST_F(BackgroundHttpClientTest, ABodyArrivesWhileTheCallersLoopRunsAndItsEndIsReportedOnce) {
  client->Start(Get("b"));
  ASSERT_TRUE(WaitUntil([this] { return !client->Running(); }));
  EXPECT_EQ(std::vector<std::string>{"ok"}, done);
  EXPECT_GE(packets, 1);
  EXPECT_EQ(5000, client->ReceivedCount());
  EXPECT_EQ(QByteArray(5000, 'b'), Body());
  EXPECT_EQ("Vorbu: code", server->Requests().back().headerLines.back());
}

TEST_F(BackgroundHttpClientTest,
       ANewRequestOrACancelEndsTheRunningOneSilentlyBeforeTheNextConnects) {
  for (const bool cancelFirst : {false, true}) {
    SCOPED_TRACE(cancelFirst ? "cancel, then start" : "start over it");
    done.clear();
    const int held = gate.Reached();
    client->Start(Get("held"));
    ASSERT_TRUE(
        WaitUntil([&] { return gate.Reached() == held + 1 && client->ReceivedCount() >= 10000; }));
    if (cancelFirst) {
      client->Cancel();
      EXPECT_FALSE(client->Running());
    }
    client->Start(Get("b"));
    ASSERT_TRUE(WaitUntil([this] { return !client->Running(); }));
    EXPECT_EQ(std::vector<std::string>{"ok"}, done) << "nothing of the held request";
    EXPECT_EQ(QByteArray(5000, 'b'), Body()) << "the file holds the new body alone";
  }
}

TEST_F(BackgroundHttpClientTest, AbortEndsTheRunningRequestAsAFailure) {
  client->Start(Get("held"));
  ASSERT_TRUE(WaitUntil([this] { return gate.Reached() == 1; }));
  client->Abort();
  ASSERT_TRUE(WaitUntil([this] { return !client->Running(); }));
  ASSERT_EQ(1u, done.size());
  EXPECT_EQ(0u, done[0].rfind("failed: ", 0)) << done[0];
}

TEST_F(BackgroundHttpClientTest, DestroyedWhileARequestWaitsItEndsAtOnce) {
  client->Start(Get("held"));
  ASSERT_TRUE(WaitUntil([this] { return gate.Reached() == 1; }));
  QElapsedTimer destroying;
  destroying.start();
  client.reset();
  std::cout << "Destroyed with a request waiting in " << destroying.elapsed() << " ms\n";
  EXPECT_TRUE(done.empty());
}

}  // namespace
