#include "keyboard/key_codes.h"

#include <QKeyEvent>
#include <array>
#include <utility>

#include "keyboard/keyboard_state.h"

namespace {

// Keypad keys in digit order as Qt reports them when the system's Num Lock is off,
// with the cursor-key codes they stand for then.
constexpr std::array<std::pair<int, uint16_t>, 10> kKeypadNavigation{{
    {Qt::Key_Insert, vk::kInsert},
    {Qt::Key_End, vk::kEnd},
    {Qt::Key_Down, vk::kDown},
    {Qt::Key_PageDown, vk::kNext},
    {Qt::Key_Left, vk::kLeft},
    {Qt::Key_Clear, vk::kClear},
    {Qt::Key_Right, vk::kRight},
    {Qt::Key_Home, vk::kHome},
    {Qt::Key_Up, vk::kUp},
    {Qt::Key_PageUp, vk::kPrior},
}};

// The keypad's operator keys. Its decimal key is ',' on an Estonian keypad, '.' on others.
constexpr std::array<std::pair<int, uint16_t>, 6> kKeypadOperators{{
    {Qt::Key_Asterisk, vk::kMultiply},
    {Qt::Key_Plus, vk::kAdd},
    {Qt::Key_Minus, vk::kSubtract},
    {Qt::Key_Slash, vk::kDivide},
    {Qt::Key_Comma, vk::kDecimal},
    {Qt::Key_Period, vk::kDecimal},
}};

constexpr std::array<std::pair<int, uint16_t>, 35> kNamedKeys{{
    {Qt::Key_Backspace, vk::kBack},    {Qt::Key_Tab, vk::kTab},
    {Qt::Key_Backtab, vk::kTab},       {Qt::Key_Clear, vk::kClear},
    {Qt::Key_Return, vk::kReturn},     {Qt::Key_Enter, vk::kReturn},
    {Qt::Key_Shift, vk::kShift},       {Qt::Key_Control, vk::kControl},
    {Qt::Key_Alt, vk::kMenu},          {Qt::Key_AltGr, vk::kMenu},
    {Qt::Key_Pause, vk::kPause},       {Qt::Key_CapsLock, vk::kCapital},
    {Qt::Key_Escape, vk::kEscape},     {Qt::Key_Space, vk::kSpace},
    {Qt::Key_PageUp, vk::kPrior},      {Qt::Key_PageDown, vk::kNext},
    {Qt::Key_End, vk::kEnd},           {Qt::Key_Home, vk::kHome},
    {Qt::Key_Left, vk::kLeft},         {Qt::Key_Up, vk::kUp},
    {Qt::Key_Right, vk::kRight},       {Qt::Key_Down, vk::kDown},
    {Qt::Key_Print, vk::kSnapshot},    {Qt::Key_SysReq, vk::kSnapshot},
    {Qt::Key_Insert, vk::kInsert},     {Qt::Key_Delete, vk::kDelete},
    {Qt::Key_Help, vk::kHelp},         {Qt::Key_Meta, vk::kLWin},
    {Qt::Key_Super_L, vk::kLWin},      {Qt::Key_Super_R, vk::kRWin},
    {Qt::Key_Menu, vk::kApps},         {Qt::Key_NumLock, vk::kNumLock},
    {Qt::Key_ScrollLock, vk::kScroll}, {Qt::Key_Hyper_L, vk::kLWin},
    {Qt::Key_Hyper_R, vk::kRWin},
}};

// X11 key codes of the main keyboard's digit row, 1 to 9 then 0: the physical key
// decides, so Shift+1 (which Qt reports as '!') still acts as the digit 1.
constexpr uint32_t kScanDigit1 = 10;
constexpr uint32_t kScanDigit0 = 19;

// The other keys of the main block by their place (X11 key code): the letters of the
// QWERTY rows, so that AltGr+S (š) is still the S key, and the punctuation and national
// letters with the codes an Estonian layout gives them.
constexpr std::array<std::pair<uint32_t, uint16_t>, 38> kPlaces{{
    {24, 'Q'},           {25, 'W'},         {26, 'E'},           {27, 'R'},
    {28, 'T'},           {29, 'Y'},         {30, 'U'},           {31, 'I'},
    {32, 'O'},           {33, 'P'},         {38, 'A'},           {39, 'S'},
    {40, 'D'},           {41, 'F'},         {42, 'G'},           {43, 'H'},
    {44, 'J'},           {45, 'K'},         {46, 'L'},           {52, 'Z'},
    {53, 'X'},           {54, 'C'},         {55, 'V'},           {56, 'B'},
    {57, 'N'},           {58, 'M'},         {20, vk::kOemPlus},  {21, vk::kOem4},
    {34, vk::kOem6},     {35, vk::kOem1},   {47, vk::kOem3},     {48, vk::kOem7},
    {49, vk::kOem5},     {51, vk::kOem2},   {59, vk::kOemComma}, {60, vk::kOemPeriod},
    {61, vk::kOemMinus}, {94, vk::kOem102},
}};

// Qt names letters beyond Latin-1 by their upper-case code point: Š and Ž.
constexpr int kKeyScaron = 0x0160;
constexpr int kKeyZcaron = 0x017D;

// The same keys by the character Qt reports, for events that come without a key code
// (synthesised ones): unshifted, shifted and AltGr forms.
constexpr std::array<std::pair<int, uint16_t>, 28> kCharacters{{
    {Qt::Key_Otilde, vk::kOem1},
    {Qt::Key_Udiaeresis, vk::kOem6},
    {Qt::Key_Odiaeresis, vk::kOem3},
    {Qt::Key_Adiaeresis, vk::kOem7},
    {kKeyScaron, 'S'},
    {kKeyZcaron, 'Z'},
    {Qt::Key_Plus, vk::kOemPlus},
    {Qt::Key_Question, vk::kOemPlus},
    {Qt::Key_Comma, vk::kOemComma},
    {Qt::Key_Semicolon, vk::kOemComma},
    {Qt::Key_Minus, vk::kOemMinus},
    {Qt::Key_Underscore, vk::kOemMinus},
    {Qt::Key_Period, vk::kOemPeriod},
    {Qt::Key_Colon, vk::kOemPeriod},
    {Qt::Key_Apostrophe, vk::kOem2},
    {Qt::Key_Asterisk, vk::kOem2},
    {Qt::Key_Dead_Acute, vk::kOem4},
    {Qt::Key_Dead_Grave, vk::kOem4},
    {Qt::Key_acute, vk::kOem4},
    {Qt::Key_QuoteLeft, vk::kOem4},
    {Qt::Key_Dead_Caron, vk::kOem5},
    {Qt::Key_Dead_Tilde, vk::kOem5},
    {Qt::Key_AsciiTilde, vk::kOem5},
    {Qt::Key_Less, vk::kOem102},
    {Qt::Key_Greater, vk::kOem102},
    {Qt::Key_Bar, vk::kOem102},
    {Qt::Key_Dead_Diaeresis, vk::kOem6},
    {Qt::Key_Dead_Circumflex, vk::kOem6},
}};

template <typename Table, typename Key>
uint16_t Find(const Table& table, Key key) {
  for (const auto& [from, code] : table) {
    if (from == key) return code;
  }
  return 0;
}

}  // namespace

uint16_t VirtualKeyFor(const KeyInput& in, bool numLockOn) {
  if (in.keypad) {
    if (in.qtKey >= Qt::Key_0 && in.qtKey <= Qt::Key_9) {
      const int digit = in.qtKey - Qt::Key_0;
      return numLockOn ? vk::kNumpad0 + digit : kKeypadNavigation[digit].second;
    }
    for (size_t digit = 0; digit < kKeypadNavigation.size(); ++digit) {
      if (kKeypadNavigation[digit].first == in.qtKey) {
        return numLockOn ? vk::kNumpad0 + digit : kKeypadNavigation[digit].second;
      }
    }
    if (in.qtKey == Qt::Key_Delete) return numLockOn ? vk::kDecimal : vk::kDelete;
    if (const uint16_t code = Find(kKeypadOperators, in.qtKey)) return code;
  }
  if (in.qtKey >= Qt::Key_0 && in.qtKey <= Qt::Key_9) return vk::k0 + (in.qtKey - Qt::Key_0);
  if (in.qtKey >= Qt::Key_A && in.qtKey <= Qt::Key_Z) return vk::kA + (in.qtKey - Qt::Key_A);
  if (in.qtKey >= Qt::Key_F1 && in.qtKey <= Qt::Key_F24) return vk::kF1 + (in.qtKey - Qt::Key_F1);
  if (const uint16_t code = Find(kNamedKeys, in.qtKey)) return code;
  if (in.nativeScanCode >= kScanDigit1 && in.nativeScanCode <= kScanDigit0) {
    return vk::k0 + (in.nativeScanCode - kScanDigit1 + 1) % 10;
  }
  if (const uint16_t code = Find(kPlaces, in.nativeScanCode)) return code;
  if (const uint16_t code = Find(kCharacters, in.qtKey)) return code;
  // Every key gets a code, so that it is acknowledged and can answer a question.
  return vk::kNoName;
}

KeyInput KeyInputFrom(const QKeyEvent& event) {
  return KeyInput{event.key(), event.modifiers().testFlag(Qt::KeypadModifier),
                  event.nativeScanCode()};
}

bool IsModifierKey(uint16_t key) {
  return key == vk::kShift || key == vk::kControl || key == vk::kMenu || key == vk::kLWin ||
         key == vk::kRWin || key == vk::kCapital || key == vk::kNumLock || key == vk::kScroll;
}
