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

#include <atomic>
#include <fstream>
#include <sstream>

#include "private_session_bus.h"
#include "scripted_http_server.h"
#include "server_process.h"
#include "wait_for.h"

namespace {

// The reader's environment: its folders in the test's (the places it keeps too), and no
// session bus (so no keyring) unless a test gives it one: nothing of the user's own session
// is used. Its trace tells the test what it has done.
QProcessEnvironment ReaderEnvironment(const QTemporaryDir& dir) {
  QDir().mkpath(dir.path() + "/cache");
  QDir().mkpath(dir.path() + "/config/talking-reader");
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_CACHE_HOME", dir.path() + "/cache");
  env.insert("XDG_CONFIG_HOME", dir.path() + "/config");
  env.insert("XDG_STATE_HOME", dir.path() + "/state");
  env.insert("XDG_DATA_HOME", dir.path() + "/data");
  env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir.path() + "/no-session-bus");
  env.insert("SDL_AUDIODRIVER", "disk");
  env.insert("SDL_DISKAUDIOFILE", dir.path() + "/spoken.raw");
  env.insert("TALKING_READER_TRACE", "1");
  return env;
}

// What a running reader has written to standard error so far.
class ReaderLog {
 public:
  explicit ReaderLog(QProcess& reader) : reader_(reader) {}
  const std::string& Text() {
    reader_.waitForReadyRead(5);
    text_ += reader_.readAllStandardError().toStdString();
    return text_;
  }
  // Waits until `what` has been written `times` times.
  bool Has(const std::string& what, int times = 1, int ms = 90000) {
    return WaitFor([&] { return Count(Text(), what) >= times; }, ms);
  }

 private:
  QProcess& reader_;
  std::string text_;
};

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
  ASSERT_TRUE(stalling.waitForNewConnection(10000)) << "the first request is on its way";
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
  ReaderLog log(reader);
  EXPECT_TRUE(log.Has("is not HOST[:PORT]; using 127.0.0.1:8080", 1, 10000)) << log.Text();
  EXPECT_NE(std::string::npos, log.Text().find("talking-reader.conf: server=reader.example:99999"));
  // It goes on to the default server, whatever answers there.
  EXPECT_TRUE(log.Has("trace: page 0 ", 1, 120000)) << log.Text();
  EXPECT_EQ(QProcess::Running, reader.state()) << log.Text();
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
  // Presses `name`, and waits until the reader has taken the key (its trace says so).
  void Key(const QString& name) { Keys({"key", name}, 1); }
  // Runs xdotool with `args`, which press `count` keys, and waits for the reader to take
  // them.
  void Keys(const QStringList& args, int count) {
    ASSERT_NE(nullptr, log_);
    const int before = Count(log_->Text(), "trace: key ");
    Xdotool(args);
    ASSERT_TRUE(log_->Has("trace: key ", before + count)) << args.join(' ').toStdString();
  }
  // The reader's trace has `what`, `times` times, by now or soon.
  bool Traced(const std::string& what, int times = 1) {
    return log_ != nullptr && log_->Has("trace: " + what, times);
  }
  // Starts the reader on the virtual display and waits for its window. Nothing gives the
  // window the focus: there is no window manager, and the reader activates itself.
  void StartReader(QProcess& reader, QProcessEnvironment env, const QStringList& args) {
    env.insert("DISPLAY", display_);
    env.insert("QT_QPA_PLATFORM", "xcb");
    reader.setProcessEnvironment(env);
    reader.start(TR_READER_EXECUTABLE, args);
    ASSERT_TRUE(reader.waitForStarted(5000));
    log_ = std::make_unique<ReaderLog>(reader);
    Xdotool({"search", "--sync", "--onlyvisible", "--name", "Talking Reader"});
  }
  static void Stop(QProcess& reader) {
    reader.terminate();
    ASSERT_TRUE(reader.waitForFinished(10000));
    EXPECT_EQ(0, reader.exitCode()) << reader.readAllStandardError().toStdString();
  }

  QProcess xvfb_;
  QString display_;
  std::unique_ptr<ReaderLog> log_;  // of the reader started last
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
  ASSERT_TRUE(Traced("page 0 shown")) << server.log();

  Key("1");  // a digit chooses the news
  ASSERT_TRUE(Traced("page 01 shown")) << server.log();
  Key("BackSpace");  // back to the main menu
  ASSERT_TRUE(Traced("page 0 shown", 2)) << server.log();
  // The keypad chooses too: with the display's Num Lock off its 2 arrives as a cursor key,
  // and the reader's own Num Lock makes it the digit.
  Key("KP_Down");
  ASSERT_TRUE(Traced("page 02 shown")) << server.log();
  Key("space");  // pause
  Key("space");  // and resume
  Key("F7");     // speech rate: 3, fast
  ASSERT_TRUE(Traced("prompt 1muudakiirust.txt plays")) << server.log();
  Key("3");
  ASSERT_TRUE(Traced("page 02 heard", 2)) << "the page goes on at the new rate\n" << server.log();
  ASSERT_TRUE(served("q=02 w=1 200", 2)) << server.log();
  QFile settings(dir.path() + "/cache/talking-reader/vorbu.ini");
  ASSERT_TRUE(WaitFor([&] { return settings.exists(); }, 5000));
  ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
  EXPECT_EQ("3\r\n0\r\n", settings.readAll().toStdString());

  Key("Escape");  // up to the main menu
  ASSERT_TRUE(Traced("page 0 shown", 3)) << server.log();
  Key("Escape");  // at the main menu: asks whether to leave
  ASSERT_TRUE(Traced("prompt 1lopetamine.txt plays")) << server.log();
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
  Gate stall;  // holds the first speech of page 02 until the test lets it go
  std::atomic<int> stalled{0};
  const auto handler = [&](const ScriptedRequest& r) -> ScriptedResponse {
    const std::string q = r.query.count("q") ? r.query.at("q") : "";
    const bool w = r.query.count("w") != 0;
    if (q == "0" && !w) return {200, "0 Avaleht\n1\tUudised\n2\tIlm\n"};
    if (q == "01" && w) return {200, std::string(5000, 'x'), "audio/mpeg"};  // not speech
    if (q == "02" && !w) return {200, "Ilm on ilus."};
    ScriptedResponse answer(200, speech, "audio/mpeg");
    if (q == "02" && stalled++ == 0) answer.hold = stall.Hold();
    return answer;
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
  log_ = std::make_unique<ReaderLog>(reader);
  Xdotool(
      {"search", "--sync", "--onlyvisible", "--name", "Talking Reader", "windowfocus", "--sync"});
  ASSERT_TRUE(Traced("page 0 failed"));  // the first try has failed, and said so

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
  ASSERT_TRUE(Traced("page 0 shown"));

  Key("1");  // its speech is no speech: the failure is spoken, the user stays at the root
  ASSERT_TRUE(Traced("page 01 failed"));
  Key("Menu");  // opens no menu that would swallow the next keys
  Key("2");
  ASSERT_TRUE(WaitFor([&] { return stall.Reached() == 1; }, 5000)) << "2 chose the root's entry";
  Key("5");  // answered by the busy sound
  ASSERT_TRUE(Traced("key 53 busy"));
  Key("Escape");  // ends the stalled request at once
  ASSERT_TRUE(Traced("page 02 failed"));
  stall.Open();
  Key("2");  // so the next choice is taken, not dropped
  ASSERT_TRUE(asked("02+w", 2, 5000)) << "Escape ended the stalled request";
  ASSERT_TRUE(Traced("page 02 shown"));

  Key("F9");  // the access code: Tab must not take the keyboard out of the box
  Key("Tab");
  for (const char* c : {"w", "q", "w", "q", "w"}) Key(c);
  Key("Return");
  ASSERT_TRUE(Traced("page 02 shown", 2)) << "the page is fetched again with the code";
  ASSERT_TRUE(asked("02+w", 3, 5000));
  EXPECT_EQ("Vorbu: wqwqw", server.Requests().back().headerLines.back());

  Key("Escape");  // up to the main menu
  ASSERT_TRUE(Traced("page 0 shown", 2));
  Key("Escape");  // at the main menu: asks whether to leave
  ASSERT_TRUE(Traced("prompt 1lopetamine.txt plays"));
  Key("1");
  ASSERT_TRUE(reader.waitForFinished(15000));
  const std::string errors = log_->Text();
  EXPECT_EQ(0, reader.exitCode()) << errors;
  // Errors that reach the box are written to standard error too; the notes that access
  // codes are not kept (there is no session bus in this test) are the only other lines of
  // ours, once, and plainly.
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("talking-reader:", 0) == 0 && line.find("keyring") == std::string::npos &&
        line.rfind("talking-reader: trace:", 0) != 0 &&
        line != "talking-reader: no session bus answers, so access codes will not be remembered") {
      ADD_FAILURE() << "an error reached the box: " << line;
    }
  }
  EXPECT_EQ(1, Count(errors, "access codes will not be remembered")) << errors;
  const auto pages = server.Pages();
  EXPECT_EQ(1, std::count(pages.begin(), pages.end(), "1lopetamine.txt+w")) << "asked once";
  EXPECT_EQ(0, std::count(pages.begin(), pages.end(), "01")) << "no text after failed speech";
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
  ASSERT_TRUE(Traced("page 0 "));  // shown, or failed: the request has ended
  Key("F9");
  Keys({"type", "--delay", "50", "s3cr3t"}, 6);
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
  ASSERT_TRUE(Traced("page 0 shown"));
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

  ASSERT_TRUE(Traced("page 0 shown"));
  Key("F9");
  Keys({"type", "--delay", "50", "s3cr3t"}, 6);
  window = describe();  // while the box holds the code
  EXPECT_EQ("password text", object(window, "Access code")["role"].toString().toStdString());
  EXPECT_TRUE(object(window, "Access code")["text"].isNull()) << "the box offers its text";
  Key("Return");
  ASSERT_TRUE(Traced("page 0 shown", 2)) << server.log();

  // The client's events come over the bus in their own time: asked for until the page's
  // text has arrived among them.
  const auto pageTextInserted = [](const QJsonArray& all) {
    return std::any_of(all.begin(), all.end(), [](const QJsonValue& e) {
      return e["name"].toString() == "Page text" &&
             e["type"].toString() == "object:text-changed:insert";
    });
  };
  QJsonArray events;
  WaitFor(
      [&] {
        probe.write("events\n");
        probe.waitForBytesWritten(5000);
        events = QJsonDocument::fromJson(ProbeLine(probe)).array();
        return pageTextInserted(events);
      },
      10000);
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
