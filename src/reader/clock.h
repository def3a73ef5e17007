// The local date and time, behind an interface so tests can run the idle schedule in
// virtual time.
#pragma once

#include <QDateTime>

class IClock {
 public:
  virtual ~IClock() = default;
  virtual QDateTime Now() const = 0;
};

class SystemClock : public IClock {
 public:
  QDateTime Now() const override { return QDateTime::currentDateTime(); }
};
