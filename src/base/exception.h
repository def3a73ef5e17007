// The root of the program's exceptions: every failure a component raises carries a
// message text that the reader shows or speaks as it stands. Header only, no state.
#pragma once

#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};
