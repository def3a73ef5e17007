// Runs a clean-up when a scope is left, on every way out, exceptions included: the one
// guard for what a scope must undo (a timer to stop, a flag to clear, a notifier to
// disarm). Header only; the clean-up must not throw.
#pragma once

#include <utility>

namespace tr_base {

template <typename CleanUp>
class ScopeExit {
 public:
  explicit ScopeExit(CleanUp cleanUp) : cleanUp_(std::move(cleanUp)) {}
  ~ScopeExit() { cleanUp_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  CleanUp cleanUp_;
};

template <typename CleanUp>
ScopeExit(CleanUp) -> ScopeExit<CleanUp>;

}  // namespace tr_base
