// Waiting on what another process does, where no event crosses the process boundary: a
// condition looked at again every few milliseconds until it holds or the deadline passes;
// and counting what a log says.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

// Looks at `done` every `everyMs` until it holds; false once `ms` have passed.
inline bool WaitFor(const std::function<bool()>& done, int ms, int everyMs = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
  }
  return true;
}

// How many times `what` stands in `log`.
inline int Count(const std::string& log, const std::string& what) {
  int n = 0;
  for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
  return n;
}
