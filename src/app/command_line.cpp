#include "app/command_line.h"

#include <charconv>

const char kUsage[] =
    "Usage: talking-reader [--server HOST[:PORT]]\n"
    "A talking reader: walks the pages of a text and speech server, reads each page\n"
    "aloud and shows its text. Driven entirely from the keyboard.\n"
    "\n"
    "  --server HOST[:PORT]  the text server (default 127.0.0.1:8080)\n"
    "  --help                show this text\n"
    "  --version             show the version\n";

namespace {

bool ParseServer(const std::string& value, CommandLine& out) {
  const size_t colon = value.rfind(':');
  out.host = value.substr(0, colon);
  if (out.host.empty()) return false;
  if (colon == std::string::npos) return true;
  const std::string port = value.substr(colon + 1);
  int number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (error != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535) {
    return false;
  }
  out.port = number;
  return true;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out.action = CommandLine::Action::Help;
      return out;
    }
    if (arg == "--version") {
      out.action = CommandLine::Action::Version;
      return out;
    }
    std::string value;
    if (arg.rfind("--server=", 0) == 0) {
      value = arg.substr(9);
    } else if (arg == "--server" && i + 1 < args.size()) {
      value = args[++i];
    } else {
      out.action = CommandLine::Action::Error;
      out.error = arg == "--server" ? "--server needs HOST[:PORT]" : "unknown argument: " + arg;
      return out;
    }
    if (!ParseServer(value, out)) {
      out.action = CommandLine::Action::Error;
      out.error = "bad server address: " + value + " (expected HOST[:PORT])";
      return out;
    }
  }
  return out;
}
