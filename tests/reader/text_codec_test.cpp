#include "reader/text_codec.h"

#include <gtest/gtest.h>

namespace {

TEST(TextCodecTest, ValidUtf8IsShownAsUtf8) {
  EXPECT_EQ(QStringLiteral("Serveriga ei saa ühendust!"),
            DecodeServerText("Serveriga ei saa \xC3\xBC"
                             "hendust!"));
}

TEST(TextCodecTest, OtherBytesAreShownAsWindows1257) {
  // "Šokolaad, õun, žürii" in the Baltic code page.
  EXPECT_EQ(QStringLiteral("Šokolaad, õun, žürii"),
            DecodeServerText("\xD0okolaad, \xF5un, \xFE\xFCrii"));
  EXPECT_EQ(QString(QChar(QChar::ReplacementCharacter)), DecodeServerText("\x81"));
}

TEST(TextCodecTest, MenuKeysAreWindows1257Bytes) {
  EXPECT_EQ('1', Windows1257Byte(QLatin1Char('1')));
  EXPECT_EQ(0xD5, Windows1257Byte(QChar(0x00D5)));  // Õ
  EXPECT_EQ(-1, Windows1257Byte(QChar(0x4E2D)));
}

}  // namespace
