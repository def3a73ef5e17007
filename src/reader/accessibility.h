// What the reader's window tells screen readers (AT-SPI on Linux). The window is a frame
// named with its caption, so a screen reader announces it as the application's window.
// The access-code box is a password field with its accessible name and nothing more: it
// reports neither its characters nor how many there are, and no text-change or caret
// events (which would carry them).
//
// GUI thread only.
#pragma once

class QLineEdit;
class QWidget;

// Gives `window` and `accessCodeBox` their accessible interfaces; call once both exist.
void SetUpAccessibility(QWidget* window, QLineEdit* accessCodeBox);
