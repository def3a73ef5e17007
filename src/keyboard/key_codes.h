// Maps Qt key events to the virtual-key codes the reader's commands are written in
// (Backspace 8, Enter 13, Escape 27, Space 32, Home 36, arrows 37-40, Help 47, digits
// 48-57, letters 65-90, keypad digits 96-105, F1-F12 112-123, locks 20/144/145), and
// every other key to a code too: Shift, Ctrl and Alt 16-18, Print Screen 44, the Windows
// and Menu keys 91-93, the keypad's operators and decimal key 106-111, and the
// punctuation and national letters of an Estonian keyboard 186-192 and 219-226, by their
// place on the keyboard. A key with no code of its own is 255. Keypad keys are told apart
// by Qt's keypad modifier: while the program's Num Lock is on they come as 96-105 even
// when the system sends them as cursor keys.
#pragma once

#include <cstdint>

class QKeyEvent;

struct KeyInput {
  int qtKey = 0;                // Qt::Key
  bool keypad = false;          // Qt::KeypadModifier was set
  uint32_t nativeScanCode = 0;  // X11 key code when known, else 0
};

// Returns the virtual-key code; never 0.
uint16_t VirtualKeyFor(const KeyInput& input, bool numLockOn);
// Shift, Ctrl, Alt, the Windows keys and the locks: keys that type nothing by themselves.
bool IsModifierKey(uint16_t key);
KeyInput KeyInputFrom(const QKeyEvent& event);
