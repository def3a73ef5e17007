#include "server_options.h"

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace {

const char* envOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

int parsePort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError("--port needs a number from 0 to 65535, not \"" + text + "\"");
  int port = std::stoi(text);
  if (port > 65535) throw UsageError("--port needs a number from 0 to 65535, not \"" + text + "\"");
  return port;
}

long parseThrottle(const std::string& text) {
  // Up to ten digits: far beyond any link, and no overflow.
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError("--throttle needs a number of bytes a second, not \"" + text + "\"");
  return std::stol(text);
}

// The sample pages beside the program: ../share/talking-reader-server/pages from its own
// folder, where they are installed (the build tree links the same place to the sources).
std::string defaultPagesDir() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return "";
  return (program.parent_path().parent_path() / "share/talking-reader-server/pages").string();
}

}  // namespace

std::string defaultCacheDir(const std::string& xdgCacheHome, const std::string& home) {
  // XDG says a relative XDG_CACHE_HOME is invalid and must be ignored.
  if (!xdgCacheHome.empty() && xdgCacheHome[0] == '/')
    return xdgCacheHome + "/talking-reader-server";
  if (!home.empty()) return home + "/.cache/talking-reader-server";
  return "";
}

ServerOptions parseServerOptions(const std::vector<std::string>& args) {
  ServerOptions options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      return args[++i];
    };
    auto noValue = [&] {
      if (inlineValue) throw UsageError(name + " takes no value");
    };

    if (name == "--bind") {
      options.bind = value();
      if (options.bind.empty()) throw UsageError("--bind needs an address");
    } else if (name == "--port") {
      options.port = parsePort(value());
    } else if (name == "--port-file") {
      options.portFile = value();
      if (options.portFile.empty()) throw UsageError("--port-file needs a file name");
    } else if (name == "--pages") {
      options.pagesDir = value();
      if (options.pagesDir.empty()) throw UsageError("--pages needs a folder");
    } else if (name == "--cache") {
      options.cacheDir = value();
      if (options.cacheDir.empty()) throw UsageError("--cache needs a folder");
    } else if (name == "--access-code") {
      std::string code = value();
      // The code travels as user id and password of basic authorisation, where a colon
      // would split it, and as a header value, where control characters break the line.
      if (code.empty()) throw UsageError("--access-code needs a non-empty code");
      for (unsigned char c : code)
        if (c < 0x21 || c == 0x7f || c == ':')
          throw UsageError(
              "--access-code: the code may not hold spaces, colons or control characters");
      options.accessCodes.push_back(code);
    } else if (name == "--open") {
      noValue();
      options.open = true;
    } else if (name == "--encoding") {
      std::string enc = value();
      if (enc == "utf-8" || enc == "UTF-8" || enc == "utf8")
        options.encoding = TextEncoding::Utf8;
      else if (enc == "windows-1257" || enc == "cp1257" || enc == "WINDOWS-1257")
        options.encoding = TextEncoding::Windows1257;
      else
        throw UsageError("--encoding must be utf-8 or windows-1257, not \"" + enc + "\"");
    } else if (name == "--throttle") {
      options.throttle = parseThrottle(value());
    } else if (name == "--help" || name == "-h") {
      noValue();
      options.help = true;
    } else if (name == "--version") {
      noValue();
      options.version = true;
    } else {
      throw UsageError("unknown argument \"" + args[i] + "\" (see --help)");
    }
  }
  if (options.accessCodes.empty()) options.accessCodes.emplace_back("wqwqw");
  if (options.pagesDir.empty()) options.pagesDir = defaultPagesDir();
  if (options.cacheDir.empty()) {
    options.cacheDir = defaultCacheDir(envOrEmpty("XDG_CACHE_HOME"), envOrEmpty("HOME"));
    if (options.cacheDir.empty())
      throw UsageError("no cache folder: HOME is not set, give --cache DIR");
  }
  return options;
}

std::string serverVersion() {
  return std::string("talking-reader-server ") + TR_SERVER_VERSION;
}

std::string serverUsage() {
  return R"(Usage: talking-reader-server [OPTION]...
Serves pages as text and as Estonian speech (MP3) to the talking reader, and where each
sentence of the speech lies (a JSON sentence map, w=2):
GET /cgi-bin/tx.cgi?s=RATE&v=VOICE&q=PAGE&ID=NUMBER[&w=1|&w=2]

Options:
  --bind ADDR          address to listen on (default 127.0.0.1)
  --port N             port to listen on (default 8080; 0 picks a free port)
  --port-file FILE     after binding, write the port number and a newline to FILE
  --pages DIR          folder of page files 0.txt, 01.txt, ... (default: the sample pages)
  --cache DIR          folder for synthesised speech
                       (default $XDG_CACHE_HOME/talking-reader-server or
                       ~/.cache/talking-reader-server)
  --access-code CODE   accept this access code; may be given several times
                       (default wqwqw)
  --open               accept every request without an access code
  --encoding ENC       text answers in utf-8 (default) or windows-1257
  --throttle RATE      send every answer body at RATE bytes a second at most, as over a
                       slow link (for tests and benchmarks; 0, the default: no limit)
  --help               show this help and exit
  --version            show the version and exit

Each request is logged on standard error: method, page, w, status, bytes, milliseconds.
)";
}
