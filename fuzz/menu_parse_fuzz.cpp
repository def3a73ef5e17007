// The menu parse on a server text: the keys are the first characters of the entry lines,
// entry lines keep at most one tab, and a text that is not a menu is left alone.
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "reader/menu_parse.h"
#include "reader/text_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const QString text =
      DecodeServerText(std::string_view(reinterpret_cast<const char*>(data), size));
  const QStringList before = text.split(QLatin1Char('\n'));
  QStringList lines = before;
  const MenuParse menu = ParseMenuLines(lines);
  FUZZ_CHECK(lines.size() == before.size());
  if (!menu.menuPage) {
    FUZZ_CHECK(lines == before && menu.keys.none() && !menu.rewritten);
    return 0;
  }
  FUZZ_CHECK(lines.first() == before.first());
  std::bitset<256> keys;
  for (qsizetype i = 1; i < lines.size(); ++i) {
    FUZZ_CHECK(before[i].startsWith(lines[i]));
    FUZZ_CHECK(lines[i].count(QLatin1Char('\t')) <= 1);
    if (!lines[i].isEmpty() && Windows1257Byte(lines[i].at(0)) >= 0) {
      keys.set(static_cast<size_t>(Windows1257Byte(lines[i].at(0))));
    }
  }
  FUZZ_CHECK(keys == menu.keys);
  FUZZ_CHECK(menu.rewritten == (lines != before));
  return 0;
}
