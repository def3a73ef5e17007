#include "reader/text_codec.h"

#include <iconv.h>
#include <QHash>
#include <QStringDecoder>
#include <array>

namespace {

// Windows-1257 as the C library's converter has it, asked once for each of the 256 bytes:
// a page of several megabytes is then decoded, and its menu keys looked up, by table.
// A byte that the code page leaves undefined becomes U+FFFD.
struct CodePage {
  std::array<char16_t, 256> toUnicode{};
  QHash<char16_t, unsigned char> toByte;

  CodePage() {
    for (int b = 0; b < 0x80; ++b) toUnicode[b] = static_cast<char16_t>(b);
    iconv_t cd = iconv_open("UTF-16LE", "WINDOWS-1257");
    for (int b = 0x80; b < 0x100; ++b) {
      char16_t unit = QChar::ReplacementCharacter;
      if (cd != reinterpret_cast<iconv_t>(-1)) {
        char in = static_cast<char>(b);
        char out[4];
        char* inPtr = &in;
        char* outPtr = out;
        size_t inLeft = 1;
        size_t outLeft = sizeof out;
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
            outLeft == sizeof out - 2) {
          unit = static_cast<char16_t>(static_cast<unsigned char>(out[0]) |
                                       static_cast<unsigned char>(out[1]) << 8);
        }
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
      } else {
        unit = static_cast<char16_t>(b);  // no converter: Latin-1 is the nearest guess
      }
      toUnicode[b] = unit;
      if (unit != QChar::ReplacementCharacter) toByte.insert(unit, static_cast<unsigned char>(b));
    }
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
  }
};

const CodePage& Windows1257() {
  static const CodePage table;
  return table;
}

}  // namespace

QString DecodeServerText(std::string_view bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  if (!utf8.hasError()) return text;
  const CodePage& page = Windows1257();
  text.resize(static_cast<qsizetype>(bytes.size()));
  QChar* out = text.data();
  for (const char byte : bytes) *out++ = QChar(page.toUnicode[static_cast<unsigned char>(byte)]);
  return text;
}

int Windows1257Byte(QChar c) {
  if (c.unicode() < 0x80) return c.unicode();
  const CodePage& page = Windows1257();
  const auto found = page.toByte.constFind(c.unicode());
  return found == page.toByte.constEnd() ? -1 : *found;
}
