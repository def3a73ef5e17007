// TMessageTimer: the time-out timer of a socket transport. It has no thread of its own; it
// fires through the event loop of the GUI thread (a QTimer), so a wait that runs the event
// loop sees it. Changing Enabled, Interval or OnTimer stops the countdown and, when the
// interval is non-zero, the timer enabled and a handler set, starts it again from the full
// interval. An exception escaping OnTimer is reported as a warning, never propagated into
// the event loop. GUI thread only.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>

class TMessageTimer : public QObject {
 public:
  explicit TMessageTimer(QObject* owner = nullptr);
  ~TMessageTimer() override;

  bool Enabled() const { return Enabled_; }
  void SetEnabled(bool enabled);
  // Milliseconds; 0 stops the timer.
  uint32_t Interval() const { return Interval_; }
  void SetInterval(uint32_t ms);
  void SetOnTimer(std::function<void(TMessageTimer&)> handler);
  // Starts the countdown again from the full interval, if it runs at all.
  void Restart() { Update(); }

 private:
  void Update();
  void Fire();

  bool Enabled_ = true;
  uint32_t Interval_ = 1000;
  std::function<void(TMessageTimer&)> OnTimer_;
  QTimer Timer_;
};
