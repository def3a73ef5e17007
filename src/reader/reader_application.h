// The reader's application object. It is the program's last line of defence: an
// exception that escapes an event handler is caught here, written to standard error,
// announced by the error sound and shown in a box, and the program carries on with the
// next event (Qt itself must never see an exception). The box is only for sighted
// helpers: it never takes the keyboard, never runs a modal loop, and a newer error
// replaces it, so the keys go on working while it is up.
//
// It also previews every key event once, before any widget sees it (the reader's key
// preview), and remembers that quitting was asked for, so that the reader's nested waits
// can end and the program really exits.
//
// GUI thread only.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <functional>

class QKeyEvent;

class ReaderApplication : public QApplication {
 public:
  ReaderApplication(int& argc, char** argv);

  bool notify(QObject* receiver, QEvent* event) override;

  // Ends the main loop as soon as control is back in it; nested waits see Quitting().
  void RequestQuit();
  bool Quitting() const { return quitting_; }

  // Replaces the error box (tests record the messages instead).
  void SetErrorReporter(std::function<void(const QString&)> reporter) {
    reporter_ = std::move(reporter);
  }
  // Played for every reported error, whatever shows its message.
  void SetErrorSound(QObject* owner, std::function<void()> sound);
  void ReportError(const QString& message);
  // The error box on screen, or nullptr.
  QMessageBox* ErrorBox() const { return errorBox_; }

  // Sees every key press and release exactly once, before the widget it is meant for
  // (and before the widgets it would propagate to); returning true consumes the event.
  // A widget destroyed by the preview gets nothing. One preview at a time; `owner`
  // identifies it, so that only its owner can remove it.
  using KeyPreview = std::function<bool(QWidget* receiver, QKeyEvent* event)>;
  void SetKeyPreview(QObject* owner, KeyPreview preview);
  void RemoveHooks(QObject* owner);

 private:
  bool quitting_ = false;
  std::function<void(const QString&)> reporter_;
  QObject* soundOwner_ = nullptr;
  std::function<void()> errorSound_;
  QObject* previewOwner_ = nullptr;
  KeyPreview keyPreview_;
  QPointer<QMessageBox> errorBox_;
};

// The application's error report for `message`; stderr when no ReaderApplication runs.
void ShowErrorBox(const QString& message);

// True once quitting was requested (false when no ReaderApplication runs).
bool ApplicationQuitting();

// Asks the application to quit (ReaderApplication::RequestQuit, or QCoreApplication::exit).
void RequestApplicationQuit();
