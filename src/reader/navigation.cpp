// Page navigation and menu pages: fetching the page at the page path when it changed,
// showing its text and deriving the menu keys, going up a level when a page's speech
// ends, and reading a menu again.
#include <QPlainTextEdit>

#include "reader/form1.h"
#include "reader/text_codec.h"

bool TForm1::FormActivate() {
  if (state.pagePath == state.lastPagePath) return true;
  state.lastPagePath = state.pagePath;
  if (tomba_loe() <= 0) return false;
  tomba_naita();
  return true;
}

void TForm1::tomba_naita() {
  const std::string page = state.pagePath;
  tomba(page, "", "", false);
  if (state.pagePath != page) {
    // The user left the page while its text arrived (its speech ended, say): neither the
    // text nor its menu keys are installed; the page at the page path is read instead.
    state.lastPagePath = "-";
    FormActivate();
    return;
  }
  parse_menu();
  shownPagePath_ = page;
}

// Works on the text's own lines: a long entry that the window wraps stays one entry.
void TForm1::parse_menu() {
  state.menuKeySet.reset();
  state.menuPage = false;
  QStringList lines = MemoLines();
  if (lines.isEmpty() || lines.first().isEmpty() || lines.first().at(0) != QLatin1Char('0')) {
    return;
  }
  bool rewritten = false;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    QString& line = lines[i];
    if (line.isEmpty()) continue;
    const int key = Windows1257Byte(line.at(0));
    if (key >= 0) state.menuKeySet.set(static_cast<size_t>(key));
    const qsizetype firstTab = line.indexOf(QLatin1Char('\t'));
    if (firstTab < 0) continue;
    const qsizetype secondTab = line.indexOf(QLatin1Char('\t'), firstTab + 1);
    if (secondTab < 0) continue;
    line.truncate(secondTab);
    rewritten = true;
  }
  if (rewritten) Memo1->setPlainText(lines.join(QLatin1Char('\n')));
  state.menuPage = true;
}

void TForm1::GoUpAndRead() {
  if (state.pagePath.size() > 1) state.pagePath.pop_back();
  state.lastPagePath = "-";
  FormActivate();
}

void TForm1::MediaPlayer1Notify() {
  if (MediaPlayer1.Mode() == mpStopped) GoUpAndRead();
  MediaPlayer1.SetNotify(true);
}

void TForm1::korda_menyyd() {
  if (!state.menuPage) return;
  if (!TextIsCurrent()) {
    // The menu on show is not the page's own (its fetch failed): read the page in full.
    state.lastPagePath = "-";
    FormActivate();
    return;
  }
  state.lastPagePath.clear();
  tomba_loe();
}
