// The program's own keyboard state: a 256-byte table indexed by virtual-key code, in
// the classic layout (bit 7 of a byte: the key is held down; bit 0: the lock is toggled
// on). Lock keys toggle when the window sees them pressed. The reader reads Scroll Lock
// and Num Lock from it and switches Num Lock and Caps Lock on at start-up.
//
// GUI thread only.
#pragma once

#include <array>
#include <cstdint>

namespace vk {
constexpr uint16_t kBack = 8;
constexpr uint16_t kTab = 9;
constexpr uint16_t kClear = 12;
constexpr uint16_t kReturn = 13;
constexpr uint16_t kShift = 16;
constexpr uint16_t kControl = 17;
constexpr uint16_t kMenu = 18;
constexpr uint16_t kPause = 19;
constexpr uint16_t kCapital = 20;
constexpr uint16_t kEscape = 27;
constexpr uint16_t kSpace = 32;
constexpr uint16_t kPrior = 33;
constexpr uint16_t kNext = 34;
constexpr uint16_t kEnd = 35;
constexpr uint16_t kHome = 36;
constexpr uint16_t kLeft = 37;
constexpr uint16_t kUp = 38;
constexpr uint16_t kRight = 39;
constexpr uint16_t kDown = 40;
constexpr uint16_t kInsert = 45;
constexpr uint16_t kSnapshot = 44;  // Print Screen
constexpr uint16_t kDelete = 46;
constexpr uint16_t kHelp = 47;
constexpr uint16_t k0 = 48;
constexpr uint16_t kA = 65;
constexpr uint16_t kLWin = 91;
constexpr uint16_t kRWin = 92;
constexpr uint16_t kApps = 93;  // the Menu key
constexpr uint16_t kNumpad0 = 96;
constexpr uint16_t kMultiply = 106;
constexpr uint16_t kAdd = 107;
constexpr uint16_t kSubtract = 109;
constexpr uint16_t kDecimal = 110;
constexpr uint16_t kDivide = 111;
constexpr uint16_t kF1 = 112;
constexpr uint16_t kF5 = 116;
constexpr uint16_t kF6 = 117;
constexpr uint16_t kF7 = 118;
constexpr uint16_t kF8 = 119;
constexpr uint16_t kF9 = 120;
constexpr uint16_t kF10 = 121;
constexpr uint16_t kF11 = 122;
constexpr uint16_t kF12 = 123;
constexpr uint16_t kNumLock = 144;
constexpr uint16_t kScroll = 145;
// Punctuation and national letters, by their place on an Estonian keyboard.
constexpr uint16_t kOem1 = 186;       // õ
constexpr uint16_t kOemPlus = 187;    // + ?
constexpr uint16_t kOemComma = 188;   // , ;
constexpr uint16_t kOemMinus = 189;   // - _
constexpr uint16_t kOemPeriod = 190;  // . :
constexpr uint16_t kOem2 = 191;       // ' *
constexpr uint16_t kOem3 = 192;       // ö
constexpr uint16_t kOem4 = 219;       // ´ `
constexpr uint16_t kOem5 = 220;       // ˇ ~
constexpr uint16_t kOem6 = 221;       // ü
constexpr uint16_t kOem7 = 222;       // ä
constexpr uint16_t kOem102 = 226;     // < > |
// A key that has no code of its own.
constexpr uint16_t kNoName = 255;
}  // namespace vk

class KeyboardState {
 public:
  using Table = std::array<uint8_t, 256>;

  // The key's state as a signed 16-bit value: bit 0 toggled, bit 15 (the sign) held down.
  int16_t GetKeyState(uint16_t key) const;
  void GetKeyboardState(Table& table) const { table = table_; }
  void SetKeyboardState(const Table& table) { table_ = table; }

  // Follows a key event seen by the window: pressing a lock key toggles it.
  void KeyDown(uint16_t key);
  void KeyUp(uint16_t key);

 private:
  Table table_{};
};
