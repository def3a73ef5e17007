// A sound server of the benchmark's own: Debian's PulseAudio with a null sink (sound goes
// nowhere, but timing is a real server's), started in a private folder with its own
// runtime directory and socket, anonymous access, no D-Bus and no autospawn, so that
// nothing of the machine's own sound set-up is used or changed. Stopped on destruction.
// Needs the pulseaudio package.
//
// PulseAudio's null sink, while no stream plays into it, sleeps in blocks of up to two
// seconds, and a new stream is served only when it wakes: the first sound of a freshly
// opened output can wait that long, which no sound card does. `clocked` keeps the sink
// running as a card does, with a silent loopback from a null source played into it.
#pragma once

#include <signal.h>
#include <sys/stat.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace benchaudio {

class PrivateSoundServer {
 public:
  // Starts the server in `dir` (an empty folder of the caller's); Ok() tells whether its
  // socket came up within a few seconds.
  PrivateSoundServer(const std::string& dir, bool clocked) : dir_(dir) {
    for (const char* sub : {"/run", "/run/pulse", "/config", "/state"})
      ::mkdir((dir_ + sub).c_str(), 0700);
    std::ofstream(dir_ + "/client.conf") << "autospawn = no\n";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    for (const auto& [name, value] : ServerEnvironment()) env.insert(name, value);
    server_.setProcessEnvironment(env);
    server_.setProcessChannelMode(QProcess::MergedChannels);
    server_.setStandardOutputFile(QString::fromStdString(dir_ + "/server.log"));
    QStringList args = {"-n",
                        "--daemonize=no",
                        "--use-pid-file=no",
                        "--system=no",
                        "--exit-idle-time=-1",
                        "--realtime=no",
                        "--high-priority=no",
                        "--log-target=stderr",
                        "--load=module-null-sink sink_name=bench rate=48000",
                        QString::fromStdString("--load=module-native-protocol-unix socket=" +
                                               Socket() + " auth-anonymous=1")};
    if (clocked) {
      args << "--load=module-null-source source_name=silence rate=48000"
           << "--load=module-loopback source=silence sink=bench latency_msec=10";
    }
    server_.start("pulseaudio", args);
    if (!server_.waitForStarted(5000)) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    struct stat st {};
    while (::stat(Socket().c_str(), &st) != 0 && std::chrono::steady_clock::now() < deadline &&
           server_.state() == QProcess::Running)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ok_ = ::stat(Socket().c_str(), &st) == 0;
  }
  ~PrivateSoundServer() {
    if (server_.state() == QProcess::NotRunning) return;
    server_.terminate();
    if (!server_.waitForFinished(5000)) server_.kill();
    server_.waitForFinished(2000);
  }
  PrivateSoundServer(const PrivateSoundServer&) = delete;
  PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

  bool Ok() const { return ok_; }
  std::string Socket() const { return dir_ + "/run/native"; }

  // What a client needs to use this server and nothing else: SDL's PulseAudio driver,
  // the socket, and a home of its own for anything libpulse might look for.
  std::vector<std::pair<QString, QString>> ClientEnvironment() const {
    return {{"SDL_AUDIODRIVER", "pulseaudio"},
            {"PULSE_SERVER", QString::fromStdString("unix:" + Socket())},
            {"PULSE_CLIENTCONFIG", QString::fromStdString(dir_ + "/client.conf")},
            {"PULSE_COOKIE", QString::fromStdString(dir_ + "/cookie")},
            {"PULSE_RUNTIME_PATH", QString::fromStdString(dir_ + "/run/pulse")},
            {"PULSE_STATE_PATH", QString::fromStdString(dir_ + "/state")}};
  }
  // Points this process's sound output at the server (before SDL starts).
  void UseInThisProcess() const {
    for (const auto& [name, value] : ClientEnvironment())
      ::setenv(name.toLocal8Bit().constData(), value.toLocal8Bit().constData(), 1);
  }

 private:
  std::vector<std::pair<QString, QString>> ServerEnvironment() const {
    return {{"HOME", QString::fromStdString(dir_)},
            {"XDG_RUNTIME_DIR", QString::fromStdString(dir_ + "/run")},
            {"XDG_CONFIG_HOME", QString::fromStdString(dir_ + "/config")},
            {"PULSE_RUNTIME_PATH", QString::fromStdString(dir_ + "/run/pulse")},
            {"PULSE_STATE_PATH", QString::fromStdString(dir_ + "/state")},
            {"DBUS_SESSION_BUS_ADDRESS", QString::fromStdString("unix:path=" + dir_ + "/no-bus")},
            {"DBUS_SYSTEM_BUS_ADDRESS", QString::fromStdString("unix:path=" + dir_ + "/no-bus")}};
  }

  std::string dir_;
  QProcess server_;
  bool ok_ = false;
};

}  // namespace benchaudio
