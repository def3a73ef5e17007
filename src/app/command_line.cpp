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

bool ParseServerAddress(const std::string& value, std::string& host, int& port, std::string* why) {
  const size_t colon = value.rfind(':');
  std::string name = value.substr(0, colon);
  if (why != nullptr) *why = "is not HOST[:PORT]";
  if (name.empty()) return false;
  // The reader connects over IPv4 only: an IPv6 address would be taken, and then every
  // request would fail as an unreachable server.
  if (name.find_first_of(":[]") != std::string::npos) {
    if (why != nullptr) *why = "is an IPv6 address; the reader connects over IPv4 only";
    return false;
  }
  // The host goes into the request line's Host header: nothing that could break a line.
  for (const unsigned char c : name) {
    if (c <= 0x20 || c == 0x7f) return false;
  }
  int number = port;
  if (colon != std::string::npos) {
    const std::string digits = value.substr(colon + 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size() || number < 1 ||
        number > 65535) {
      return false;
    }
  }
  host = std::move(name);
  port = number;
  return true;
}

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
    out.serverGiven = true;
    std::string why;
    if (!ParseServerAddress(value, out.host, out.port, &why)) {
      out.action = CommandLine::Action::Error;
      out.error = "bad server address: " + value;
      out.error += " " + why + " (expected HOST[:PORT], HOST a name or an IPv4 address)";
      return out;
    }
  }
  return out;
}
