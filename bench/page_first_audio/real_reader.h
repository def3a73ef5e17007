// The real reader as its benchmarks drive it: a virtual X display (Xvfb) with real key
// presses (xdotool), the reader started on it against a development server, and SDL's
// disk driver writing what it says (float stereo at 48 kHz) to a file.
#pragma once

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <QProcess>
#include <QString>

#include "wait_for.h"

namespace real_reader {

using Clock = std::chrono::steady_clock;

constexpr int kOutputChannels = 2;  // the reader's output: float stereo
constexpr int kOutputRate = 48000;
constexpr float kAudible = 0.02f;  // -34 dBFS

inline double MsSince(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

inline void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class Display {
 public:
  Display() {
    xvfb_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    if (xvfb_.waitForReadyRead(10000))
      name_ = ":" + QString::fromLatin1(xvfb_.readLine()).trimmed();
  }
  ~Display() {
    xvfb_.terminate();
    xvfb_.waitForFinished(5000);
  }
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  const QString& Name() const { return name_; }
  bool Key(const QString& key) const { return Tool({"key", key}); }
  bool Tool(const QStringList& args) const {
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", name_);
    tool.setProcessEnvironment(env);
    tool.start("xdotool", args);
    return tool.waitForFinished(20000) && tool.exitCode() == 0;
  }

 private:
  QProcess xvfb_;
  QString name_;
};

// Starts the reader on `display` against the server on `port`, its home in `home`, its
// sound into `capture`, and waits for its window. False when it does not come up. With
// `trace`, the reader traces what it does on its standard error, which the caller reads.
inline bool StartReader(QProcess& reader, const Display& display, int port,
                        const std::filesystem::path& home, const std::string& capture,
                        bool trace = false) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("HOME", QString::fromStdString(home.string()));
  env.insert("XDG_CACHE_HOME", QString::fromStdString((home / "cache").string()));
  env.insert("XDG_CONFIG_HOME", QString::fromStdString((home / "config").string()));
  env.insert("XDG_STATE_HOME", QString::fromStdString((home / "state").string()));
  env.insert("XDG_DATA_HOME", QString::fromStdString((home / "data").string()));
  env.insert("SDL_AUDIODRIVER", "disk");
  env.insert("SDL_DISKAUDIOFILE", QString::fromStdString(capture));
  env.insert("DISPLAY", display.Name());
  env.insert("QT_QPA_PLATFORM", "xcb");
  if (trace) env.insert("TALKING_READER_TRACE", "1");
  reader.setProcessEnvironment(env);
  reader.setProcessChannelMode(trace ? QProcess::SeparateChannels
                                     : QProcess::ForwardedErrorChannel);
  reader.start(TR_READER_EXECUTABLE, {"--server", QString("127.0.0.1:%1").arg(port)});
  return reader.waitForStarted(5000) && display.Tool({"search", "--sync", "--onlyvisible", "--name",
                                                      "Talking Reader", "windowfocus", "--sync"});
}

// The capture's size in whole frames' bytes, so that reading resumes on a sample boundary.
inline long FileSize(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  const long frame = kOutputChannels * static_cast<long>(sizeof(float));
  return error ? 0 : static_cast<long>(size) / frame * frame;
}

// Milliseconds until the output file holds an audible sample past `offset` bytes; -1 when
// none comes within `ms`.
inline double FirstAudible(const std::string& capture, long offset, Clock::time_point since,
                           int ms) {
  std::ifstream in;
  std::vector<float> block(4096);
  while (MsSince(since) < ms) {
    in.open(capture, std::ios::binary);
    in.seekg(offset);
    while (in.read(reinterpret_cast<char*>(block.data()),
                   static_cast<std::streamsize>(block.size() * sizeof(float))) ||
           in.gcount() > 0) {
      const size_t n = static_cast<size_t>(in.gcount()) / sizeof(float);
      for (size_t i = 0; i < n; ++i) {
        if (std::fabs(block[i]) > kAudible) return MsSince(since);
      }
      offset += static_cast<long>(n * sizeof(float));
    }
    in.close();
    in.clear();
    Sleep(2);
  }
  return -1;
}

}  // namespace real_reader
