// Tells a waiting operation that the application is quitting. A nested wait that runs the
// event loop itself would otherwise keep the program alive after the user asked it to end
// (the main loop's exit only takes effect once control returns to it). The watch notices
// a Quit event reaching the application object (sent by QCoreApplication::quit() and by
// closing the last window), the aboutToQuit signal, the application's destruction, and an
// explicit RequestQuit(). Used on the thread that created it; needs a QCoreApplication for the
// automatic parts. On a thread other than the application's it sees aboutToQuit and the
// application's destruction only.
#pragma once

#include <QObject>

namespace tr_http {

class TQuitWatch : public QObject {
 public:
  explicit TQuitWatch(QObject* parent = nullptr);
  ~TQuitWatch() override;

  // True once the application has been asked to quit (or is being destroyed).
  bool Quitting() const;
  // Marks the application as quitting, for callers that end it without a Quit event.
  void RequestQuit() { Quitting_ = true; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool Quitting_ = false;
};

}  // namespace tr_http
