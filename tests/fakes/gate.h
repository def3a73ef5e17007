// A gate that holds a thread (a scripted server's answer, a scripted synthesis) until the
// test opens it. Its state lives on the heap and Hold() shares it, so a thread that still
// waits, or is still leaving, when the test's body ends never touches freed memory; the
// gate opens by itself when destroyed, so a failing test never leaves a thread waiting.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class Gate {
 public:
  Gate() : state_(std::make_shared<State>()) {}
  ~Gate() { Open(); }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  void Open() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->open = true;
    state_->changed.notify_all();
  }
  // Waits until the gate is open.
  void Wait() const { Hold()(); }
  // The waits that began while the gate was closed, so far.
  int Reached() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->reached;
  }
  // A wait that may outlive the gate (ScriptedResponse::hold = gate.Hold()).
  std::function<void()> Hold() const {
    return [state = state_] {
      std::unique_lock<std::mutex> lock(state->mutex);
      if (!state->open) ++state->reached;
      state->changed.wait(lock, [&state] { return state->open; });
    };
  }

 private:
  struct State {
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int reached = 0;
  };
  std::shared_ptr<State> state_;
};
