#include "reader/menu_parse.h"

#include "reader/text_codec.h"

bool IsMenuHeading(const QString& firstLine) {
  return !firstLine.isEmpty() && firstLine.at(0) == QLatin1Char('0');
}

bool ParseMenuEntry(QString& line, std::bitset<256>& keys) {
  if (line.isEmpty()) return false;
  const int key = Windows1257Byte(line.at(0));
  if (key >= 0) keys.set(static_cast<size_t>(key));
  const qsizetype firstTab = line.indexOf(QLatin1Char('\t'));
  if (firstTab < 0) return false;
  const qsizetype secondTab = line.indexOf(QLatin1Char('\t'), firstTab + 1);
  if (secondTab < 0) return false;
  line.truncate(secondTab);
  return true;
}

MenuParse ParseMenuLines(QStringList& lines) {
  MenuParse menu;
  if (lines.isEmpty() || !IsMenuHeading(lines.first())) return menu;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    if (ParseMenuEntry(lines[i], menu.keys)) menu.rewritten = true;
  }
  menu.menuPage = true;
  return menu;
}
