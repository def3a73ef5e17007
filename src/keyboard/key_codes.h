// Maps Qt key events to the virtual-key codes the reader's commands are written in
// (Backspace 8, Enter 13, Escape 27, Space 32, Home 36, arrows 37-40, Help 47, digits
// 48-57, letters 65-90, keypad digits 96-105, F1-F12 112-123, locks 20/144/145).
// Keypad keys are told apart by Qt's keypad modifier: while the program's Num Lock is
// on they come as 96-105 even when the system sends them as cursor keys.
#pragma once

#include <cstdint>

class QKeyEvent;

struct KeyInput {
  int qtKey = 0;                // Qt::Key
  bool keypad = false;          // Qt::KeypadModifier was set
  uint32_t nativeScanCode = 0;  // X11 key code when known, else 0
};

// Returns the virtual-key code, or 0 for a key the reader has no code for.
uint16_t VirtualKeyFor(const KeyInput& input, bool numLockOn);
KeyInput KeyInputFrom(const QKeyEvent& event);
