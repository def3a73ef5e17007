// Page navigation and menu pages: fetching the page at the page path when it changed,
// showing its text and deriving the menu keys, going up a level when a page's speech
// ends, and reading a menu again.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

#include "reader/form1.h"
#include "reader/menu_parse.h"
#include "reader/trace.h"

namespace {

// A long page goes into the window, and is parsed, in slices of about this many
// milliseconds, the window's events handled between them.
constexpr qint64 kSliceMs = 40;
constexpr int kSliceLines = 4000;
constexpr qsizetype kSliceChars = qsizetype{128} * 1024;
// Characters of one line that are shown; the rest of a longer line is left out.
constexpr qsizetype kLongestShownLine = qsizetype{16} * 1024;

}  // namespace

bool TForm1::FormActivate() {
  if (state.pagePath == state.lastPagePath) return true;
  state.lastPagePath = state.pagePath;
  if (tomba_loe() <= 0) {
    // A navigation that could not begin because another request runs is still to be
    // made: the one who waits for that request makes it once it has ended.
    if (lastOutcome_ == RequestOutcome::kBusy) state.lastPagePath = "-";
    Trace("page " + state.pagePath +
          (lastOutcome_ == RequestOutcome::kBusy ? " waits for a request" : " failed"));
    return false;
  }
  Trace("page " + state.pagePath + " heard");
  tomba_naita();
  return true;
}

void TForm1::tomba_naita() {
  const std::string page = state.pagePath;
  textStopped_ = false;
  escapeWhileBusy_ = false;
  tomba(page, "", "", false);
  if (state.pagePath != page) {
    // The page was left while its text arrived (its speech ended, say): neither the text
    // nor its menu keys are installed, and the page at the page path, which could not be
    // fetched meanwhile, is read now, speech and text.
    FormActivate();
    return;
  }
  if (!textStopped_) {
    // A long menu is parsed in slices; nothing navigates in the middle of it.
    BusyScope busy(*this);
    parse_menu();
  }
  if (textStopped_) {
    // Escape stopped a long text going in: the page does not count as shown (its menu
    // keys are not installed), and Escape goes back as it does at any other time.
    if (escapeWhileBusy_ && !Quitting()) GoBack();
    return;
  }
  shownPagePath_ = page;
  Trace("page " + page + (errorOnShow_ ? " text failed" : " shown"));
  if (errorOnShow_) return;
  RequestMap();
  ContinueWhereLeft();
}

// Works on the text's own lines (the document's blocks): a long entry that the window
// wraps stays one entry. A long text is parsed in slices, the window kept alive between.
void TForm1::parse_menu() {
  state.menuKeySet.reset();
  state.menuPage = false;
  QTextBlock block = Memo1->document()->begin();
  if (!block.isValid() || !IsMenuHeading(block.text())) return;
  const uint64_t generation = textGeneration_;
  std::bitset<256> keys;
  bool rewritten = false;
  QString shown = block.text();
  QElapsedTimer slice;
  slice.start();
  for (block = block.next(); block.isValid(); block = block.next()) {
    QString line = block.text();
    if (ParseMenuEntry(line, keys)) rewritten = true;
    shown += QLatin1Char('\n');
    shown += line;
    if (!KeepWindowAlive(slice, generation)) {
      textStopped_ = true;
      return;
    }
  }
  if (rewritten && !ShowText(shown)) return;  // stopped while it went in again
  state.menuKeySet = keys;
  state.menuPage = true;
}

bool TForm1::ShowText(const QString& text) {
  const uint64_t generation = ++textGeneration_;
  ClearMark();
  Memo1->clear();
  QTextCursor cursor(Memo1->document());
  QElapsedTimer slice;
  slice.start();
  QString piece;
  int lines = 0;
  for (qsizetype at = 0; at < text.size();) {
    const qsizetype newline = text.indexOf(QLatin1Char('\n'), at);
    const qsizetype end = newline < 0 ? text.size() : newline;
    if (end - at > kLongestShownLine) {
      // A line far longer than anyone reads on a screen is shown cut: laid out whole, it
      // would hold the window for seconds each time it changed.
      piece += QStringView(text).mid(at, kLongestShownLine);
      piece += QChar(0x2026);
    } else {
      piece += QStringView(text).mid(at, end - at);
    }
    if (newline >= 0) piece += QLatin1Char('\n');
    at = newline < 0 ? text.size() : newline + 1;
    if (++lines < kSliceLines && piece.size() < kSliceChars && at < text.size()) continue;
    // A slice of whole lines, few enough to go in quickly.
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(piece);
    piece.clear();
    lines = 0;
    if (at < text.size() && !KeepWindowAlive(slice, generation, true)) {
      textStopped_ = true;
      return false;
    }
  }
  Memo1->moveCursor(QTextCursor::Start);
  return true;
}

bool TForm1::KeepWindowAlive(QElapsedTimer& slice, uint64_t generation, bool now) {
  if (!now && slice.elapsed() < kSliceMs) return true;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  slice.restart();
  return generation == textGeneration_ && !Quitting();
}

void TForm1::GoUpAndRead() {
  if (state.pagePath.size() > 1) {
    state.pagePath.pop_back();
    // The reader changes the level by itself: a soft sound says so before the parent's
    // speech, so that the next digit is not meant for the page that has ended.
    mangi_res_heli("up");
  }
  state.lastPagePath = "-";
  FormActivate();
}

void TForm1::MediaPlayer1Notify() {
  if (MediaPlayer1.Mode() == mpStopped) {
    if (MediaPlayer1.NotifyValue() == nvFailure) {
      // The speech turned into data that is no speech before its real end: the page has
      // failed, it has not ended.
      CancelPageSpeech();
      FailPageSpeech(RequestOutcome::kUnusable);
    } else {
      // Heard to its end (not stopped short by a key): nothing left to continue.
      if (MediaPlayer1.Position() >= MediaPlayer1.Length()) ForgetPlace();
      GoUpAndRead();
    }
  }
  MediaPlayer1.SetNotify(true);
}

void TForm1::korda_menyyd() {
  if (!state.menuPage) return;
  if (!TextIsCurrent() || errorOnShow_) {
    // The menu on show is not the page's own (its fetch failed), or the connection error
    // stands in its place: read the page in full, speech and text.
    state.lastPagePath = "-";
    FormActivate();
    return;
  }
  state.lastPagePath.clear();
  tomba_loe();
}
