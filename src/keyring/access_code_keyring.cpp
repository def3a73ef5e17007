#include "keyring/access_code_keyring.h"

#include <libsecret/secret.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>

namespace {

using Answer = std::promise<std::optional<std::string>>;

struct Job {
  enum class Kind { Lookup, Store, Forget };
  Kind kind = Kind::Lookup;
  std::string code;                // Store
  std::shared_ptr<Answer> answer;  // Lookup
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

}  // namespace

struct AccessCodeKeyring::Shared {
  std::string server;
  std::function<void(const std::string&)> warn;

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Job> jobs;
  bool busy = false;                      // a job runs on the worker
  bool stopping = false;                  // the owner is gone: run nothing more
  bool finished = false;                  // the worker has left its loop
  GCancellable* running = nullptr;        // the running job's
  std::shared_ptr<Answer> runningAnswer;  // the running lookup's

  void Execute(const Job& job, GCancellable* cancellable);
  void Run();
};

namespace {

// Runs one keyring call; returns false with `error` set when it failed.
bool Call(const Job& job, const std::string& server, GCancellable* cancellable,
          std::optional<std::string>& found, GError** error) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, error);
  if (bus == nullptr) return false;
  // GLib would end the whole program when the session bus goes away; the keyring is an
  // extra, so losing it must not end the reader.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  g_object_unref(bus);
  // The Secret Service itself, never a file: a keyring daemon owns the secret.
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, cancellable, error);
  if (service == nullptr) return false;
  GHashTable* attributes = secret_attributes_build(Schema(), "server", server.c_str(), nullptr);
  bool ok = false;
  switch (job.kind) {
    case Job::Kind::Lookup: {
      SecretValue* value =
          secret_service_lookup_sync(service, Schema(), attributes, cancellable, error);
      ok = *error == nullptr;
      if (value != nullptr) {
        gsize length = 0;
        const gchar* text = secret_value_get(value, &length);
        found = std::string(text, length);
        secret_value_unref(value);
      }
      break;
    }
    case Job::Kind::Store: {
      SecretValue* value =
          secret_value_new(job.code.data(), static_cast<gssize>(job.code.size()), "text/plain");
      const std::string label = "Talking Reader access code for " + server;
      ok = secret_service_store_sync(service, Schema(), attributes, SECRET_COLLECTION_DEFAULT,
                                     label.c_str(), value, cancellable, error);
      secret_value_unref(value);
      break;
    }
    case Job::Kind::Forget:
      secret_service_clear_sync(service, Schema(), attributes, cancellable, error);
      // Clearing nothing is not an error: FALSE without an error means no item matched.
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
  GError* error = nullptr;
  const bool ok = Call(job, server, cancellable, found, &error);
  if (job.answer) job.answer->set_value(ok ? found : std::nullopt);
  if (ok) return;
  // A cancelled call was given up by Lookup or at exit, which say so themselves.
  if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    const std::string why = error != nullptr ? error->message : "unknown error";
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
  g_clear_error(&error);
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
                                     std::function<void(const std::string&)> warn)
    : shared_(std::make_shared<Shared>()) {
  shared_->server = std::move(server);
  shared_->warn = warn ? std::move(warn) : [](const std::string& line) {
    std::fprintf(stderr, "talking-reader: %s\n", line.c_str());
  };
  // The worker holds the shared state, so it may outlive this object if a call hangs.
  worker_ = std::thread([shared = shared_] { shared->Run(); });
}

AccessCodeKeyring::~AccessCodeKeyring() {
  const bool idle = WaitIdle(kExitWait);
  bool finished = false;
  {
    std::unique_lock lock(shared_->mutex);
    shared_->stopping = true;
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
  auto answer = std::make_shared<Answer>();
  std::future<std::optional<std::string>> result = answer->get_future();
  {
    std::lock_guard lock(shared_->mutex);
    shared_->jobs.push_back(Job{Job::Kind::Lookup, {}, answer});
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

void AccessCodeKeyring::Remember(const std::string& code) {
  std::lock_guard lock(shared_->mutex);
  shared_->jobs.push_back(Job{code.empty() ? Job::Kind::Forget : Job::Kind::Store, code, {}});
  shared_->changed.notify_all();
}

bool AccessCodeKeyring::WaitIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(shared_->mutex);
  return shared_->changed.wait_for(lock, timeout,
                                   [this] { return shared_->jobs.empty() && !shared_->busy; });
}
