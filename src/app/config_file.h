// The reader's configuration file: ~/.config/talking-reader/talking-reader.conf (or under
// $XDG_CONFIG_HOME), INI format, read once at start. It holds the text server as
// `server=HOST[:PORT]`; --server on the command line overrides it. The reader never
// writes the file.
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
