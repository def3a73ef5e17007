// A D-Bus session bus of the test's own, as a desktop session has one. Only the
// accessibility bus (at-spi2-core) can be started on it by activation; a keyring runs when
// the test starts one (gnome-keyring-daemon with a fresh, unlocked keyring in the test's
// folder). Nothing of the user's own session is touched. Needs Qt Core; header only.
#pragma once

#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

class PrivateSessionBus {
 public:
  // Starts the bus with its configuration and home under `dir`; problem() says why not.
  explicit PrivateSessionBus(const QString& dir) : dir_(dir) {
    for (const char* tool : {"dbus-daemon", "dbus-send"}) {
      if (QStandardPaths::findExecutable(tool).isEmpty()) {
        problem_ = QStringLiteral("needs %1 (dbus)").arg(tool);
        return;
      }
    }
    QDir().mkpath(dir_ + "/bus-services");
    QDir().mkpath(dir_ + "/home/run");
    QFile::setPermissions(dir_ + "/home/run",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString a11y = "/usr/share/dbus-1/services/org.a11y.Bus.service";
    if (QFile::exists(a11y)) QFile::copy(a11y, dir_ + "/bus-services/org.a11y.Bus.service");
    QFile config(dir_ + "/bus.conf");
    if (!config.open(QIODevice::WriteOnly)) {
      problem_ = "cannot write the bus configuration";
      return;
    }
    config.write(
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>\n"
        "<servicedir>" +
        (dir_ + "/bus-services").toUtf8() +
        "</servicedir>\n"
        "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
        "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    config.close();
    QProcessEnvironment env = Environment(QProcessEnvironment::systemEnvironment());
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    bus_.setProcessEnvironment(env);
    bus_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bus_.start("dbus-daemon",
               {"--config-file=" + dir_ + "/bus.conf", "--nofork", "--print-address=1"});
    if (!bus_.waitForStarted(5000) || !bus_.waitForReadyRead(10000)) {
      problem_ = "the session bus did not start";
      return;
    }
    address_ = QString::fromLatin1(bus_.readLine()).trimmed();
    if (address_.isEmpty()) problem_ = "the session bus gave no address";
  }

  ~PrivateSessionBus() {
    if (keyring_.state() != QProcess::NotRunning) {
      ::kill(static_cast<pid_t>(keyring_.processId()), SIGCONT);
      keyring_.terminate();
      keyring_.waitForFinished(5000);
    }
    if (bus_.state() != QProcess::NotRunning) {
      bus_.terminate();
      bus_.waitForFinished(5000);
    }
  }
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // Empty while the bus runs; otherwise why it does not (for a skip message).
  QString problem() const { return problem_; }
  QString address() const { return address_; }

  // `env` for a program on this bus, with the test's home for its keyring and settings
  // (GSettings in memory: there is no dconf on the bus).
  QProcessEnvironment Environment(QProcessEnvironment env) const {
    if (!address_.isEmpty()) env.insert("DBUS_SESSION_BUS_ADDRESS", address_);
    env.insert("HOME", dir_ + "/home");
    env.insert("XDG_DATA_HOME", dir_ + "/home/data");
    env.insert("XDG_RUNTIME_DIR", dir_ + "/home/run");
    env.insert("GSETTINGS_BACKEND", "memory");
    return env;
  }

  // Starts the Secret Service: a keyring daemon with an unlocked login keyring (the
  // default collection) under the test's home, or, with `loginKeyring` false, one that
  // has no keyring at all yet, as on a first login without a password. False, with
  // problem() saying why, when it cannot.
  bool StartKeyring(bool loginKeyring = true) {
    if (!problem_.isEmpty()) return false;
    if (QStandardPaths::findExecutable("gnome-keyring-daemon").isEmpty()) {
      problem_ = "needs gnome-keyring-daemon (gnome-keyring)";
      return false;
    }
    keyring_.setProcessEnvironment(Environment(QProcessEnvironment::systemEnvironment()));
    keyring_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList args = {"--foreground", "--components=secrets"};
    if (loginKeyring) args << "--unlock";
    keyring_.start("gnome-keyring-daemon", args);
    if (!keyring_.waitForStarted(5000)) {
      problem_ = "gnome-keyring-daemon did not start";
      return false;
    }
    if (loginKeyring) {
      // The new keyring's password, read to the end of input. Without an event loop the
      // bytes leave only in waitForBytesWritten.
      keyring_.write("test-keyring-password");
      keyring_.waitForBytesWritten(5000);
    }
    keyring_.closeWriteChannel();
    QElapsedTimer timer;
    timer.start();
    while (!HasOwner("org.freedesktop.secrets")) {
      if (timer.elapsed() > 15000 || keyring_.state() == QProcess::NotRunning) {
        problem_ = "the keyring did not appear on the bus";
        return false;
      }
      QThread::msleep(50);
    }
    return true;
  }
  qint64 keyringPid() const { return keyring_.processId(); }

 private:
  bool HasOwner(const QString& name) {
    QProcess send;
    send.setProcessEnvironment(Environment(QProcessEnvironment::systemEnvironment()));
    send.start("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                             "org.freedesktop.DBus.NameHasOwner", "string:" + name});
    return send.waitForFinished(5000) && send.readAllStandardOutput().contains("true");
  }

  QString dir_;
  QString problem_;
  QString address_;
  QProcess bus_;
  QProcess keyring_;
};
