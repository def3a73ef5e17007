// The offer to silence a screen reader that speaks over the reader, made once, with the
// user's consent: whether to make it, and what each answer leaves behind.
//
// Orca reads per-program settings from its folder under the user's data folder,
// app-settings/<the program's accessibility name>.conf, when the program's window first
// becomes active; with speech and key echo switched off there, it stays silent in the
// reader and unchanged everywhere else, from the next start on. "Yes" creates that file,
// only when it does not exist, with the folders it needs, and changes nothing else of
// Orca's. "No" is remembered in the reader's private state folder, so it is never asked
// again. Every write is atomic and never goes through a symbolic link: neither a link at
// the file nor one at a folder below the data or state folder is followed.
//
// GUI thread only (the detection it asks lives there); the file operations block only on
// the local file system.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "reader/screen_reader_detection.h"

// Orca's settings for this program, byte for byte.
inline constexpr std::string_view kOrcaAppSettings =
    "{\"profiles\": {\"default\": {\"general\": {\"enableSpeech\": false, \"enableKeyEcho\": "
    "false},\n"
    "                          \"pronunciations\": {}, \"keybindings\": {}}}}\n";

// $XDG_DATA_HOME, or ~/.local/share; empty when neither can be named (no absolute path).
std::string DataHome();
// $XDG_STATE_HOME, or ~/.local/state; empty likewise.
std::string StateHome();

class ScreenReaderOffer {
 public:
  // Orca's settings file for this program, relative to the data folder.
  static constexpr const char* kSettingsFolder = "orca/app-settings";
  static constexpr const char* kSettingsName = "talking-reader.conf";
  // The remembered "no", in the state folder's talking-reader/.
  static constexpr const char* kDeclinedName = "screen-reader-declined";

  using Detection = std::function<ScreenReaderDetection::Result()>;

  // `detection` tells what the look for a screen reader found so far. `dataHome` and
  // `stateHome`: absolute folders; an empty one means the offer is not made (there is
  // nowhere to keep its answer).
  ScreenReaderOffer(Detection detection, std::string dataHome, std::string stateHome);

  // The detection has ended: ShouldAsk() now has its answer.
  bool Decided() const { return detection_() != ScreenReaderDetection::Result::kLooking; }
  // A screen reader runs, Orca has no settings file for this program (nothing at all by
  // that name), and the user has not declined before.
  bool ShouldAsk() const;
  // "Yes": creates Orca's settings file. False when something already stands at its name
  // (it is left as it is). Raises EInOutError when it cannot be written.
  bool Accept();
  // "No": remembers it. Raises EInOutError when it cannot be written.
  void Decline();

  std::string SettingsPath() const;
  std::string DeclinedPath() const;

 private:
  Detection detection_;
  std::string dataHome_;
  std::string stateHome_;
};
