// The reader's application object. It is the program's last line of defence: an
// exception that escapes an event handler is caught here, its message shown in the
// standard error box, and the program carries on with the next event (Qt itself must
// never see an exception). It also remembers that quitting was asked for, so that the
// reader's nested waits can end and the program really exits.
//
// GUI thread only.
#pragma once

#include <QApplication>
#include <functional>

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
  void ReportError(const QString& message);

 private:
  bool quitting_ = false;
  std::function<void(const QString&)> reporter_;
};

// The application's error box for `message`; stderr when no ReaderApplication runs.
void ShowErrorBox(const QString& message);

// True once quitting was requested (false when no ReaderApplication runs).
bool ApplicationQuitting();

// Asks the application to quit (ReaderApplication::RequestQuit, or QCoreApplication::exit).
void RequestApplicationQuit();
