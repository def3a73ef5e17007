// Where the desktop's D-Bus session bus is, as D-Bus clients find it: the address in
// DBUS_SESSION_BUS_ADDRESS, else the per-user socket $XDG_RUNTIME_DIR/bus. Nothing else:
// a client library left to itself would start a bus of its own (dbus-launch) when there
// is none, and the reader only ever talks to a bus the desktop already runs.
// Header only, no state; any thread (it reads the environment).
#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace tr_base {

// The session bus's address, or nothing when the environment names none. An address is
// not a promise that a bus answers there.
inline std::optional<std::string> SessionBusAddress() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return std::string(address);
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime != '/') return std::nullopt;
  const std::string socket = std::string(runtime) + "/bus";
  struct stat st {};
  if (::stat(socket.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return std::nullopt;
  return "unix:path=" + socket;
}

}  // namespace tr_base
