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

constexpr std::array<std::pair<int, uint16_t>, 25> kNamedKeys{{
    {Qt::Key_Backspace, vk::kBack},    {Qt::Key_Tab, vk::kTab},
    {Qt::Key_Clear, vk::kClear},       {Qt::Key_Return, vk::kReturn},
    {Qt::Key_Enter, vk::kReturn},      {Qt::Key_Shift, vk::kShift},
    {Qt::Key_Control, vk::kControl},   {Qt::Key_Alt, vk::kMenu},
    {Qt::Key_Pause, vk::kPause},       {Qt::Key_CapsLock, vk::kCapital},
    {Qt::Key_Escape, vk::kEscape},     {Qt::Key_Space, vk::kSpace},
    {Qt::Key_PageUp, vk::kPrior},      {Qt::Key_PageDown, vk::kNext},
    {Qt::Key_End, vk::kEnd},           {Qt::Key_Home, vk::kHome},
    {Qt::Key_Left, vk::kLeft},         {Qt::Key_Up, vk::kUp},
    {Qt::Key_Right, vk::kRight},       {Qt::Key_Down, vk::kDown},
    {Qt::Key_Insert, vk::kInsert},     {Qt::Key_Delete, vk::kDelete},
    {Qt::Key_Help, vk::kHelp},         {Qt::Key_NumLock, vk::kNumLock},
    {Qt::Key_ScrollLock, vk::kScroll},
}};

// X11 key codes of the main keyboard's digit row, 1 to 9 then 0: the physical key
// decides, so Shift+1 (which Qt reports as '!') still acts as the digit 1.
constexpr uint32_t kScanDigit1 = 10;
constexpr uint32_t kScanDigit0 = 19;

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
  }
  if (in.qtKey >= Qt::Key_0 && in.qtKey <= Qt::Key_9) return vk::k0 + (in.qtKey - Qt::Key_0);
  if (in.qtKey >= Qt::Key_A && in.qtKey <= Qt::Key_Z) return vk::kA + (in.qtKey - Qt::Key_A);
  if (in.qtKey >= Qt::Key_F1 && in.qtKey <= Qt::Key_F24) return vk::kF1 + (in.qtKey - Qt::Key_F1);
  for (const auto& [qtKey, code] : kNamedKeys) {
    if (qtKey == in.qtKey) return code;
  }
  if (in.nativeScanCode >= kScanDigit1 && in.nativeScanCode <= kScanDigit0) {
    return vk::k0 + (in.nativeScanCode - kScanDigit1 + 1) % 10;
  }
  return 0;
}

KeyInput KeyInputFrom(const QKeyEvent& event) {
  return KeyInput{event.key(), event.modifiers().testFlag(Qt::KeypadModifier),
                  event.nativeScanCode()};
}
