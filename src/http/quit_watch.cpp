#include "http/quit_watch.h"

#include <QCoreApplication>
#include <QEvent>

namespace tr_http {

TQuitWatch::TQuitWatch(QObject* parent) : QObject(parent) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    app->installEventFilter(this);
    connect(app, &QCoreApplication::aboutToQuit, this, [this] { Quitting_ = true; });
  }
}

TQuitWatch::~TQuitWatch() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

bool TQuitWatch::Quitting() const {
  return Quitting_ || QCoreApplication::closingDown();
}

bool TQuitWatch::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) Quitting_ = true;
  return false;
}

}  // namespace tr_http
