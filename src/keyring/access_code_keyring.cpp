#include "keyring/access_code_keyring.h"

#include <libsecret/secret.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

namespace {

using Answer = std::promise<std::optional<std::string>>;
using Verdict = std::promise<bool>;

struct Job {
  enum class Kind { Lookup, Store, Forget };
  Kind kind = Kind::Lookup;
  std::string code;                  // Store
  std::shared_ptr<Answer> answer;    // Lookup
  std::shared_ptr<Verdict> verdict;  // Store, Forget
};

const SecretSchema* Schema() {
  static const SecretSchema schema = [] {
    SecretSchema s{};
    s.name = "talking-reader.AccessCode";
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0].name = "server";
    s.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
    return s;
  }();
  return &schema;
}

// A Secret Service proxy that refuses every prompt without showing it. libsecret performs
// a prompt (which makes the keyring open its window) whenever the keyring answers a call
// with one; through this proxy such a call fails instead.
constexpr const char* kPromptRefused = "the keyring wanted to open a window; that was refused";

GVariant* RefusePromptSync(SecretService*, SecretPrompt*, GCancellable*, const GVariantType*,
                           GError** error) {
  g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, kPromptRefused);
  return nullptr;
}

void RefusePromptAsync(SecretService* self, SecretPrompt*, const GVariantType*,
                       GCancellable* cancellable, GAsyncReadyCallback callback, gpointer data) {
  GTask* task = g_task_new(self, cancellable, callback, data);
  g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "%s", kPromptRefused);
  g_object_unref(task);
}

GVariant* RefusePromptFinish(SecretService*, GAsyncResult* result, GError** error) {
  return static_cast<GVariant*>(g_task_propagate_pointer(G_TASK(result), error));
}

void NoPromptClassInit(gpointer klass, gpointer) {
  auto* service = static_cast<SecretServiceClass*>(klass);
  service->prompt_sync = RefusePromptSync;
  service->prompt_async = RefusePromptAsync;
  service->prompt_finish = RefusePromptFinish;
}

GType NoPromptServiceType() {
  static const GType type = g_type_register_static_simple(
      SECRET_TYPE_SERVICE, "TalkingReaderNoPromptService", sizeof(SecretServiceClass),
      NoPromptClassInit, sizeof(SecretService), nullptr, static_cast<GTypeFlags>(0));
  return type;
}

// Why a call did not do what it was asked, beyond a plain failure.
enum class Refusal {
  kNone,
  kNoBus,        // no session bus answers
  kNoKeyring,    // no Secret Service on the bus
  kNoDefault,    // no default collection: making one would open the keyring's window
  kLocked,       // the default collection is locked: unlocking it would too
  kLockedFound,  // the code is there, but in a locked collection
};

}  // namespace

struct AccessCodeKeyring::Shared {
  std::string server;
  std::function<void(const std::string&)> warn;
  bool noBus = false;

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> jobs;
  bool busy = false;                      // a job runs on the worker
  bool stopping = false;                  // the owner is gone: run nothing more
  bool finished = false;                  // the worker has left its loop
  bool toldNoKeyring = false;             // said once per run, not once per call
  GCancellable* running = nullptr;        // the running job's
  std::shared_ptr<Answer> runningAnswer;  // the running lookup's

  void Execute(const Job& job, GCancellable* cancellable);
  void Run();
};

namespace {

bool Store(const Job& job, SecretService* service, GHashTable* attributes,
           const std::string& server, GCancellable* cancellable, Refusal& refusal, GError** error) {
  // Only where no prompt is needed: the default collection, existing and unlocked. The
  // keyring would make a missing one, or unlock a locked one, through its own window.
  SecretCollection* collection = secret_collection_for_alias_sync(
      service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, cancellable, error);
  if (collection == nullptr) {
    if (*error == nullptr) refusal = Refusal::kNoDefault;
    return false;
  }
  bool ok = false;
  if (secret_collection_get_locked(collection)) {
    refusal = Refusal::kLocked;
  } else {
    SecretValue* value =
        secret_value_new(job.code.data(), static_cast<gssize>(job.code.size()), "text/plain");
    const std::string label = "Talking Reader access code for " + server;
    SecretItem* item =
        secret_item_create_sync(collection, Schema(), attributes, label.c_str(), value,
                                SECRET_ITEM_CREATE_REPLACE, cancellable, error);
    ok = item != nullptr;
    if (item != nullptr) g_object_unref(item);
    secret_value_unref(value);
  }
  g_object_unref(collection);
  return ok;
}

// Runs one keyring call; returns false with `error` or `refusal` set when it failed.
bool Call(const Job& job, const std::string& server, GCancellable* cancellable,
          std::optional<std::string>& found, Refusal& refusal, GError** error) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, error);
  if (bus == nullptr) {
    if (!g_error_matches(*error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) refusal = Refusal::kNoBus;
    return false;
  }
  // GLib would end the whole program when the session bus goes away; the keyring is an
  // extra, so losing it must not end the reader.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  g_object_unref(bus);
  // The Secret Service itself, never a file: a keyring daemon owns the secret.
  SecretService* service = secret_service_open_sync(
      NoPromptServiceType(), nullptr, SECRET_SERVICE_OPEN_SESSION, cancellable, error);
  if (service == nullptr) {
    if (g_error_matches(*error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(*error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER)) {
      refusal = Refusal::kNoKeyring;
    }
    return false;
  }
  GHashTable* attributes = secret_attributes_build(Schema(), "server", server.c_str(), nullptr);
  bool ok = false;
  switch (job.kind) {
    case Job::Kind::Lookup: {
      // Without SECRET_SEARCH_UNLOCK: an item in a locked collection is found, but its
      // secret is not loaded, and nothing asks to unlock it.
      GList* items = secret_service_search_sync(service, Schema(), attributes,
                                                SECRET_SEARCH_LOAD_SECRETS, cancellable, error);
      ok = *error == nullptr;
      if (items != nullptr) {
        SecretValue* value = secret_item_get_secret(static_cast<SecretItem*>(items->data));
        if (value != nullptr) {
          gsize length = 0;
          const gchar* text = secret_value_get(value, &length);
          found = std::string(text, length);
          secret_value_unref(value);
        } else {
          refusal = Refusal::kLockedFound;
        }
      }
      g_list_free_full(items, g_object_unref);
      break;
    }
    case Job::Kind::Store:
      ok = Store(job, service, attributes, server, cancellable, refusal, error);
      break;
    case Job::Kind::Forget:
      // Removes the matching items of unlocked collections; clearing nothing is no error.
      secret_service_clear_sync(service, Schema(), attributes, cancellable, error);
      ok = *error == nullptr;
      break;
  }
  g_hash_table_unref(attributes);
  g_object_unref(service);
  return ok;
}

}  // namespace

void AccessCodeKeyring::Shared::Execute(const Job& job, GCancellable* cancellable) {
  std::optional<std::string> found;
  Refusal refusal = Refusal::kNone;
  GError* error = nullptr;
  const bool ok = Call(job, server, cancellable, found, refusal, &error);
  if (job.answer) job.answer->set_value(ok ? found : std::nullopt);
  if (job.verdict) job.verdict->set_value(ok);
  const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  const std::string why = error != nullptr ? error->message : "unknown error";
  g_clear_error(&error);
  // A cancelled call was given up by Lookup or at exit, which say so themselves.
  if (cancelled) return;
  switch (refusal) {
    case Refusal::kNoBus:
    case Refusal::kNoKeyring: {
      bool told = false;
      {
        std::lock_guard lock(mutex);
        told = toldNoKeyring;
        toldNoKeyring = true;
      }
      if (!told) {
        warn(refusal == Refusal::kNoBus
                 ? "no session bus answers, so access codes will not be remembered"
                 : "no keyring runs on the session bus, so access codes will not be remembered");
      }
      return;
    }
    case Refusal::kNoDefault:
      warn(
          "the keyring has no default collection; the access code is not stored (making one "
          "would open the keyring's window)");
      return;
    case Refusal::kLocked:
      warn(
          "the keyring's default collection is locked; the access code is not stored "
          "(unlocking it would open the keyring's window)");
      return;
    case Refusal::kLockedFound:
      warn(
          "the access code is in a locked keyring, which is not unlocked without asking; the "
          "built-in access code is used");
      return;
    case Refusal::kNone:
      break;
  }
  if (ok) return;
  switch (job.kind) {
    case Job::Kind::Lookup:
      warn("the keyring cannot be read (" + why + "); the built-in access code is used");
      break;
    case Job::Kind::Store:
      warn("the access code cannot be stored in the keyring (" + why + ")");
      break;
    case Job::Kind::Forget:
      warn("the stored access code cannot be removed from the keyring (" + why + ")");
      break;
  }
}

void AccessCodeKeyring::Shared::Run() {
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait(lock, [this] { return stopping || !jobs.empty(); });
    if (stopping) break;
    Job job = std::move(jobs.front());
    jobs.pop_front();
    GCancellable* cancellable = g_cancellable_new();
    running = cancellable;
    runningAnswer = job.answer;
    busy = true;
    lock.unlock();
    Execute(job, cancellable);
    lock.lock();
    running = nullptr;
    runningAnswer.reset();
    busy = false;
    g_object_unref(cancellable);
    changed.notify_all();
  }
  finished = true;
  changed.notify_all();
}

AccessCodeKeyring::AccessCodeKeyring(std::string server,
                                     std::function<void(const std::string&)> warn,
                                     const std::optional<std::string>& sessionBus)
    : shared_(std::make_shared<Shared>()) {
  shared_->server = std::move(server);
  shared_->warn = warn ? std::move(warn) : [](const std::string& line) {
    std::fprintf(stderr, "talking-reader: %s\n", line.c_str());
  };
  if (!sessionBus) {
    // GLib would try to start a bus of its own, and its failure reads like a crash.
    shared_->noBus = true;
    shared_->warn("there is no session bus, so access codes will not be remembered");
    return;
  }
  // The worker holds the shared state, so it may outlive this object if a call hangs.
  worker_ = std::thread([shared = shared_] { shared->Run(); });
}

AccessCodeKeyring::~AccessCodeKeyring() {
  if (shared_->noBus) return;
  const bool idle = WaitIdle(kExitWait);
  bool finished = false;
  {
    std::unique_lock lock(shared_->mutex);
    shared_->stopping = true;
    for (const Job& job : shared_->jobs) {
      if (job.answer) job.answer->set_value(std::nullopt);
      if (job.verdict) job.verdict->set_value(false);
    }
    shared_->jobs.clear();
    if (shared_->running != nullptr) g_cancellable_cancel(shared_->running);
    shared_->changed.notify_all();
    finished = shared_->changed.wait_for(lock, std::chrono::milliseconds(500),
                                         [this] { return shared_->finished; });
  }
  if (!idle) shared_->warn("the keyring did not answer; the access code may not be stored");
  if (finished) {
    worker_.join();
  } else {
    worker_.detach();
  }
}

std::optional<std::string> AccessCodeKeyring::Lookup(std::chrono::milliseconds timeout) {
  if (shared_->noBus) return std::nullopt;
  auto answer = std::make_shared<Answer>();
  std::future<std::optional<std::string>> result = answer->get_future();
  {
    std::lock_guard lock(shared_->mutex);
    shared_->jobs.push_back(Job{Job::Kind::Lookup, {}, answer, {}});
    shared_->changed.notify_all();
  }
  if (result.wait_for(timeout) == std::future_status::ready) return result.get();

  // Too slow: give this lookup up so that later stores do not wait behind it.
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->runningAnswer == answer) {
      g_cancellable_cancel(shared_->running);
    } else {
      std::erase_if(shared_->jobs, [&answer](const Job& job) { return job.answer == answer; });
    }
  }
  shared_->warn("the keyring did not answer within " + std::to_string(timeout.count()) +
                " ms; the built-in access code is used");
  return std::nullopt;
}

std::shared_future<bool> AccessCodeKeyring::Remember(const std::string& code) {
  auto verdict = std::make_shared<Verdict>();
  std::shared_future<bool> result = verdict->get_future().share();
  if (shared_->noBus) {
    verdict->set_value(false);
    return result;
  }
  std::lock_guard lock(shared_->mutex);
  shared_->jobs.push_back(
      Job{code.empty() ? Job::Kind::Forget : Job::Kind::Store, code, {}, verdict});
  shared_->changed.notify_all();
  return result;
}

bool AccessCodeKeyring::WaitIdle(std::chrono::milliseconds timeout) {
  if (shared_->noBus) return true;
  std::unique_lock lock(shared_->mutex);
  return shared_->changed.wait_for(lock, timeout,
                                   [this] { return shared_->jobs.empty() && !shared_->busy; });
}
