// The reader's command line: --server HOST[:PORT], --help, --version.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
  enum class Action { Run, Help, Version, Error };
  Action action = Action::Run;
  std::string host = "127.0.0.1";
  int port = 8080;
  std::string error;  // with Action::Error
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);
extern const char kUsage[];
