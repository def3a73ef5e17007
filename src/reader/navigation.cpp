// Page navigation and menu pages: fetching the page at the page path when it changed,
// showing its text and deriving the menu keys, going up a level when a page's speech
// ends, and reading a menu again.
#include <QPlainTextEdit>

#include "reader/form1.h"
#include "reader/menu_parse.h"

void TForm1::FormActivate() {
  if (state.pagePath == state.lastPagePath) return;
  state.lastPagePath = state.pagePath;
  if (tomba_loe() > 0) tomba_naita();
}

void TForm1::tomba_naita() {
  tomba(state.pagePath, "", "", false);
  parse_menu();
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
  state.lastPagePath.clear();
  tomba_loe();
}
