// Command-line options of the development text and speech server. Parsing is pure: it
// reads the argument list and the environment given to it and touches nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/exception.h"

enum class TextEncoding { Utf8, Windows1257 };

struct ServerOptions {
  std::string bind = "127.0.0.1";
  int port = 8080;  // 0: the system picks a free port
  std::string portFile;
  std::string pagesDir;
  std::string cacheDir;
  std::vector<std::string> accessCodes;  // never empty after parsing
  bool open = false;                     // no access code needed
  TextEncoding encoding = TextEncoding::Utf8;
  long throttle = 0;  // bytes a second for every answer body; 0: as fast as possible
  bool help = false;
  bool version = false;
};

// A command line that cannot be run: the message says what is wrong.
class UsageError : public Exception {
 public:
  using Exception::Exception;
};

// Parses argv[1..]; fills defaults (the sample pages beside the program, cache folder from
// XDG_CACHE_HOME or HOME, access code "wqwqw"). Throws UsageError.
ServerOptions parseServerOptions(const std::vector<std::string>& args);

// The default cache folder for the given environment values (either may be empty).
std::string defaultCacheDir(const std::string& xdgCacheHome, const std::string& home);

std::string serverUsage();
std::string serverVersion();
