// A clock that stands still until the test moves it.
#pragma once

#include "reader/clock.h"

class FakeClock : public IClock {
 public:
  explicit FakeClock(QDateTime start = QDateTime(QDate(2026, 1, 5), QTime(10, 0)))
      : now_(std::move(start)) {}
  QDateTime Now() const override { return now_; }
  void Advance(int seconds) { now_ = now_.addSecs(seconds); }

 private:
  QDateTime now_;
};
