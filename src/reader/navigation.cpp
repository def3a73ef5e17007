// Page navigation and menu pages: fetching the page at the page path when it changed,
// showing its text and deriving the menu keys, going up a level when a page's speech
// ends, and reading a menu again.
#include <QPlainTextEdit>

#include "reader/form1.h"
#include "reader/menu_parse.h"

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

void TForm1::parse_menu() {
  QStringList lines = MemoLines();
  const MenuParse menu = ParseMenuLines(lines);
  state.menuKeySet = menu.keys;
  state.menuPage = menu.menuPage;
  if (menu.rewritten) Memo1->setPlainText(lines.join(QLatin1Char('\n')));
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
