// TBackgroundHttpClient: a THttpClient of its own, on a worker thread of its own, for a
// download that goes on while the GUI thread does other things (the page's speech
// arriving while the user pauses, skips, leaves or hears a prompt). The GUI thread is
// never inside the download's waits, so nothing it does waits for the download, and the
// download never waits for a nested loop of the GUI thread to return.
//
// One request at a time: Start while a request runs cancels that one, and it has ended
// (its connection closed, its file no longer written) before the new one connects. The
// body goes to a file, exactly as THttpClient's file mode writes it, within its limits
// and time-outs.
//
// Threading. Start, Cancel, Abort and the getters are called on the GUI thread (the
// thread that created the object). OnPacketRecvd and OnDone run on that thread, through
// its event queue, so only when its event loop runs; they are called for the current
// request only: nothing of a cancelled request reaches them. Request::aboutToSend runs on
// the worker thread and must use nothing but what it captured.
#pragma once

#include <QObject>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class QThread;
class THttpClient;

class TBackgroundHttpClient : public QObject {
 public:
  struct Request {
    std::string host;
    int32_t port = 0;
    int32_t timeOut = 0;  // ms, as THttpClient's TimeOut
    std::string userId;   // basic authorisation when both are non-empty
    std::string password;
    std::string url;
    std::string headerFile;  // stored in the client's Header (no header file is written)
    std::string bodyFile;    // the body goes here
    // Called on the worker thread for every pass the client sends (redirects included),
    // after the client has built its own header lines; may add lines of its own.
    std::function<void(THttpClient& client)> aboutToSend;
  };

  explicit TBackgroundHttpClient(QObject* parent = nullptr);
  // Cancels a running request and ends the worker; returns once it has.
  ~TBackgroundHttpClient() override;
  TBackgroundHttpClient(const TBackgroundHttpClient&) = delete;
  TBackgroundHttpClient& operator=(const TBackgroundHttpClient&) = delete;

  // Starts `request` and returns at once; a running request is cancelled first.
  void Start(Request request);
  // Ends the current request silently: OnDone is not called for it.
  void Cancel();
  // Ends the current request as a failure, which OnDone reports ("Socket capture
  // aborted" or whichever wait it ended).
  void Abort();
  // The most bytes a body may have (THttpClient's MaxFileBody), taken by the next Start;
  // a test may lower it.
  uint64_t MaxFileBody = 256ull << 20;

  // A request was started and its OnDone has not been called, nor was it cancelled.
  bool Running() const { return running_; }
  // Body bytes of the current request written to its file so far.
  int64_t ReceivedCount() const { return received_.load(std::memory_order_acquire); }

  // More of the current request's body has been written (calls are coalesced).
  std::function<void()> OnPacketRecvd;
  // The current request has ended: `ok`, or failed with the client's error text.
  std::function<void(bool ok, const std::string& error)> OnDone;

  bool event(QEvent* event) override;

 private:
  struct Job {
    uint64_t serial = 0;
    Request request;
    uint64_t maxFileBody = 0;
  };
  class Relay;

  void Run();
  // Asks the worker to abort the request it runs when that one is older than `serial`.
  void AbortBefore(uint64_t serial);

  // GUI thread.
  uint64_t current_ = 0;  // serial of the request OnPacketRecvd and OnDone are for
  bool running_ = false;

  // Shared with the worker, under mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<Job> pending_;
  uint64_t serial_ = 0;
  bool quit_ = false;
  bool finished_ = false;  // the worker is done with this object
  std::condition_variable finishedCv_;
  Relay* relay_ = nullptr;  // lives on the worker thread while it runs

  std::atomic<int64_t> received_{0};
  std::atomic<bool> progressPosted_{false};
  QThread* worker_ = nullptr;
};
