// The real reader executable as a person uses it: started against the development
// server, once offscreen to see it start and end cleanly, then in a virtual X display
// without a window manager where xdotool presses real keys, with SDL2's disk driver
// capturing the sound; with a keyring and with a screen reader's view over AT-SPI, each on
// a session bus of the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include "private_session_bus.h"
#include "server_process.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QThread::msleep(50);
  }
  return true;
}

int Count(const std::string& log, const std::string& what) {
  int n = 0;
  for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
  return n;
}

// The reader's environment: its folders in the test's, and no session bus (so no keyring)
// unless a test gives it one: nothing of the user's own session is used.
QProcessEnvironment ReaderEnvironment(const QTemporaryDir& dir) {
  QDir().mkpath(dir.path() + "/cache");
  QDir().mkpath(dir.path() + "/config/talking-reader");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_CACHE_HOME", dir.path() + "/cache");
  env.insert("XDG_CONFIG_HOME", dir.path() + "/config");
  env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.path() + "/no-session-bus");
  env.insert("SDL_AUDIODRIVER", "disk");
  env.insert("SDL_DISKAUDIOFILE", dir.path() + "/spoken.raw");
  return env;
}

TEST(ProgramTest, HelpVersionAndBadArguments) {
  struct Case {
    QStringList args;
    int exitCode;
  } cases[] = {{{"--help"}, 0}, {{"--version"}, 0}, {{"--server"}, 2}, {{"--bogus"}, 2}};
  for (const Case& c : cases) {
    QProcess reader;
    reader.start(TR_READER_EXECUTABLE, c.args);
    ASSERT_TRUE(reader.waitForFinished(10000));
    EXPECT_EQ(c.exitCode, reader.exitCode()) << c.args.join(' ').toStdString();
    if (c.exitCode == 2) {
      EXPECT_FALSE(reader.readAllStandardError().isEmpty());
    }
  }
}

TEST(ProgramTest, StartsOffscreenAndQuitsCleanlyEvenWhileARequestWaits) {
  // A server that takes the connection and never answers: the reader's first request
  // waits (for up to 90 s) when it is asked to end.
  QTcpServer stalling;
  ASSERT_TRUE(stalling.listen(QHostAddress::LocalHost));
  QTemporaryDir dir;
  QProcess reader;
  QProcessEnvironment env = ReaderEnvironment(dir);
  env.insert("QT_QPA_PLATFORM", "offscreen");
  reader.setProcessEnvironment(env);
  reader.start(TR_READER_EXECUTABLE,
               {"--server", QString("127.0.0.1:%1").arg(stalling.serverPort())});
  ASSERT_TRUE(reader.waitForStarted(5000));
  // It finds or creates its private work folder and writes its start-up files.
  const QString work = dir.path() + "/cache/talking-reader/";
  EXPECT_TRUE(WaitFor([&] { return QFile::exists(work + "vaikus.wav"); }, 10000));
  struct stat st {};
  ASSERT_EQ(0, ::lstat(work.toLocal8Bit().constData(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  QThread::msleep(1500);
  EXPECT_EQ(QProcess::Running, reader.state()) << reader.readAllStandardError().toStdString();
  reader.terminate();
  ASSERT_TRUE(reader.waitForFinished(5000)) << "the waiting request kept the reader alive";
  EXPECT_EQ(QProcess::NormalExit, reader.exitStatus());
  EXPECT_EQ(0, reader.exitCode()) << reader.readAllStandardError().toStdString();
}

void WriteConfig(const QTemporaryDir& dir, const QByteArray& text) {
  QFile config(dir.path() + "/config/talking-reader/talking-reader.conf");
  ASSERT_TRUE(config.open(QIODevice::WriteOnly));
  config.write(text);
}

TEST(ProgramTest, ABadServerInTheConfigurationIsReportedAndTheDefaultUsed) {
  QTemporaryDir dir;
  QProcess reader;
  QProcessEnvironment env = ReaderEnvironment(dir);
  env.insert("QT_QPA_PLATFORM", "offscreen");
  reader.setProcessEnvironment(env);
  WriteConfig(dir, "server=reader.example:99999\n");
  reader.start(TR_READER_EXECUTABLE, QStringList());
  ASSERT_TRUE(reader.waitForStarted(5000));
  std::string err;
  EXPECT_TRUE(WaitFor(
      [&] {
        reader.waitForReadyRead(100);
        err += reader.readAllStandardError().toStdString();
        return err.find("is not HOST[:PORT]; using 127.0.0.1:8080") != std::string::npos;
      },
      10000))
      << err;
  EXPECT_NE(std::string::npos, err.find("talking-reader.conf: server=reader.example:99999"));
  QThread::msleep(500);
  EXPECT_EQ(QProcess::Running, reader.state()) << err;
  reader.terminate();
  ASSERT_TRUE(reader.waitForFinished(5000));
  EXPECT_EQ(0, reader.exitCode());
}

class KeyboardSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() ||
        QStandardPaths::findExecutable("xdotool").isEmpty()) {
      GTEST_SKIP() << "needs Xvfb and xdotool";
    }
    xvfb_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    ASSERT_TRUE(xvfb_.waitForReadyRead(10000));
    display_ = ":" + QString::fromLatin1(xvfb_.readLine()).trimmed();
  }
  void TearDown() override {
    if (xvfb_.state() != QProcess::NotRunning) {
      xvfb_.terminate();
      xvfb_.waitForFinished(5000);
    }
  }

  void Xdotool(const QStringList& args) {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display_);
    tool.setProcessEnvironment(env);
    tool.start("xdotool", args);
    ASSERT_TRUE(tool.waitForFinished(20000));
    ASSERT_EQ(0, tool.exitCode()) << args.join(' ').toStdString() << ": "
                                  << tool.readAllStandardError().toStdString();
  }
  void Key(const QString& name) {
    Xdotool({"key", name});
    // Keys are dropped while a request runs; the test waits for each request to end,
    // then gives the reader a moment to play what it fetched.
    QThread::msleep(400);
  }
  // Starts the reader on the virtual display and waits for its window. Nothing gives the
  // window the focus: there is no window manager, and the reader activates itself.
  void StartReader(QProcess& reader, QProcessEnvironment env, const QStringList& args) {
    env.insert("DISPLAY", display_);
    env.insert("QT_QPA_PLATFORM", "xcb");
    reader.setProcessEnvironment(env);
    reader.start(TR_READER_EXECUTABLE, args);
    ASSERT_TRUE(reader.waitForStarted(5000));
    Xdotool({"search", "--sync", "--onlyvisible", "--name", "Talking Reader"});
  }
  static void Stop(QProcess& reader) {
    reader.terminate();
    ASSERT_TRUE(reader.waitForFinished(10000));
    EXPECT_EQ(0, reader.exitCode()) << reader.readAllStandardError().toStdString();
  }

  QProcess xvfb_;
  QString display_;
};

TEST_F(KeyboardSession, APersonWalksThePagesChangesTheRateAndLeaves) {
  QTemporaryDir dir;
  ServerProcess server(TR_SERVER_EXECUTABLE, {"--pages", TR_SERVER_SAMPLE_PAGES, "--cache",
                                              dir.path().toStdString() + "/speech"});
  ASSERT_NE(0, server.port()) << server.log();
  const auto served = [&server](const std::string& what, int times) {
    return WaitFor([&] { return Count(server.log(), what) >= times; }, 90000);
  };

  // Started without arguments, as from the desktop's menu: the server is in the
  // configuration file.
  QProcess reader;
  const QProcessEnvironment env = ReaderEnvironment(dir);
  WriteConfig(dir, QString("[General]\nserver=127.0.0.1:%1\n").arg(server.port()).toUtf8());
  StartReader(reader, env, {});
  ASSERT_TRUE(served("q=0 w=0 200", 1)) << server.log();
  QThread::msleep(400);

  Key("1");  // a digit chooses the news
  ASSERT_TRUE(served("q=01 w=0 200", 1)) << server.log();
  Key("BackSpace");  // back to the main menu
  ASSERT_TRUE(served("q=0 w=0 200", 2)) << server.log();
  // The keypad chooses too: with the display's Num Lock off its 2 arrives as a cursor key,
  // and the reader's own Num Lock makes it the digit.
  Key("KP_Down");
  ASSERT_TRUE(served("q=02 w=0 200", 1)) << server.log();
  Key("space");  // pause
  Key("space");  // and resume
  Key("F7");     // speech rate: 3, fast
  ASSERT_TRUE(served("q=1muudakiirust.txt w=1 200", 1)) << server.log();
  Key("3");
  ASSERT_TRUE(served("q=02 w=1 200", 2)) << "the page goes on at the new rate\n" << server.log();
  QFile settings(dir.path() + "/cache/talking-reader/vorbu.ini");
  ASSERT_TRUE(WaitFor([&] { return settings.exists(); }, 5000));
  ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
  EXPECT_EQ("3\r\n0\r\n", settings.readAll().toStdString());

  Key("Escape");  // up to the main menu
  ASSERT_TRUE(served("q=0 w=0 200", 3)) << server.log();
  Key("Escape");  // at the main menu: asks whether to leave
  ASSERT_TRUE(served("q=1lopetamine.txt w=1 200", 1)) << server.log();
  Key("1");
  ASSERT_TRUE(reader.waitForFinished(15000)) << server.log();
  EXPECT_EQ(QProcess::NormalExit, reader.exitStatus());
  EXPECT_EQ(0, reader.exitCode()) << reader.readAllStandardError().toStdString();

  QFile spoken(dir.path() + "/spoken.raw");
  ASSERT_TRUE(spoken.open(QIODevice::ReadOnly));
  const QByteArray bytes = spoken.readAll();
  EXPECT_GT(std::count_if(bytes.begin(), bytes.end(), [](char b) { return b != 0; }), 20000);
}

// The code the keyring holds for `server`, as another keyring client sees it; empty when
// it holds none.
QString StoredCode(const PrivateSessionBus& bus, int port) {
  QProcess tool;
  tool.setProcessEnvironment(bus.Environment(QProcessEnvironment::systemEnvironment()));
  tool.start("secret-tool", {"lookup", "server", QString("127.0.0.1:%1").arg(port)});
  if (!tool.waitForFinished(10000)) return "(secret-tool hangs)";
  return QString::fromUtf8(tool.readAllStandardOutput());
}

// Files under `dir` that hold `secret` in the clear.
QStringList FilesHolding(const QString& dir, const QByteArray& secret) {
  QStringList found;
  QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    QFile file(it.next());
    if (file.open(QIODevice::ReadOnly) && file.readAll().contains(secret)) found << file.fileName();
  }
  return found;
}

TEST_F(KeyboardSession, TheCodeEnteredIsKeptInTheKeyringForTheNextStartUntilCleared) {
  if (QStandardPaths::findExecutable("secret-tool").isEmpty()) {
    GTEST_SKIP() << "needs secret-tool (libsecret-tools)";
  }
  QTemporaryDir dir;
  PrivateSessionBus bus(dir.path());
  if (!bus.StartKeyring()) GTEST_SKIP() << "no Secret Service: " << bus.problem().toStdString();
  ServerProcess server(TR_SERVER_EXECUTABLE,
                       {"--pages", TR_SERVER_SAMPLE_PAGES, "--cache",
                        dir.path().toStdString() + "/speech", "--access-code", "s3cr3t"});
  ASSERT_NE(0, server.port()) << server.log();
  const auto served = [&server](const std::string& what, int times) {
    return WaitFor([&] { return Count(server.log(), what) >= times; }, 90000);
  };
  const QStringList args = {"--server", QString("127.0.0.1:%1").arg(server.port())};
  const QProcessEnvironment env = bus.Environment(ReaderEnvironment(dir));

  QProcess first;
  StartReader(first, env, args);
  ASSERT_TRUE(served("q=0 w=0 401", 1)) << "the built-in code is refused\n" << server.log();
  QThread::msleep(400);  // the request ends; keys are dropped while it runs
  Key("F9");
  Xdotool({"type", "--delay", "50", "s3cr3t"});
  Key("Return");
  ASSERT_TRUE(served("q=0 w=0 200", 1)) << server.log();
  EXPECT_TRUE(WaitFor([&] { return StoredCode(bus, server.port()) == "s3cr3t"; }, 10000))
      << StoredCode(bus, server.port()).toStdString();
  Stop(first);

  const int accepted = Count(server.log(), "q=0 w=0 200");
  const int refused = Count(server.log(), "q=0 w=0 401");
  QProcess second;
  StartReader(second, env, args);
  ASSERT_TRUE(served("q=0 w=0 200", accepted + 1)) << "the next start uses the stored code\n"
                                                   << server.log();
  QThread::msleep(400);
  Key("F9");
  Key("Return");  // an empty code
  ASSERT_TRUE(served("q=0 w=0 401", refused + 1)) << server.log();
  EXPECT_TRUE(WaitFor([&] { return StoredCode(bus, server.port()).isEmpty(); }, 10000))
      << "the empty code forgets the stored one";
  Stop(second);
  EXPECT_EQ(QStringList(), FilesHolding(dir.path(), "s3cr3t")) << "the code in a plain file";
}

// One line of the accessibility client's answers.
QByteArray ProbeLine(QProcess& probe) {
  QElapsedTimer timer;
  timer.start();
  while (!probe.canReadLine() && timer.elapsed() < 30000) probe.waitForReadyRead(1000);
  return probe.readLine().trimmed();
}

TEST_F(KeyboardSession, AScreenReaderReadsTheWindowAndThePageButNeverTheCode) {
  QTemporaryDir dir;
  PrivateSessionBus bus(dir.path());
  if (!bus.problem().isEmpty()) GTEST_SKIP() << "no session bus: " << bus.problem().toStdString();
  QProcess check;
  check.start(TR_PYTHON, {"-c", "import pyatspi"});
  if (!check.waitForFinished(20000) || check.exitCode() != 0 ||
      !QFile::exists("/usr/share/dbus-1/services/org.a11y.Bus.service")) {
    GTEST_SKIP() << "needs at-spi2-core and python3-pyatspi for " << TR_PYTHON;
  }
  ServerProcess server(TR_SERVER_EXECUTABLE, {"--pages", TR_SERVER_SAMPLE_PAGES, "--cache",
                                              dir.path().toStdString() + "/speech", "--access-code",
                                              "wqwqw", "--access-code", "s3cr3t"});
  ASSERT_NE(0, server.port()) << server.log();
  const auto served = [&server](const std::string& what, int times) {
    return WaitFor([&] { return Count(server.log(), what) >= times; }, 90000);
  };

  // The client turns accessibility on, as a screen reader does, before the reader starts.
  QProcess probe;
  probe.setProcessEnvironment(bus.Environment(QProcessEnvironment::systemEnvironment()));
  probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  probe.start(TR_PYTHON, {TR_ATSPI_PROBE, "Talking Reader"});
  ASSERT_EQ("enabled", ProbeLine(probe));
  QProcess reader;
  StartReader(reader, bus.Environment(ReaderEnvironment(dir)),
              {"--server", QString("127.0.0.1:%1").arg(server.port())});
  ASSERT_EQ("ready", ProbeLine(probe));
  ASSERT_TRUE(served("q=0 w=0 200", 1)) << server.log();

  const auto describe = [&probe] {
    probe.write("describe\n");
    probe.waitForBytesWritten(5000);
    return QJsonDocument::fromJson(ProbeLine(probe)).object();
  };
  const auto object = [](const QJsonObject& window, const QString& name) {
    for (const QJsonValue& o : window["objects"].toArray()) {
      if (o["name"].toString() == name) return o.toObject();
    }
    return QJsonObject();
  };
  QJsonObject window = describe();
  EXPECT_EQ("frame", window["role"].toString().toStdString());
  EXPECT_EQ("Talking Reader", window["name"].toString().toStdString());
  EXPECT_EQ("text", object(window, "Page text")["role"].toString().toStdString());
  EXPECT_TRUE(object(window, "Page text")["text"].toString().startsWith("0 Peamenüü"));

  QThread::msleep(400);
  Key("F9");
  Xdotool({"type", "--delay", "50", "s3cr3t"});
  window = describe();  // while the box holds the code
  EXPECT_EQ("password text", object(window, "Access code")["role"].toString().toStdString());
  EXPECT_TRUE(object(window, "Access code")["text"].isNull()) << "the box offers its text";
  Key("Return");
  ASSERT_TRUE(served("q=0 w=0 200", 2)) << server.log();
  QThread::msleep(1000);  // the page's events on their way

  probe.write("events\n");
  probe.waitForBytesWritten(5000);
  const QJsonArray events = QJsonDocument::fromJson(ProbeLine(probe)).array();
  int pageTextInserts = 0;
  for (const QJsonValue& e : events) {
    const QString type = e["type"].toString();
    const std::string line =
        QJsonDocument(e.toObject()).toJson(QJsonDocument::Compact).toStdString();
    EXPECT_FALSE(e["data"].toString().contains("s3cr3t")) << line;
    if (e["name"].toString() == "Access code") {
      EXPECT_FALSE(type.startsWith("object:text-changed") || type.startsWith("object:text-caret"))
          << "the box tells its characters or their count: " << line;
    }
    if (e["name"].toString() == "Page text" && type == "object:text-changed:insert") {
      ++pageTextInserts;
    }
  }
  EXPECT_GE(pageTextInserts, 1) << "the client hears the page's text arrive";
  probe.write("quit\n");
  probe.waitForFinished(5000);
  Stop(reader);
}

}  // namespace
