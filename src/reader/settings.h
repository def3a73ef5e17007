// The two-line settings file "vorbu.ini": speech rate, then voice, each line ended by
// CR LF.
#pragma once

#include <string>

struct Settings {
  std::string speechRate;
  std::string voice;
};

// Replaces the file atomically (a temporary file renamed over it). Raises EInOutError.
void WriteSettings(const std::string& path, const Settings& settings);

// Reads both lines whole, without checking them. Raises EInOutError when the file is
// missing, unreadable or has fewer than two lines.
Settings ReadSettings(const std::string& path);

// Speech rate "1" to "3" and voice "0" to "5".
bool SettingsValid(const Settings& settings);
