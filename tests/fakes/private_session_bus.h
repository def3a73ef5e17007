// A D-Bus session bus of the test's own, as a desktop session has one. Only the
// accessibility bus (at-spi2-core) can be started on it by activation; a keyring runs when
// the test starts one (gnome-keyring-daemon with a fresh, unlocked keyring in the test's
// folder). Nothing of the user's own session is touched. The daemons are started with
// fork() (child_process.h), so that ThreadSanitizer can follow the test. Needs Qt Core;
// header only.
#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include "child_process.h"

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
    if (!bus_.Start(QStandardPaths::findExecutable("dbus-daemon"),
                    {"--config-file=" + dir_ + "/bus.conf", "--nofork", "--print-address=1"}, env,
                    /*input=*/false, /*output=*/true)) {
      problem_ = "the session bus did not start";
      return;
    }
    address_ = QString::fromStdString(bus_.ReadLine(std::chrono::seconds(10))).trimmed();
    if (address_.isEmpty()) problem_ = "the session bus gave no address";
  }

  ~PrivateSessionBus() {
    keyring_.Stop();
    bus_.Stop();
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
    QStringList args = {"--foreground", "--components=secrets"};
    if (loginKeyring) args << "--unlock";
    if (!keyring_.Start(QStandardPaths::findExecutable("gnome-keyring-daemon"), args,
                        Environment(QProcessEnvironment::systemEnvironment()),
                        /*input=*/true)) {
      problem_ = "gnome-keyring-daemon did not start";
      return false;
    }
    // With a login keyring, the new keyring's password, read to the end of input; without,
    // the input just ends.
    keyring_.Write(loginKeyring ? "test-keyring-password" : "");
    // Coming up has no notice of its own: the bus is asked until the name has an owner.
    QElapsedTimer timer;
    timer.start();
    while (!HasOwner("org.freedesktop.secrets")) {
      if (timer.elapsed() > 15000 || !keyring_.Running()) {
        problem_ = "the keyring did not appear on the bus";
        return false;
      }
      QThread::msleep(50);
    }
    return true;
  }
  qint64 keyringPid() const { return keyring_.Pid(); }

 private:
  bool HasOwner(const QString& name) const {
    ChildProcess send;
    if (!send.Start(QStandardPaths::findExecutable("dbus-send"),
                    {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/",
                     "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                    Environment(QProcessEnvironment::systemEnvironment()), /*input=*/false,
                    /*output=*/true))
      return false;
    const std::string reply = send.ReadAll(std::chrono::seconds(5));
    send.Wait(std::chrono::seconds(5));
    return reply.find("true") != std::string::npos;
  }

  QString dir_;
  QString problem_;
  QString address_;
  ChildProcess bus_;
  ChildProcess keyring_;
};
