#include "reader/reader_application.h"

#include <QMessageBox>
#include <cstdio>
#include <exception>

ReaderApplication::ReaderApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool ReaderApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ReportError(QString::fromUtf8(e.what()));
  } catch (...) {
    ReportError(QStringLiteral("Unknown error"));
  }
  return false;
}

void ReaderApplication::RequestQuit() {
  if (quitting_) return;
  quitting_ = true;
  // The Quit event tells waits that do not know this class (a request in progress) to end.
  QEvent quit(QEvent::Quit);
  sendEvent(this, &quit);
  exit(0);
}

void ReaderApplication::ReportError(const QString& message) {
  std::fprintf(stderr, "talking-reader: %s\n", message.toLocal8Bit().constData());
  if (reporter_) {
    reporter_(message);
    return;
  }
  QMessageBox::critical(activeWindow(), applicationDisplayName(), message);
}

void ShowErrorBox(const QString& message) {
  if (auto* app = dynamic_cast<ReaderApplication*>(QCoreApplication::instance())) {
    app->ReportError(message);
  } else {
    std::fprintf(stderr, "talking-reader: %s\n", message.toLocal8Bit().constData());
  }
}

bool ApplicationQuitting() {
  auto* app = dynamic_cast<ReaderApplication*>(QCoreApplication::instance());
  return app != nullptr && app->Quitting();
}

void RequestApplicationQuit() {
  if (auto* app = dynamic_cast<ReaderApplication*>(QCoreApplication::instance())) {
    app->RequestQuit();
  } else {
    QCoreApplication::exit(0);
  }
}
