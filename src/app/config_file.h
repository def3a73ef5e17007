// The reader's configuration file: ~/.config/talking-reader/talking-reader.conf (or under
// $XDG_CONFIG_HOME), INI format, read once at start. It holds the text server as
// `server=HOST[:PORT]` (--server on the command line overrides it) and the listening speed
// as `speed=1.5`. The reader writes only the speed, when it changes, and keeps every other
// line of the file as it stands.
#pragma once

#include <string>

#include "app/command_line.h"

// $XDG_CONFIG_HOME/talking-reader/talking-reader.conf, or ~/.config/... without it.
std::string ConfigFilePath();

// The server the reader talks to: --server if given, else the file's `server`, else the
// default (127.0.0.1:8080). A file that cannot be read or a bad `server` value leaves the
// default in place and says why in `warning`; the absence of either is not a warning.
struct ServerChoice {
  std::string host;
  int port = 0;
  std::string warning;
};
ServerChoice ChooseServer(const CommandLine& command, const std::string& configPath);

// The listening speed of the file's `speed`: 0.5 to 4 in steps of 0.25 (1 is the natural
// speed). Without the file or the key it is 1; a file that cannot be read or a bad value
// also leaves 1, and says why in `warning`.
struct SpeedChoice {
  double speed = 1;
  std::string warning;
};
SpeedChoice ReadListeningSpeed(const std::string& configPath);

// Sets the file's `speed` to `speed` (as "1.5"), in place of an earlier `speed` line or
// as a new line of the unnamed section, every other line kept; the file and its folder are
// made when missing. The file is replaced whole and at once (never left half written).
// False, with the reason in `error`, when it cannot be written.
bool WriteListeningSpeed(const std::string& configPath, double speed, std::string& error);
