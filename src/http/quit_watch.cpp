#include "http/quit_watch.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace tr_http {

TQuitWatch::TQuitWatch(QObject* parent) : QObject(parent) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    // A watch on another thread (a background download's) cannot filter the application's
    // events; it learns of the quit from aboutToQuit and the application's closing down.
    if (app->thread() == QThread::currentThread()) app->installEventFilter(this);
    connect(app, &QCoreApplication::aboutToQuit, this, [this] { Quitting_ = true; });
  }
}

TQuitWatch::~TQuitWatch() {
  QCoreApplication* app = QCoreApplication::instance();
  if (app != nullptr && app->thread() == QThread::currentThread()) app->removeEventFilter(this);
}

bool TQuitWatch::Quitting() const {
  return Quitting_ || QCoreApplication::closingDown();
}

bool TQuitWatch::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) Quitting_ = true;
  return false;
}

}  // namespace tr_http
