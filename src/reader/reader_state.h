// The reader's shared state: one record for the whole run, read and written by every
// reader and keyboard method of TForm1 on the GUI thread. Fields in their declared
// order; texts are byte strings.
#pragma once

#include <QDateTime>
#include <bitset>
#include <cstdint>
#include <string>

struct ReaderState {
  std::string pagePath;             // "0" is the root; one key character per level below it
  std::string lastPagePath;         // the path navigation last fetched; "-" or "" forces a fetch
  std::bitset<256> menuKeySet;      // key codes (mod 256) that choose a line of the current menu
  bool requestBusy = false;         // a server request runs
  bool answerWait = false;          // a question waits for a single key
  bool speedDialog = false;         // the speech-rate question runs
  bool voiceDialog = false;         // the voice question runs
  bool quitDialog = false;          // the question whether to leave waits
  bool screenReaderDialog = false;  // the question whether to silence a screen reader waits
  bool menuPage = false;            // the current page is a menu
  uint16_t answerKey = 0;           // the key captured while answerWait was set
  std::string workFolder;           // ends with '/'; every file name is workFolder + bare name
  std::string accessCode;           // sent as user id, password and the Vorbu header
  std::string fallbackSoundPath;    // the prompt player's sound when nothing else can be named
  std::string requestId;            // "&ID=" and a number below 1000000, fixed for the run
  QDateTime lastActivityTime;       // start of the current silence (idle reminders)
  int32_t idleCounter = 0;          // reminder back-off counter
  int32_t scrollLockReference = 0;  // Scroll Lock's key state at start-up, sign-extended
  std::string speechRate;           // "1" to "3"
  std::string voice;                // "0" to "5"
  int32_t savedPagePosition = 0;    // ms; where the page stood when a prompt began
};
