#include "http/message_timer.h"

#include <QtGlobal>
#include <algorithm>
#include <climits>
#include <exception>

TMessageTimer::TMessageTimer(QObject* owner) : QObject(owner) {
  Timer_.setTimerType(Qt::PreciseTimer);
  connect(&Timer_, &QTimer::timeout, this, [this] { Fire(); });
}

TMessageTimer::~TMessageTimer() {
  Timer_.stop();
}

void TMessageTimer::SetEnabled(bool enabled) {
  Enabled_ = enabled;
  Update();
}

void TMessageTimer::SetInterval(uint32_t ms) {
  Interval_ = ms;
  Update();
}

void TMessageTimer::SetOnTimer(std::function<void(TMessageTimer&)> handler) {
  OnTimer_ = std::move(handler);
  Update();
}

void TMessageTimer::Update() {
  Timer_.stop();
  if (Interval_ != 0 && Enabled_ && OnTimer_) {
    Timer_.start(static_cast<int>(std::min<uint32_t>(Interval_, INT_MAX)));
  }
}

void TMessageTimer::Fire() {
  if (!OnTimer_) return;
  try {
    OnTimer_(*this);
  } catch (const std::exception& e) {
    qWarning("TMessageTimer: %s", e.what());
  } catch (...) {
    qWarning("TMessageTimer: unknown exception");
  }
}
