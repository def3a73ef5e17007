#include "reader/menu_parse.h"

#include "reader/text_codec.h"

MenuParse ParseMenuLines(QStringList& lines) {
  MenuParse menu;
  if (lines.isEmpty() || lines.first().isEmpty() || lines.first().at(0) != QLatin1Char('0')) {
    return menu;
  }
  for (qsizetype i = 1; i < lines.size(); ++i) {
    QString& line = lines[i];
    if (line.isEmpty()) continue;
    const int key = Windows1257Byte(line.at(0));
    if (key >= 0) menu.keys.set(static_cast<size_t>(key));
    const qsizetype firstTab = line.indexOf(QLatin1Char('\t'));
    if (firstTab < 0) continue;
    const qsizetype secondTab = line.indexOf(QLatin1Char('\t'), firstTab + 1);
    if (secondTab < 0) continue;
    line.truncate(secondTab);
    menu.rewritten = true;
  }
  menu.menuPage = true;
  return menu;
}
