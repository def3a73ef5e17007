// Remembers the user's access code in the desktop's keyring (the Secret Service, through
// libsecret), one code per text server. The code never goes to a file of ours.
//
// Keyring calls are D-Bus calls that can block for as long as the keyring takes (a hung
// or locked keyring, an unlock prompt), so every call runs on one worker thread of this
// object, in the order asked. Lookup waits for its answer at most a given time; Remember
// returns at once. Where no keyring runs, Lookup finds nothing, Remember stores nothing,
// and each failed call is reported through the warning callback. The public methods are
// for one thread (the GUI thread); the warning callback runs on the worker thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

class AccessCodeKeyring {
 public:
  // `server` names the text server the code belongs to, as "HOST:PORT". `warn` receives
  // one line for each failed keyring call; empty: standard error.
  explicit AccessCodeKeyring(std::string server, std::function<void(const std::string&)> warn = {});
  // Waits up to kExitWait for queued stores to finish, then abandons what is left.
  ~AccessCodeKeyring();
  AccessCodeKeyring(const AccessCodeKeyring&) = delete;
  AccessCodeKeyring& operator=(const AccessCodeKeyring&) = delete;

  static constexpr std::chrono::milliseconds kExitWait{2000};

  // The code remembered for this server; nothing when none is stored, no keyring answers,
  // or no answer came within `timeout`. Blocks the calling thread at most `timeout`.
  std::optional<std::string> Lookup(std::chrono::milliseconds timeout);

  // Stores `code` for this server, replacing the one stored; an empty code forgets it.
  // Returns at once.
  void Remember(const std::string& code);

  // Waits until every queued call has finished, at most `timeout`; true when they have.
  bool WaitIdle(std::chrono::milliseconds timeout);

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
};
