#include "reader/screen_reader_detection.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QTimer>
#include <atomic>

namespace {

// Each call's own time-out; the look as a whole has its bound besides.
constexpr int kCallTimeoutMs = 1000;

const QString kA11yService = QStringLiteral("org.a11y.Bus");
const QString kA11yPath = QStringLiteral("/org/a11y/bus");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kAccessible = QStringLiteral("org.a11y.atspi.Accessible");

QString UniqueName(const char* what) {
  static std::atomic<int> count{0};
  return QStringLiteral("talking-reader-%1-%2").arg(QLatin1String(what)).arg(++count);
}

// A call that never starts a service: one that is not running has nothing to tell.
QDBusMessage Call(const QString& service, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {}) {
  QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
  message.setArguments(arguments);
  message.setAutoStartService(false);
  return message;
}

// The value of a Properties.Get reply.
QVariant PropertyValue(const QDBusMessage& reply) {
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

}  // namespace

ScreenReaderDetection::ScreenReaderDetection(const std::optional<std::string>& sessionBus,
                                             std::chrono::milliseconds bound) {
  bound_.setSingleShot(true);
  QObject::connect(&bound_, &QTimer::timeout, &context_, [this] { Finish(Result::kNoAnswer); });
  bound_.start(bound);
  Start(sessionBus);
}

ScreenReaderDetection::~ScreenReaderDetection() {
  if (!a11yName_.isEmpty()) QDBusConnection::disconnectFromBus(a11yName_);
  if (!sessionName_.isEmpty()) QDBusConnection::disconnectFromBus(sessionName_);
}

void ScreenReaderDetection::Start(const std::optional<std::string>& sessionBus) {
  if (!sessionBus) {
    Finish(Result::kNoSessionBus);
    return;
  }
  sessionName_ = UniqueName("session");
  QDBusConnection session =
      QDBusConnection::connectToBus(QString::fromStdString(*sessionBus), sessionName_);
  if (!session.isConnected()) {
    Finish(Result::kNoSessionBus);
    return;
  }
  awaited_ = 2;

  const QDBusMessage enabled =
      Call(kA11yService, kA11yPath, kProperties, QStringLiteral("Get"),
           {QStringLiteral("org.a11y.Status"), QStringLiteral("ScreenReaderEnabled")});
  auto* watcher =
      new QDBusPendingCallWatcher(session.asyncCall(enabled, kCallTimeoutMs), &context_);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &context_,
                   [this](QDBusPendingCallWatcher* call) {
                     call->deleteLater();
                     if (PropertyValue(call->reply()).toBool()) {
                       Finish(Result::kRunning, QStringLiteral("ScreenReaderEnabled"));
                     } else {
                       Settle();
                     }
                   });

  const QDBusMessage address =
      Call(kA11yService, kA11yPath, kA11yService, QStringLiteral("GetAddress"));
  watcher = new QDBusPendingCallWatcher(session.asyncCall(address, kCallTimeoutMs), &context_);
  QObject::connect(
      watcher, &QDBusPendingCallWatcher::finished, &context_,
      [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
          Settle();  // no accessibility bus: no screen reader on it
          return;
        }
        ReadApplicationNames(reply.arguments().constFirst().toString());
      });
}

void ScreenReaderDetection::ReadApplicationNames(const QString& a11yAddress) {
  if (Done()) return;
  a11yName_ = UniqueName("a11y");
  QDBusConnection a11y = QDBusConnection::connectToBus(a11yAddress, a11yName_);
  if (!a11y.isConnected()) {
    Settle();
    return;
  }
  // The registry's root lists one (bus name, object path) per accessible application.
  const QDBusMessage children = Call(QStringLiteral("org.a11y.atspi.Registry"),
                                     QStringLiteral("/org/a11y/atspi/accessible/root"), kAccessible,
                                     QStringLiteral("GetChildren"));
  auto* watcher = new QDBusPendingCallWatcher(a11y.asyncCall(children, kCallTimeoutMs), &context_);
  QObject::connect(
      watcher, &QDBusPendingCallWatcher::finished, &context_,
      [this, a11y](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        if (Done()) return;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
          Settle();
          return;
        }
        QList<std::pair<QString, QDBusObjectPath>> applications;
        const auto list = reply.arguments().constFirst().value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
          QString service;
          QDBusObjectPath path;
          list.beginStructure();
          list >> service >> path;
          list.endStructure();
          applications.append({service, path});
        }
        list.endArray();
        // This answer is replaced by one answer per application.
        awaited_ += static_cast<int>(applications.size()) - 1;
        if (applications.isEmpty()) {
          ++awaited_;
          Settle();
          return;
        }
        for (const auto& [service, path] : applications) {
          const QDBusMessage name = Call(service, path.path(), kProperties, QStringLiteral("Get"),
                                         {kAccessible, QStringLiteral("Name")});
          auto* nameCall =
              new QDBusPendingCallWatcher(a11y.asyncCall(name, kCallTimeoutMs), &context_);
          QObject::connect(nameCall, &QDBusPendingCallWatcher::finished, &context_,
                           [this](QDBusPendingCallWatcher* answer) {
                             answer->deleteLater();
                             const QString name = PropertyValue(answer->reply()).toString();
                             if (name.compare(QLatin1String("orca"), Qt::CaseInsensitive) == 0) {
                               Finish(Result::kRunning, QStringLiteral("orca"));
                             } else {
                               Settle();
                             }
                           });
        }
      });
}

void ScreenReaderDetection::Settle() {
  if (--awaited_ <= 0) Finish(Result::kNone);
}

void ScreenReaderDetection::Finish(Result result, const QString& evidence) {
  if (Done()) return;
  result_ = result;
  evidence_ = evidence;
  bound_.stop();
}
