#include <gtest/gtest.h>

#include <QKeyEvent>

#include "keyboard/key_codes.h"
#include "keyboard/keyboard_state.h"

namespace {

struct KeyCase {
  const char* what;
  KeyInput input;
  bool numLock;
  uint16_t expected;
};

TEST(KeyCodesTest, QtKeysMapToVirtualKeyCodes) {
  const KeyCase cases[] = {
      {"digit 0", {Qt::Key_0}, true, 48},
      {"digit 7", {Qt::Key_7}, false, 55},
      {"shifted digit 1 by its key", {Qt::Key_Exclam, false, 10}, true, 49},
      {"shifted digit 0 by its key", {Qt::Key_ParenRight, false, 19}, true, 48},
      {"keypad 7, system Num Lock on", {Qt::Key_7, true}, true, 103},
      {"keypad 0, system Num Lock on", {Qt::Key_0, true}, true, 96},
      {"keypad 7, system Num Lock off", {Qt::Key_Home, true}, true, 103},
      {"keypad 5, system Num Lock off", {Qt::Key_Clear, true}, true, 101},
      {"keypad 9, system Num Lock off", {Qt::Key_PageUp, true}, true, 105},
      {"keypad 7, program Num Lock off", {Qt::Key_Home, true}, false, 36},
      {"keypad 7 digit, program Num Lock off", {Qt::Key_7, true}, false, 36},
      {"keypad Enter", {Qt::Key_Enter, true}, true, 13},
      {"letter A", {Qt::Key_A}, true, 65},
      {"letter Z", {Qt::Key_Z}, true, 90},
      {"F1", {Qt::Key_F1}, true, 112},
      {"F7", {Qt::Key_F7}, true, 118},
      {"F12", {Qt::Key_F12}, true, 123},
      {"Backspace", {Qt::Key_Backspace}, true, 8},
      {"Return", {Qt::Key_Return}, true, 13},
      {"Escape", {Qt::Key_Escape}, true, 27},
      {"Space", {Qt::Key_Space}, true, 32},
      {"Home", {Qt::Key_Home}, true, 36},
      {"Left", {Qt::Key_Left}, true, 37},
      {"Right", {Qt::Key_Right}, true, 39},
      {"Help", {Qt::Key_Help}, true, 47},
      {"Scroll Lock", {Qt::Key_ScrollLock}, true, 145},
      {"Num Lock", {Qt::Key_NumLock}, true, 144},
      {"Caps Lock", {Qt::Key_CapsLock}, true, 20},
      {"a key without a code of its own", {Qt::Key_Egrave}, true, 255},
  };
  for (const KeyCase& c : cases) {
    EXPECT_EQ(c.expected, VirtualKeyFor(c.input, c.numLock)) << c.what;
  }
}

TEST(KeyCodesTest, KeypadModifierComesFromTheEvent) {
  QKeyEvent keypad(QEvent::KeyPress, Qt::Key_4, Qt::KeypadModifier, QStringLiteral("4"));
  EXPECT_EQ(100, VirtualKeyFor(KeyInputFrom(keypad), true));
  QKeyEvent shifted(QEvent::KeyPress, Qt::Key_4, Qt::ShiftModifier, QStringLiteral("4"));
  EXPECT_EQ(52, VirtualKeyFor(KeyInputFrom(shifted), true));
}

TEST(KeyboardStateTest, LocksToggleOnPressAndHeldKeysSetTheSignBit) {
  KeyboardState keys;
  EXPECT_EQ(0, keys.GetKeyState(vk::kScroll));
  keys.KeyDown(vk::kScroll);
  EXPECT_LT(keys.GetKeyState(vk::kScroll), 0) << "held down";
  EXPECT_EQ(1, keys.GetKeyState(vk::kScroll) & 1) << "toggled on";
  keys.KeyDown(vk::kScroll);  // auto-repeat while held does not toggle again
  keys.KeyUp(vk::kScroll);
  EXPECT_EQ(1, keys.GetKeyState(vk::kScroll));
  keys.KeyDown(vk::kScroll);
  keys.KeyUp(vk::kScroll);
  EXPECT_EQ(0, keys.GetKeyState(vk::kScroll));

  keys.KeyDown(vk::kA);  // ordinary keys never toggle
  keys.KeyUp(vk::kA);
  EXPECT_EQ(0, keys.GetKeyState(vk::kA));
}

TEST(KeyboardStateTest, TableRoundTripsThroughGetAndSet) {
  KeyboardState keys;
  KeyboardState::Table table{};
  table[vk::kNumLock] = 1;
  table[vk::kCapital] = 0x81;
  keys.SetKeyboardState(table);
  EXPECT_EQ(1, keys.GetKeyState(vk::kNumLock));
  EXPECT_EQ(static_cast<int16_t>(0xFF81), keys.GetKeyState(vk::kCapital));
  KeyboardState::Table back{};
  keys.GetKeyboardState(back);
  EXPECT_EQ(table, back);
}

}  // namespace
