// Finds out, at start, whether a screen reader runs on the desktop, without ever making
// the start wait on it.
//
// Two signs count. The accessibility bus's status flag `ScreenReaderEnabled` (the
// org.a11y.Status interface of org.a11y.Bus on the session bus), which the desktop sets
// when it starts its screen reader; and an application named `orca` among the
// applications the accessibility bus knows, which is the only sign when Orca was started
// by hand. Neither bus is ever started for the question: a screen reader has both running.
//
// Every call is asynchronous, through the Qt event loop, each with a short time-out, and
// the whole look has a bound after which it ends as kNoAnswer: a frozen program on the
// accessibility bus or a hung bus costs that bound at most, and only to whoever waits.
// Connecting to a bus is the one blocking step (a local socket, as every D-Bus client of
// the program makes it). GUI thread only; each object uses connections of its own.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>
#include <optional>
#include <string>

class ScreenReaderDetection {
 public:
  enum class Result {
    kLooking,       // not finished yet
    kNoSessionBus,  // there is no session bus, so no screen reader either
    kNone,          // every sign was read, and none shows a screen reader
    kRunning,       // a screen reader runs
    kNoAnswer,      // the bound passed before the signs were read
  };

  static constexpr std::chrono::milliseconds kBound{1500};

  // Starts looking on the session bus at `sessionBus` (nothing: there is none); ends by
  // itself within `bound`. The answers arrive as events: the event loop must run.
  explicit ScreenReaderDetection(const std::optional<std::string>& sessionBus,
                                 std::chrono::milliseconds bound = kBound);
  ~ScreenReaderDetection();
  ScreenReaderDetection(const ScreenReaderDetection&) = delete;
  ScreenReaderDetection& operator=(const ScreenReaderDetection&) = delete;

  Result result() const { return result_; }
  bool Done() const { return result_ != Result::kLooking; }
  // What showed the screen reader, for the log: "ScreenReaderEnabled" or "orca".
  const QString& Evidence() const { return evidence_; }

 private:
  void Start(const std::optional<std::string>& sessionBus);
  void ReadApplicationNames(const QString& a11yAddress);
  // One expected answer arrived and showed nothing.
  void Settle();
  void Finish(Result result, const QString& evidence = {});

  QObject context_;  // owns the watchers
  QTimer bound_;
  Result result_ = Result::kLooking;
  QString evidence_;
  int awaited_ = 0;  // answers still to come
  QString sessionName_;
  QString a11yName_;
};
