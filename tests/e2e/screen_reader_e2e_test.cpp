// The real reader among the desktop's real screen reader: Orca and speech-dispatcher on a
// private session bus (dbus-run-session) and a virtual X display, speech-dispatcher's
// generic module writing every text it is given to a log instead of speaking it. A fixed
// key sequence is pressed in the reader twice: while Orca still speaks in it (the first
// start, where the reader asks and is told yes), and after a restart, when Orca has read
// the settings file the yes created. Orca's utterances during each are counted.
//
// Synchronisation: the development server's request log says when the reader has acted
// on a key, and Orca handles each key before the reader gets it (the accessibility
// bridge hands it on only once Orca has answered); Orca's speech is then in
// speech-dispatcher's queue, and a marker spoken at Orca's priority and awaited
// (spd-say -w) comes out after it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <iostream>

#include "server_process.h"
#include "wait_for.h"

namespace {

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

constexpr char kMarker[] = "talking reader test marker";

// One desktop session with Orca, for the whole test.
class OrcaDesktop {
 public:
  explicit OrcaDesktop(const QString& dir) : dir_(dir) {
    for (const char* tool : {"dbus-run-session", "dbus-send", "Xvfb", "xdotool", "orca",
                             "speech-dispatcher", "spd-say"}) {
      if (QStandardPaths::findExecutable(tool).isEmpty()) {
        problem_ = QStringLiteral(
                       "needs %1 (the Debian packages dbus-bin, xvfb, xdotool, orca, "
                       "speech-dispatcher)")
                       .arg(tool);
        return;
      }
    }
    if (!QFile::exists("/usr/lib/speech-dispatcher-modules/sd_generic")) {
      problem_ = "needs speech-dispatcher's generic output module";
      return;
    }
    WriteSpeechConfiguration();
    if (!StartBus() || !StartDisplay() || !StartSpeech() || !StartOrca()) return;
  }

  ~OrcaDesktop() {
    for (QProcess* p : {&orca_, &speech_, &xvfb_}) {
      if (p->state() != QProcess::NotRunning) {
        p->terminate();
        if (!p->waitForFinished(5000)) p->kill();
      }
    }
    if (bus_.state() != QProcess::NotRunning) {
      bus_.closeWriteChannel();  // its command ends, and with it the bus
      if (!bus_.waitForFinished(5000)) bus_.kill();
    }
  }

  // Empty when the desktop runs; otherwise why not (for a skip message).
  QString problem() const { return problem_; }

  QProcessEnvironment Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", dir_ + "/home");
    env.insert("XDG_CONFIG_HOME", dir_ + "/config");
    env.insert("XDG_DATA_HOME", dir_ + "/data");
    env.insert("XDG_STATE_HOME", dir_ + "/state");
    env.insert("XDG_CACHE_HOME", dir_ + "/cache");
    env.insert("XDG_RUNTIME_DIR", dir_ + "/run");
    env.insert("GSETTINGS_BACKEND", "memory");
    env.remove("SPEECHD_ADDRESS");
    if (!address_.isEmpty()) env.insert("DBUS_SESSION_BUS_ADDRESS", address_);
    if (!display_.isEmpty()) env.insert("DISPLAY", display_);
    return env;
  }

  // Every text speech-dispatcher was given so far, one a line, markers left out.
  QStringList Spoken() const {
    QStringList lines;
    for (const QByteArray& line : ReadFile(dir_ + "/spoken.log").split('\n')) {
      if (!line.isEmpty() && line != kMarker) lines << QString::fromUtf8(line);
    }
    return lines;
  }
  // Waits until everything Orca has handed to speech-dispatcher so far has been spoken:
  // a marker of Orca's priority comes out after it.
  bool Drain() {
    QProcess say;
    say.setProcessEnvironment(Environment());
    say.start("spd-say", {"-w", "-P", "message", kMarker});
    return say.waitForFinished(30000) && say.exitCode() == 0;
  }

  void Xdotool(const QStringList& args) {
    QProcess tool;
    tool.setProcessEnvironment(Environment());
    tool.start("xdotool", args);
    ASSERT_TRUE(tool.waitForFinished(20000));
    ASSERT_EQ(0, tool.exitCode()) << args.join(' ').toStdString() << ": "
                                  << tool.readAllStandardError().toStdString();
  }
  QString FocusedWindowName() {
    QProcess tool;
    tool.setProcessEnvironment(Environment());
    tool.start("xdotool", {"getwindowfocus", "getwindowname"});
    tool.waitForFinished(20000);
    return QString::fromUtf8(tool.readAllStandardOutput()).trimmed();
  }

  QString dir() const { return dir_; }

 private:
  void WriteSpeechConfiguration() {
    for (const char* sub :
         {"home", "config/speech-dispatcher/modules", "data", "state", "cache", "run"}) {
      QDir().mkpath(dir_ + "/" + sub);
    }
    ::chmod((dir_ + "/run").toLocal8Bit().constData(), 0700);
    // The generic module runs this for every message: it writes the text to the log.
    const QString say = dir_ + "/log-text";
    QFile script(say);
    script.open(QIODevice::WriteOnly);
    script.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + (dir_ + "/spoken.log").toUtf8() + "'\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile config(dir_ + "/config/speech-dispatcher/speechd.conf");
    config.open(QIODevice::WriteOnly);
    config.write(
        "AddModule \"logger\" \"sd_generic\" \"logger.conf\"\n"
        "DefaultModule logger\n"
        // The module needs an audio output although it plays nothing: libao's null driver.
        "AudioOutputMethod \"libao\"\n");
    config.close();
    QFile module(dir_ + "/config/speech-dispatcher/modules/logger.conf");
    module.open(QIODevice::WriteOnly);
    module.write("GenericExecuteSynth \"" + say.toUtf8() +
                 " \\'$DATA\\'\"\n"
                 "GenericLanguage \"en\" \"en\" \"utf-8\"\n"
                 "AddVoice \"en\" \"MALE1\" \"en\"\n");
    module.close();
    QFile ao(dir_ + "/home/.libao");
    ao.open(QIODevice::WriteOnly);
    ao.write("default_driver=null\n");
  }

  bool StartBus() {
    // dbus-run-session ends the bus when its command ends: this one prints the address
    // and waits for the end of its input.
    bus_.setProcessEnvironment(Environment());
    bus_.start("dbus-run-session",
               {"--", "sh", "-c", "echo \"$DBUS_SESSION_BUS_ADDRESS\"; exec cat >/dev/null"});
    if (!bus_.waitForStarted(5000) || !bus_.waitForReadyRead(10000)) {
      problem_ = "dbus-run-session did not start";
      return false;
    }
    address_ = QString::fromLatin1(bus_.readLine()).trimmed();
    if (address_.isEmpty()) problem_ = "dbus-run-session gave no address";
    return problem_.isEmpty();
  }

  bool StartDisplay() {
    xvfb_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    if (!xvfb_.waitForReadyRead(10000)) {
      problem_ = "Xvfb did not start";
      return false;
    }
    display_ = ":" + QString::fromLatin1(xvfb_.readLine()).trimmed();
    return true;
  }

  bool StartSpeech() {
    speech_.setProcessEnvironment(Environment());
    speech_.setProcessChannelMode(QProcess::MergedChannels);
    speech_.setStandardOutputFile(dir_ + "/speech-dispatcher.out");
    speech_.start("speech-dispatcher", {"--run-single", "--timeout", "0", "--config-dir",
                                        dir_ + "/config/speech-dispatcher", "--log-dir", dir_});
    if (!WaitFor([this] { return Drain(); }, 30000)) {
      problem_ = "speech-dispatcher with the generic module does not speak: " +
                 QString::fromUtf8(ReadFile(dir_ + "/speech-dispatcher.out").right(500));
      return false;
    }
    return true;
  }

  bool StartOrca() {
    // A screen reader turns the toolkits' accessibility on; the desktop does it with this.
    QProcess enable;
    enable.setProcessEnvironment(Environment());
    enable.start("dbus-send", {"--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                               "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status",
                               "string:IsEnabled", "variant:boolean:true"});
    if (!enable.waitForFinished(20000) || enable.exitCode() != 0) {
      problem_ = "no accessibility bus (at-spi2-core): " +
                 QString::fromUtf8(enable.readAllStandardError());
      return false;
    }
    // Started by hand, as many people do: the desktop's ScreenReaderEnabled stays false.
    orca_.setProcessEnvironment(Environment());
    orca_.setProcessChannelMode(QProcess::MergedChannels);
    orca_.setStandardOutputFile(dir_ + "/orca.out");
    orca_.start("orca", QStringList());
    if (!WaitFor([this] { return Spoken().contains("Screen reader on."); }, 60000)) {
      problem_ = "Orca did not start speaking: " +
                 QString::fromUtf8(ReadFile(dir_ + "/orca.out").right(800));
      return false;
    }
    return true;
  }

  QString dir_;
  QString problem_;
  QString address_;
  QString display_;
  QProcess bus_;
  QProcess xvfb_;
  QProcess speech_;
  QProcess orca_;
};

// What Orca said during one start of the reader.
struct ReaderRun {
  QStringList whole;     // from the start to the end of the key sequence
  QStringList sequence;  // during the key sequence
  std::string errors;    // the reader's standard error
};

class ScreenReaderSession : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop_ = std::make_unique<OrcaDesktop>(dir_.path());
    if (!desktop_->problem().isEmpty()) {
      GTEST_SKIP() << "no desktop with a screen reader for the test: "
                   << desktop_->problem().toStdString();
    }
    server_ = std::make_unique<ServerProcess>(
        TR_SERVER_EXECUTABLE, std::vector<std::string>{"--pages", TR_SERVER_SAMPLE_PAGES, "--cache",
                                                       dir_.path().toStdString() + "/speech"});
    ASSERT_NE(0, server_->port()) << server_->log();
  }

  bool Served(const std::string& what, int times) {
    return WaitFor([&] { return Count(server_->log(), what) >= times; }, 90000);
  }
  void Key(const QString& name) { desktop_->Xdotool({"key", name}); }

  // Starts the reader, lets `beforeKeys` run once it is up, presses the fixed key
  // sequence and stops it; returns what Orca said. `orcaSpeaks`: Orca is expected to
  // speak in the reader this time.
  ReaderRun StartAndPressKeys(bool orcaSpeaks, const std::function<void()>& beforeKeys) {
    ReaderRun run;
    const int spokenBefore = static_cast<int>(desktop_->Spoken().size());
    QProcess reader;
    QProcessEnvironment env = desktop_->Environment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("SDL_AUDIODRIVER", "dummy");
    reader.setProcessEnvironment(env);
    reader.start(TR_READER_EXECUTABLE, {"--server", QString("127.0.0.1:%1").arg(server_->port())});
    EXPECT_TRUE(reader.waitForStarted(5000));
    desktop_->Xdotool({"search", "--sync", "--onlyvisible", "--name", "Talking Reader"});
    beforeKeys();
    EXPECT_TRUE(desktop_->Drain());
    const int spokenAtKeys = static_cast<int>(desktop_->Spoken().size());

    // Each count is taken before its key: the answer may come before the key's tool ends.
    const auto served = [this](const std::string& what) { return Count(server_->log(), what); };
    int before = served("q=01 w=0 200");
    Key("1");
    EXPECT_TRUE(Served("q=01 w=0 200", before + 1)) << server_->log();
    for (const char* key : {"space", "Right", "Left", "Up", "Down"}) Key(key);
    before = served("q=0 w=0 200");
    Key("BackSpace");
    EXPECT_TRUE(Served("q=0 w=0 200", before + 1)) << server_->log();
    Key("8");  // a digit the main menu has no entry for
    before = served("q=1kellaaeg.txt w=1 200");
    Key("F12");
    EXPECT_TRUE(Served("q=1kellaaeg.txt w=1 200", before + 1)) << server_->log();
    const int spokenAtBox = static_cast<int>(desktop_->Spoken().size());
    Key("F9");
    if (orcaSpeaks) {
      // As a person waits for the request to type the code; Orca, still speaking here,
      // has then seen the box take the focus.
      EXPECT_TRUE(WaitFor(
          [&] { return desktop_->Spoken().mid(spokenAtBox).join('\n').contains("password"); },
          10000));
    }
    desktop_->Xdotool({"type", "--delay", "50", "wqwqw"});
    before = served("q=0 w=0 200");
    Key("Return");
    EXPECT_TRUE(Served("q=0 w=0 200", before + 1)) << server_->log();
    // No keyring window took the keys.
    EXPECT_EQ("Talking Reader", desktop_->FocusedWindowName().toStdString());
    before = served("q=1lopetamine.txt w=1 200");
    Key("Escape");
    EXPECT_TRUE(Served("q=1lopetamine.txt w=1 200", before + 1)) << server_->log();
    EXPECT_TRUE(desktop_->Drain());

    const QStringList spoken = desktop_->Spoken();
    run.whole = spoken.mid(spokenBefore);
    run.sequence = spoken.mid(spokenAtKeys);
    reader.terminate();
    EXPECT_TRUE(reader.waitForFinished(10000));
    run.errors = reader.readAllStandardError().toStdString();
    return run;
  }

  static std::string Lines(const QStringList& lines) {
    std::string all;
    for (const QString& line : lines) all += "  \"" + line.toStdString() + "\"\n";
    return all;
  }

  QTemporaryDir dir_;
  std::unique_ptr<OrcaDesktop> desktop_;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(ScreenReaderSession, AfterYesAndARestartOrcaSaysNothingInTheReader) {
  const QString settings = dir_.path() + "/data/orca/app-settings/talking-reader.conf";
  const QString work = dir_.path() + "/cache/talking-reader/";

  // The first start: Orca was started by hand, so only its application on the
  // accessibility bus shows it; the reader asks before it reads the main menu.
  const int rootBefore = Count(server_->log(), "q=0 w=0 200");
  const ReaderRun first = StartAndPressKeys(true, [&] {
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(work + "tx_ekraanilugeja.mp3"); }, 30000))
        << "the question was not asked";
    EXPECT_EQ(rootBefore, Count(server_->log(), "q=0 w=0 200")) << "the menu came first";
    Key("1");
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(settings); }, 10000));
    ASSERT_TRUE(Served("q=0 w=0 200", rootBefore + 1)) << "the main menu follows the answer";
  });
  EXPECT_EQ(
      "{\"profiles\": {\"default\": {\"general\": {\"enableSpeech\": false, \"enableKeyEcho\": "
      "false},\n                          \"pronunciations\": {}, \"keybindings\": {}}}}\n",
      ReadFile(settings).toStdString());
  EXPECT_NE(std::string::npos, first.errors.find("the keyring has no default collection"))
      << first.errors;

  // The next start: Orca reads the file as the reader's window becomes active.
  const int rootAgain = Count(server_->log(), "q=0 w=0 200");
  const ReaderRun second = StartAndPressKeys(
      false, [&] { ASSERT_TRUE(Served("q=0 w=0 200", rootAgain + 1)) << "no question this time"; });

  std::cout << "Orca's utterances during the key sequence (digits, Space, the arrows, "
               "Backspace, F12, F9 with a code, Escape):\n"
            << "  before the answer takes effect (first start, after yes): "
            << first.sequence.size() << " (" << first.whole.size()
            << " from the start, the question's answer included)\n"
            << Lines(first.sequence) << "  after yes and a restart: " << second.sequence.size()
            << " (" << second.whole.size() << " from the start)\n"
            << Lines(second.whole);
  EXPECT_GT(first.sequence.size(), 0) << "Orca never spoke over the reader: nothing is measured";
  EXPECT_EQ(QStringList(), second.whole) << Lines(second.whole);
  EXPECT_FALSE(first.sequence.join('\n').contains("wqwqw")) << "the code was spoken";
}

// The mark of the sentence being spoken moves the text area's caret, so that a magnifier
// or a braille display follows it, and a speaking Orca does not read the text again for
// it: Orca speaks a caret that the user's keys move, not one that moves by itself. (A
// selection that followed the mark would be read aloud, every sentence again.)
TEST_F(ScreenReaderSession, TheSentenceMarkMovesTheCaretAndASpeakingOrcaSaysNothingMore) {
  QProcess reader;
  QProcessEnvironment env = desktop_->Environment();
  env.insert("QT_QPA_PLATFORM", "xcb");
  env.insert("SDL_AUDIODRIVER", "dummy");
  env.insert("TALKING_READER_TRACE", "1");
  reader.setProcessEnvironment(env);
  // An accessibility client beside Orca counts the caret's moves.
  QProcess probe;
  probe.setProcessEnvironment(desktop_->Environment());
  probe.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  probe.start(TR_PYTHON, {TR_ATSPI_PROBE, "Talking Reader"});
  reader.start(TR_READER_EXECUTABLE, {"--server", QString("127.0.0.1:%1").arg(server_->port())});
  ASSERT_TRUE(reader.waitForStarted(5000));
  std::string trace;
  const auto traced = [&](const std::string& what) {
    return WaitFor(
        [&] {
          reader.waitForReadyRead(5);
          trace += reader.readAllStandardError().toStdString();
          return trace.find("trace: " + what) != std::string::npos;
        },
        90000);
  };
  desktop_->Xdotool({"search", "--sync", "--onlyvisible", "--name", "Talking Reader"});
  ASSERT_TRUE(traced("prompt 1ekraanilugeja.txt plays")) << "the question was not asked";
  Key("2");  // no: Orca goes on speaking here
  ASSERT_TRUE(traced("page 0 shown"));
  for (const char* path : {"01", "011", "0111"}) {
    Key("1");
    ASSERT_TRUE(traced(std::string("page ") + path + " shown"));
  }
  ASSERT_TRUE(traced("page 0111 has a map")) << trace;
  ASSERT_TRUE(traced("sentence 1 marked"));
  ASSERT_TRUE(desktop_->Drain());
  const int before = static_cast<int>(desktop_->Spoken().size());
  ASSERT_TRUE(traced("sentence 4 marked"));
  ASSERT_TRUE(desktop_->Drain());
  const QStringList during = desktop_->Spoken().mid(before);
  // Its answer is the line after "enabled" and "ready": the events seen so far.
  probe.write("events\n");
  QByteArray events;
  ASSERT_TRUE(WaitFor(
      [&] {
        probe.waitForReadyRead(10);
        events += probe.readAll();
        return events.contains("\n[") && events.endsWith("\n");
      },
      10000));
  const auto caretMoves = Count(events.toStdString(), "object:text-caret-moved");
  std::cout << "While the mark moved over three sentences: " << caretMoves
            << " caret moves, and Orca said " << during.size() << " things\n"
            << Lines(during);
  EXPECT_GE(caretMoves, 3) << "the caret follows the mark";
  EXPECT_EQ(QStringList(), during);
  probe.write("quit\n");
  probe.waitForFinished(5000);
  reader.terminate();
  EXPECT_TRUE(reader.waitForFinished(10000));
}

}  // namespace
