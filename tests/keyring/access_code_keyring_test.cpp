// The access code in a real Secret Service: a keyring daemon of the test's own on a
// private session bus. GLib keeps one session-bus connection per process, so everything
// runs in one test with one bus.
#include "keyring/access_code_keyring.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QTemporaryDir>
#include <chrono>
#include <mutex>
#include <vector>

#include "private_session_bus.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

TEST(AccessCodeKeyringTest, OneCodePerServer_ForgottenWhenCleared_NoWaitOnAHungKeyring) {
  QTemporaryDir dir;
  PrivateSessionBus bus(dir.path());
  if (!bus.StartKeyring())
    GTEST_SKIP() << "no Secret Service for the test: " << bus.problem().toStdString();
  qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());

  std::mutex mutex;
  std::vector<std::string> warnings;
  const auto warn = [&](const std::string& line) {
    std::lock_guard lock(mutex);
    warnings.push_back(line);
  };
  {
    AccessCodeKeyring first("127.0.0.1:8080", warn);
    EXPECT_EQ(std::nullopt, first.Lookup(milliseconds(10000)));
    first.Remember("esimene");
    first.Remember("teine");  // replaces the first
    ASSERT_TRUE(first.WaitIdle(milliseconds(10000)));
  }
  {
    AccessCodeKeyring other("reader.example:8080", warn);
    EXPECT_EQ(std::nullopt, other.Lookup(milliseconds(10000))) << "another server's code";
    AccessCodeKeyring again("127.0.0.1:8080", warn);
    EXPECT_EQ("teine", again.Lookup(milliseconds(10000)));
    again.Remember("");
    ASSERT_TRUE(again.WaitIdle(milliseconds(10000)));
    EXPECT_EQ(std::nullopt, again.Lookup(milliseconds(10000)));
    again.Remember("");  // forgetting what is not there is no failure
    ASSERT_TRUE(again.WaitIdle(milliseconds(10000)));
  }
  EXPECT_TRUE(warnings.empty()) << warnings.front();

  // A keyring that takes the calls and never answers: every call is given up in time.
  ASSERT_EQ(0, ::kill(static_cast<pid_t>(bus.keyringPid()), SIGSTOP));
  const auto start = steady_clock::now();
  {
    AccessCodeKeyring hung("127.0.0.1:8080", warn);
    EXPECT_EQ(std::nullopt, hung.Lookup(milliseconds(300)));
    hung.Remember("kolmas");
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000)) << "Remember waited";
  }
  EXPECT_LT(steady_clock::now() - start, AccessCodeKeyring::kExitWait + milliseconds(3000))
      << "the end waited for the keyring";
  ::kill(static_cast<pid_t>(bus.keyringPid()), SIGCONT);
  std::lock_guard lock(mutex);
  ASSERT_EQ(2u, warnings.size());
  EXPECT_NE(std::string::npos, warnings[0].find("did not answer within 300 ms"));
  EXPECT_NE(std::string::npos, warnings[1].find("may not be stored"));
}

}  // namespace
