// The real reader executable as a person uses it: started against the development
// server, once offscreen to see it start and end cleanly, once in a virtual X display
// where xdotool presses real keys, with SDL2's disk driver capturing the sound.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

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

QProcessEnvironment ReaderEnvironment(const QTemporaryDir& dir) {
  QDir().mkpath(dir.path() + "/cache");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_CACHE_HOME", dir.path() + "/cache");
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

  QProcess reader;
  QProcessEnvironment env = ReaderEnvironment(dir);
  env.insert("DISPLAY", display_);
  env.insert("QT_QPA_PLATFORM", "xcb");
  reader.setProcessEnvironment(env);
  reader.start(TR_READER_EXECUTABLE, {"--server", QString("127.0.0.1:%1").arg(server.port())});
  ASSERT_TRUE(reader.waitForStarted(5000));

  Xdotool(
      {"search", "--sync", "--onlyvisible", "--name", "Talking Reader", "windowfocus", "--sync"});
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

}  // namespace
