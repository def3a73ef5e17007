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

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "scripted_http_server.h"
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

// A scripted server that is down at the start, then answers; one page's speech is no
// speech, another's stalls. Every failure must be heard, and the reader must get back to
// reading by itself.
TEST_F(KeyboardSession, AUserMeetsAFailingServerHearsEveryFailureAndIsNeverStuck) {
  std::ifstream mp3(TR_SOUNDS_DIR "/tx_logimisviga.mp3", std::ios::binary);
  const std::string speech((std::istreambuf_iterator<char>(mp3)), {});
  ASSERT_GT(speech.size(), 3840u);
  std::atomic<bool> stall{true};
  std::atomic<int> stalled{0};
  const auto handler = [&](const ScriptedRequest& r) -> ScriptedResponse {
    const std::string q = r.query.count("q") ? r.query.at("q") : "";
    const bool w = r.query.count("w") != 0;
    if (q == "0" && !w) return {200, "0 Avaleht\n1\tUudised\n2\tIlm\n"};
    if (q == "01" && w) return {200, std::string(5000, 'x'), "audio/mpeg"};  // not speech
    if (q == "02" && w && stalled++ == 0) {
      for (int i = 0; i < 3000 && stall; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (q == "02" && !w) return {200, "Ilm on ilus."};
    return {200, speech, "audio/mpeg"};
  };
  int port = 0;
  {
    ScriptedHttpServer probe(handler);
    port = probe.Port();
  }  // a free port, then nothing

  QTemporaryDir dir;
  QProcess reader;
  QProcessEnvironment env = ReaderEnvironment(dir);
  env.insert("DISPLAY", display_);
  env.insert("QT_QPA_PLATFORM", "xcb");
  reader.setProcessEnvironment(env);
  reader.start(TR_READER_EXECUTABLE, {"--server", QString("127.0.0.1:%1").arg(port)});
  ASSERT_TRUE(reader.waitForStarted(5000));
  Xdotool(
      {"search", "--sync", "--onlyvisible", "--name", "Talking Reader", "windowfocus", "--sync"});
  QThread::msleep(3000);  // the first try has failed, and said so

  ScriptedHttpServer server(handler, port);
  QElapsedTimer back;
  back.start();
  const auto asked = [&server](const std::string& page, int times, int ms) {
    return WaitFor(
        [&] {
          const auto pages = server.Pages();
          return std::count(pages.begin(), pages.end(), page) >= times;
        },
        ms);
  };
  ASSERT_TRUE(asked("0", 1, 30000)) << "the reminders fetch the root once the server is back";
  std::cout << "From the server coming back to the root being read: " << back.elapsed() << " ms\n";

  Key("1");  // its speech is no speech: the failure is spoken, the user stays at the root
  ASSERT_TRUE(asked("01+w", 1, 5000));
  QThread::msleep(1000);
  Key("Menu");  // opens no menu that would swallow the next keys
  Key("2");
  ASSERT_TRUE(asked("02+w", 1, 5000)) << "2 chose the root's entry";
  QThread::msleep(1500);  // the stalled request ticks
  Key("5");               // answered by the busy sound
  Key("Escape");          // ends the stalled request at once
  Key("2");               // so the next choice is taken, not dropped
  stall = false;
  ASSERT_TRUE(asked("02+w", 2, 5000)) << "Escape ended the stalled request";
  ASSERT_TRUE(asked("02", 1, 5000));
  QThread::msleep(500);

  Key("F9");  // the access code: Tab must not take the keyboard out of the box
  Key("Tab");
  for (const char* c : {"w", "q", "w", "q", "w"}) Key(c);
  Key("Return");
  ASSERT_TRUE(asked("02+w", 3, 5000)) << "the page is fetched again with the code";
  EXPECT_EQ("Vorbu: wqwqw", server.Requests().back().headerLines.back());

  Key("Escape");  // up to the main menu
  ASSERT_TRUE(asked("0", 2, 5000));
  Key("Escape");  // at the main menu: asks whether to leave
  ASSERT_TRUE(asked("1lopetamine.txt+w", 1, 5000));
  Key("1");
  ASSERT_TRUE(reader.waitForFinished(15000));
  const std::string errors = reader.readAllStandardError().toStdString();
  EXPECT_EQ(0, reader.exitCode()) << errors;
  EXPECT_EQ(std::string::npos, errors.find("talking-reader:")) << "no error reached a box\n"
                                                               << errors;
  const auto pages = server.Pages();
  EXPECT_EQ(1, std::count(pages.begin(), pages.end(), "1lopetamine.txt+w")) << "asked once";
  EXPECT_EQ(0, std::count(pages.begin(), pages.end(), "01")) << "no text after failed speech";
}

}  // namespace
