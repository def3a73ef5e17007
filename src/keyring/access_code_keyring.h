// Remembers the user's access code in the desktop's keyring (the Secret Service, through
// libsecret), one code per text server. The code never goes to a file of ours.
//
// The keyring never opens a window for the reader: nothing is ever unlocked, and no
// collection is ever created. A code is stored only in a default collection that exists
// and is unlocked; a code kept in a locked collection is not found. Any prompt the keyring
// still asks for is refused unseen, so no dialog can take the keyboard from the reader.
//
// Keyring calls are D-Bus calls that can block for as long as the keyring takes (a hung
// keyring), so every call runs on one worker thread of this object, in the order asked.
// Lookup waits for its answer at most a given time; Remember returns at once with a future
// answer. Without a session bus nothing is asked of anyone: that is said once, plainly,
// through the warning callback, as is a missing keyring; each other failed call is
// reported there too. The public methods are for one thread (the GUI thread); the warning
// callback runs on the worker thread, or on the constructing thread for the missing bus.
#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/session_bus.h"

class AccessCodeKeyring {
 public:
  // `server` names the text server the code belongs to, as "HOST:PORT". `warn` receives
  // one line for each failed keyring call; empty: standard error. `sessionBus` is the
  // bus's address; nothing: there is none, and the keyring is never asked.
  explicit AccessCodeKeyring(
      std::string server, std::function<void(const std::string&)> warn = {},
      const std::optional<std::string>& sessionBus = tr_base::SessionBusAddress());
  // Waits up to kExitWait for queued stores to finish, then abandons what is left.
  ~AccessCodeKeyring();
  AccessCodeKeyring(const AccessCodeKeyring&) = delete;
  AccessCodeKeyring& operator=(const AccessCodeKeyring&) = delete;

  static constexpr std::chrono::milliseconds kExitWait{2000};

  // The code remembered for this server; nothing when none is stored where it can be read
  // without unlocking, no keyring answers, or no answer came within `timeout`. Blocks the
  // calling thread at most `timeout`.
  std::optional<std::string> Lookup(std::chrono::milliseconds timeout);

  // Stores `code` for this server, replacing the one stored; an empty code forgets it.
  // Returns at once. The answer becomes true once the code is stored (or forgotten), and
  // false when it was not: no session bus or keyring, no default collection, a locked one,
  // a failed call, or the object destroyed first.
  std::shared_future<bool> Remember(const std::string& code);

  // Waits until every queued call has finished, at most `timeout`; true when they have.
  bool WaitIdle(std::chrono::milliseconds timeout);

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::thread worker_;
};
