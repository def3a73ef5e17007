// The menu parse of a page's text: a text whose first line begins with "0" is a menu; the
// first character of every further non-empty line is a menu key (its byte in the Baltic
// code page), and an entry line is cut before its second tab. Works on the text's own
// lines, so a long entry that the window wraps stays one entry. Pure functions; any thread.
#pragma once

#include <QStringList>
#include <bitset>

struct MenuParse {
  bool menuPage = false;
  std::bitset<256> keys;
  bool rewritten = false;  // an entry line was cut
};

// Whether a text whose first line is `firstLine` is a menu.
bool IsMenuHeading(const QString& firstLine);
// One line after the heading: adds its key to `keys` and cuts it in place; true when cut.
bool ParseMenuEntry(QString& line, std::bitset<256>& keys);
// Parses `lines` and cuts its entry lines in place.
MenuParse ParseMenuLines(QStringList& lines);
