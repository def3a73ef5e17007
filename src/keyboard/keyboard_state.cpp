#include "keyboard/keyboard_state.h"

int16_t KeyboardState::GetKeyState(uint16_t key) const {
  const uint8_t byte = table_[key & 0xFF];
  uint16_t state = byte & 0x01;
  if (byte & 0x80) state |= 0xFF80;
  return static_cast<int16_t>(state);
}

void KeyboardState::KeyDown(uint16_t key) {
  uint8_t& byte = table_[key & 0xFF];
  // Auto-repeat of a held lock key does not toggle it again.
  const bool repeat = byte & 0x80;
  if (!repeat && (key == vk::kCapital || key == vk::kNumLock || key == vk::kScroll)) byte ^= 0x01;
  byte |= 0x80;
}

void KeyboardState::KeyUp(uint16_t key) {
  table_[key & 0xFF] &= static_cast<uint8_t>(~0x80);
}
