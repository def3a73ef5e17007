// The reader's command line: --server HOST[:PORT], --help, --version.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
  enum class Action { Run, Help, Version, Error };
  Action action = Action::Run;
  std::string host = "127.0.0.1";
  int port = 8080;
  bool serverGiven = false;  // --server was on the command line
  std::string error;         // with Action::Error
};

// Parses HOST[:PORT]. On success sets `host`, and `port` when the value has one; on failure
// leaves both as they were and, when `why` is given, says why in it.
bool ParseServerAddress(const std::string& value, std::string& host, int& port,
                        std::string* why = nullptr);

CommandLine ParseCommandLine(const std::vector<std::string>& args);
extern const char kUsage[];
