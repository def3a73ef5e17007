// The server text's decoding: valid UTF-8 comes back as it is (a leading byte-order mark
// aside); anything else is read as Windows-1257, one character per byte.
#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "reader/text_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const QString text = DecodeServerText(bytes);
  const QByteArray back = text.toUtf8();
  const std::string_view again(back.constData(), static_cast<size_t>(back.size()));
  const bool asUtf8 =
      again == bytes || (bytes.substr(0, 3) == "\xEF\xBB\xBF" && again == bytes.substr(3));
  FUZZ_CHECK(asUtf8 || text.size() == static_cast<qsizetype>(size));
  return 0;
}
