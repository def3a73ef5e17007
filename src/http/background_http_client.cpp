#include "http/background_http_client.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <new>

#include "http/http_client.h"
#include "http/socket_library.h"

namespace {

QEvent::Type ProgressType() {
  static const int type = QEvent::registerEventType();
  return static_cast<QEvent::Type>(type);
}
QEvent::Type DoneType() {
  static const int type = QEvent::registerEventType();
  return static_cast<QEvent::Type>(type);
}
QEvent::Type AbortType() {
  static const int type = QEvent::registerEventType();
  return static_cast<QEvent::Type>(type);
}

// Worker to GUI: more of request `serial` has arrived, or it has ended.
struct ProgressEvent : QEvent {
  explicit ProgressEvent(uint64_t serial) : QEvent(ProgressType()), serial(serial) {}
  uint64_t serial;
};
struct DoneEvent : QEvent {
  DoneEvent(uint64_t serial, bool ok, std::string error)
      : QEvent(DoneType()), serial(serial), ok(ok), error(std::move(error)) {}
  uint64_t serial;
  bool ok;
  std::string error;
};
// GUI to worker: abort the running request if it is older than `before`.
struct AbortEvent : QEvent {
  explicit AbortEvent(uint64_t before) : QEvent(AbortType()), before(before) {}
  uint64_t before;
};

}  // namespace

// Lives on the worker thread: aborts the worker's request from inside its waits, which
// run the worker thread's events.
class TBackgroundHttpClient::Relay : public QObject {
 public:
  explicit Relay(THttpClient& client) : client_(client) {}
  uint64_t running = 0;  // serial of the request the worker runs; 0 between requests

  bool event(QEvent* e) override {
    if (e->type() != AbortType()) return QObject::event(e);
    if (running != 0 && running < static_cast<AbortEvent*>(e)->before) client_.Abort();
    return true;
  }

 private:
  THttpClient& client_;
};

TBackgroundHttpClient::TBackgroundHttpClient(QObject* parent) : QObject(parent) {
  worker_ = QThread::create([this] { Run(); });
  worker_->setObjectName(QStringLiteral("background-http"));
  worker_->start();
}

TBackgroundHttpClient::~TBackgroundHttpClient() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
    pending_.reset();
    try {
      if (relay_ != nullptr) QCoreApplication::postEvent(relay_, new AbortEvent(++serial_));
    } catch (const std::bad_alloc&) {
      // No memory for the abort: the running request ends by its own time-out.
    }
  }
  wake_.notify_one();
  {
    // The worker's last touch of this object, seen through this object's own mutex (a
    // thread sanitizer cannot see through QThread::wait).
    std::unique_lock<std::mutex> lock(mutex_);
    finishedCv_.wait(lock, [this] { return finished_; });
  }
  worker_->wait();
  delete worker_;
}

void TBackgroundHttpClient::Start(Request request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current_ = ++serial_;
    pending_ = Job{current_, std::move(request), MaxFileBody};
    if (relay_ != nullptr) QCoreApplication::postEvent(relay_, new AbortEvent(current_));
  }
  received_.store(0, std::memory_order_release);
  running_ = true;
  wake_.notify_one();
}

void TBackgroundHttpClient::Cancel() {
  running_ = false;
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.reset();
  current_ = ++serial_;  // nothing of the cancelled request is delivered
  if (relay_ != nullptr) QCoreApplication::postEvent(relay_, new AbortEvent(current_));
}

void TBackgroundHttpClient::Abort() {
  if (!running_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_) {
    // Not begun yet: it ends at once, as a cancel of its connection would end it.
    pending_.reset();
    QCoreApplication::postEvent(this, new DoneEvent(current_, false, "Connection Canceled"));
    return;
  }
  if (relay_ != nullptr) QCoreApplication::postEvent(relay_, new AbortEvent(current_ + 1));
}

bool TBackgroundHttpClient::event(QEvent* e) {
  if (e->type() == ProgressType()) {
    progressPosted_.store(false, std::memory_order_release);
    if (running_ && static_cast<ProgressEvent*>(e)->serial == current_ && OnPacketRecvd) {
      OnPacketRecvd();
    }
    return true;
  }
  if (e->type() == DoneType()) {
    auto* done = static_cast<DoneEvent*>(e);
    if (!running_ || done->serial != current_) return true;
    running_ = false;
    if (OnDone) OnDone(done->ok, done->error);
    return true;
  }
  return QObject::event(e);
}

void TBackgroundHttpClient::Run() {
  // A socket library of its own: the process's one counts the GUI thread's transports.
  tr_http::TSocketLibrary library;
  THttpClient client(nullptr, &library);
  Relay relay(client);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    relay_ = &relay;
  }
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return quit_ || pending_.has_value(); });
      if (quit_) break;
      job = std::move(*pending_);
      pending_.reset();
    }
    relay.running = job.serial;
    received_.store(0, std::memory_order_release);
    const Request& r = job.request;
    client.Host = r.host;
    client.Port = r.port;
    client.TimeOut = r.timeOut;
    client.HeaderInfo.UserId = r.userId;
    client.HeaderInfo.Password = r.password;
    client.InputFileMode = true;
    client.Header = r.headerFile;
    client.Body = r.bodyFile;
    client.MaxFileBody = job.maxFileBody;
    client.OnAboutToSend = r.aboutToSend;
    client.OnPacketRecvd = [this, serial = job.serial](TSocketTransport& transport) {
      received_.store(transport.ReceivedCount(), std::memory_order_release);
      if (!progressPosted_.exchange(true, std::memory_order_acq_rel)) {
        QCoreApplication::postEvent(this, new ProgressEvent(serial));
      }
    };
    bool ok = true;
    std::string error;
    try {
      client.Get(r.url);
    } catch (const std::exception& e) {
      ok = false;
      error = e.what();
    }
    relay.running = 0;
    QCoreApplication::postEvent(this, new DoneEvent(job.serial, ok, std::move(error)));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  relay_ = nullptr;
  finished_ = true;
  finishedCv_.notify_all();
}
