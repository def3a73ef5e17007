// The access code in a real Secret Service: a keyring daemon of the test's own on a
// private session bus. GLib keeps one session-bus connection per process, so each test
// that talks to a keyring runs with one bus (CTest runs each test in a process of its own).
#include "keyring/access_code_keyring.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <chrono>
#include <mutex>
#include <vector>

#include "private_session_bus.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The warnings given, collected from the keyring's worker thread.
struct Warnings {
  std::mutex mutex;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  std::string All() {
    std::lock_guard lock(mutex);
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }
};

bool Answer(const std::shared_future<bool>& verdict) {
  EXPECT_EQ(std::future_status::ready, verdict.wait_for(std::chrono::seconds(10)));
  return verdict.get();
}

// Watches the bus for every call that makes the keyring open a window: a prompt, an
// unlock, a new collection. A marker signal sent at the end shows when the watcher has
// seen everything sent before it. The tools run as ChildProcess, never QProcess, so that
// ThreadSanitizer still follows the test's locks.
class WindowCallWatch {
 public:
  explicit WindowCallWatch(const PrivateSessionBus& bus) : bus_(bus) {
    // It says when it has become a monitor.
    ready_ =
        monitor_.Start(
            QStandardPaths::findExecutable("dbus-monitor"),
            {"--session", "type='method_call',interface='org.freedesktop.Secret.Prompt'",
             "type='method_call',member='Unlock'", "type='method_call',member='CreateCollection'",
             "type='signal',member='TalkingReaderMarker'"},
            Environment(), /*input=*/false, /*output=*/true) &&
        !monitor_.ReadLine(std::chrono::seconds(10)).empty();
  }
  bool ready() const { return ready_; }
  // The watched calls seen so far, one line each.
  std::vector<std::string> Calls() {
    ChildProcess marker;
    marker.Start(QStandardPaths::findExecutable("dbus-send"),
                 {"--session", "--type=signal", "/", "org.example.TalkingReaderMarker"},
                 Environment());
    marker.Wait(std::chrono::seconds(5));
    std::vector<std::string> calls;
    bool marked = false;
    const auto deadline = steady_clock::now() + std::chrono::seconds(10);
    while (!marked && steady_clock::now() < deadline) {
      const std::string line = monitor_.ReadLine(
          std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()));
      marked = line.find("TalkingReaderMarker") != std::string::npos;
      if (line.starts_with("method call")) calls.push_back(line);
    }
    EXPECT_TRUE(marked) << "the watch never saw its marker";
    return calls;
  }

 private:
  QProcessEnvironment Environment() const {
    return bus_.Environment(QProcessEnvironment::systemEnvironment());
  }

  const PrivateSessionBus& bus_;
  ChildProcess monitor_;
  bool ready_ = false;
};

TEST(AccessCodeKeyringTest, NoSessionBus_NothingAskedAndSaidOncePlainly) {
  Warnings warnings;
  AccessCodeKeyring keyring("127.0.0.1:8080", warnings.Sink(), std::nullopt);
  EXPECT_EQ(std::nullopt, keyring.Lookup(milliseconds(10000)));
  const auto verdict = keyring.Remember("kood");
  ASSERT_EQ(std::future_status::ready, verdict.wait_for(std::chrono::seconds(0)));
  EXPECT_FALSE(verdict.get());
  EXPECT_EQ("there is no session bus, so access codes will not be remembered\n", warnings.All());
}

// Where storing would need the keyring's window (a locked default collection, or none at
// all), nothing is stored, nothing is unlocked or made, and the code is reported unkept.
TEST(AccessCodeKeyringTest, LockedDefaultCollection_NothingReadStoredOrUnlocked) {
  QTemporaryDir dir;
  PrivateSessionBus bus(dir.path());
  if (!bus.StartKeyring())
    GTEST_SKIP() << "no Secret Service for the test: " << bus.problem().toStdString();
  qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
  Warnings warnings;
  {
    AccessCodeKeyring before("127.0.0.1:8080", warnings.Sink());
    ASSERT_TRUE(Answer(before.Remember("vana"))) << warnings.All();
  }
  ChildProcess lock;
  ASSERT_TRUE(lock.Start(QStandardPaths::findExecutable("dbus-send"),
                         {"--session", "--print-reply", "--dest=org.freedesktop.secrets",
                          "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock",
                          "array:objpath:/org/freedesktop/secrets/collection/login"},
                         bus.Environment(QProcessEnvironment::systemEnvironment())));
  ASSERT_EQ(0, lock.Wait(std::chrono::seconds(10))) << "the collection was not locked";

  WindowCallWatch watch(bus);
  ASSERT_TRUE(watch.ready());
  AccessCodeKeyring keyring("127.0.0.1:8080", warnings.Sink());
  EXPECT_EQ(std::nullopt, keyring.Lookup(milliseconds(10000))) << "read through the lock";
  EXPECT_FALSE(Answer(keyring.Remember("uus")));
  EXPECT_EQ(std::vector<std::string>(), watch.Calls());
  const std::string all = warnings.All();
  EXPECT_NE(std::string::npos, all.find("the access code is in a locked keyring")) << all;
  EXPECT_NE(std::string::npos, all.find("default collection is locked; the access code is not "
                                        "stored"))
      << all;
}

TEST(AccessCodeKeyringTest, NoDefaultCollection_NothingStoredAndNoneMade) {
  QTemporaryDir dir;
  PrivateSessionBus bus(dir.path());
  if (!bus.StartKeyring(false))
    GTEST_SKIP() << "no Secret Service for the test: " << bus.problem().toStdString();
  qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
  WindowCallWatch watch(bus);
  ASSERT_TRUE(watch.ready());
  Warnings warnings;
  AccessCodeKeyring keyring("127.0.0.1:8080", warnings.Sink());
  EXPECT_EQ(std::nullopt, keyring.Lookup(milliseconds(10000)));
  EXPECT_FALSE(Answer(keyring.Remember("uus")));
  EXPECT_TRUE(Answer(keyring.Remember(""))) << "forgetting needs no collection";
  EXPECT_EQ(std::vector<std::string>(), watch.Calls());
  EXPECT_EQ(
      "the keyring has no default collection; the access code is not stored (making one "
      "would open the keyring's window)\n",
      warnings.All());
}

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
    EXPECT_TRUE(Answer(first.Remember("teine")));  // replaces the first
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
