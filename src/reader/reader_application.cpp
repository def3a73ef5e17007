#include "reader/reader_application.h"

#include <QKeyEvent>
#include <QMessageBox>
#include <cstdio>
#include <exception>

ReaderApplication::ReaderApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool ReaderApplication::notify(QObject* receiver, QEvent* event) {
  try {
    // Qt hands a key event that a widget ignores on to its parents within this one call;
    // previewing it here, once, keeps a key from running its command twice, also when a
    // command waits and the focus moves meanwhile.
    const QEvent::Type type = event->type();
    if (keyPreview_ && (type == QEvent::KeyPress || type == QEvent::KeyRelease) &&
        receiver->isWidgetType()) {
      QPointer<QObject> alive(receiver);
      const KeyPreview preview = keyPreview_;
      if (preview(static_cast<QWidget*>(receiver), static_cast<QKeyEvent*>(event))) return true;
      if (!alive) return true;
    }
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

void ReaderApplication::SetErrorSound(QObject* owner, std::function<void()> sound) {
  soundOwner_ = owner;
  errorSound_ = std::move(sound);
}

void ReaderApplication::SetKeyPreview(QObject* owner, KeyPreview preview) {
  previewOwner_ = owner;
  keyPreview_ = std::move(preview);
}

void ReaderApplication::RemoveHooks(QObject* owner) {
  if (soundOwner_ == owner) SetErrorSound(nullptr, {});
  if (previewOwner_ == owner) SetKeyPreview(nullptr, {});
}

void ReaderApplication::ReportError(const QString& message) {
  std::fprintf(stderr, "talking-reader: %s\n", message.toLocal8Bit().constData());
  if (errorSound_) {
    try {
      errorSound_();
    } catch (...) {
      // The message is on standard error already; a sound that fails adds nothing.
    }
  }
  if (reporter_) {
    reporter_(message);
    return;
  }
  if (errorBox_) errorBox_->close();
  auto* box =
      new QMessageBox(QMessageBox::Critical, applicationDisplayName(), message, QMessageBox::Ok);
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Shown beside the window, never in its way: no modal loop, no keyboard focus.
  box->setWindowModality(Qt::NonModal);
  box->setAttribute(Qt::WA_ShowWithoutActivating);
  box->setWindowFlag(Qt::WindowDoesNotAcceptFocus);
  const QPointer<QWidget> active = activeWindow();
  const QPointer<QWidget> focus = focusWidget();
  box->show();
  errorBox_ = box;
  // A platform that activates every new window anyway gives the keyboard back at once.
  if (active && active != box) active->activateWindow();
  if (focus) focus->setFocus();
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
