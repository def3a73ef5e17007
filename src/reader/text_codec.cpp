#include "reader/text_codec.h"

#include <iconv.h>
#include <QStringDecoder>

namespace {

// Converts `bytes` from Windows-1257 to UTF-8 with the C library's converter; a byte that
// the code page leaves undefined becomes U+FFFD.
QString FromWindows1257(std::string_view bytes) {
  QString text;
  iconv_t cd = iconv_open("UTF-8", "WINDOWS-1257");
  if (cd == reinterpret_cast<iconv_t>(-1)) return QString::fromLatin1(bytes.data(), bytes.size());
  text.reserve(static_cast<qsizetype>(bytes.size()));
  for (const char byte : bytes) {
    char in = byte;
    char out[4];
    char* inPtr = &in;
    char* outPtr = out;
    size_t inLeft = 1;
    size_t outLeft = sizeof out;
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
      text.append(QChar(QChar::ReplacementCharacter));
    } else {
      text.append(QString::fromUtf8(out, static_cast<qsizetype>(sizeof out - outLeft)));
    }
  }
  iconv_close(cd);
  return text;
}

}  // namespace

QString DecodeServerText(std::string_view bytes) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
  return utf8.hasError() ? FromWindows1257(bytes) : text;
}

int Windows1257Byte(QChar c) {
  if (c.unicode() < 0x80) return c.unicode();
  iconv_t cd = iconv_open("WINDOWS-1257", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  QByteArray in = QString(c).toUtf8();
  char* inPtr = in.data();
  size_t inLeft = static_cast<size_t>(in.size());
  char out[4];
  char* outPtr = out;
  size_t outLeft = sizeof out;
  const bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
                  outLeft == sizeof out - 1;
  iconv_close(cd);
  return ok ? static_cast<unsigned char>(out[0]) : -1;
}
