// Looking for a screen reader at start, on a session bus of the test's own with the real
// accessibility bus (at-spi2-core) on it: nothing there, the desktop's flag, and an
// application named orca; and no session bus at all.
#include "reader/screen_reader_detection.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>

#include "private_session_bus.h"

namespace {

using Result = ScreenReaderDetection::Result;

// What a look on `bus` finds, and what showed it ("" for no screen reader).
std::pair<Result, QString> Look(const std::optional<std::string>& bus) {
  ScreenReaderDetection detection(bus);
  QDeadlineTimer deadline(10000);
  while (!detection.Done() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
  }
  return {detection.result(), detection.Evidence()};
}

Result Detect(const std::optional<std::string>& bus) {
  return Look(bus).first;
}

// An accessible application as a toolkit's bridge shows it: its root object answers
// Properties.Get of the Accessible interface's Name.
class FakeApplication : public QDBusVirtualObject {
 public:
  explicit FakeApplication(QString name) : name_(std::move(name)) {}
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QLatin1String("Get")) return false;
    connection.send(message.createReply(QVariant::fromValue(QDBusVariant(name_))));
    return true;
  }

 private:
  QString name_;
};

TEST(ScreenReaderDetectionTest, WithoutASessionBusThereIsNone) {
  QTemporaryDir dir;
  EXPECT_EQ(Result::kNoSessionBus, Detect(std::nullopt));
  EXPECT_EQ(Result::kNoSessionBus, Detect("unix:path=" + dir.path().toStdString() + "/no-bus"));
}

TEST(ScreenReaderDetectionTest, FindsOrcaByNameOrByTheDesktopsFlagAndNothingElse) {
  QTemporaryDir dir;
  PrivateSessionBus bus(dir.path());
  if (!bus.problem().isEmpty()) GTEST_SKIP() << "no session bus: " << bus.problem().toStdString();
  if (!QFile::exists(dir.path() + "/bus-services/org.a11y.Bus.service"))
    GTEST_SKIP() << "needs at-spi2-core";
  const std::string address = bus.address().toStdString();
  QDBusConnection session = QDBusConnection::connectToBus(bus.address(), "test-session");
  ASSERT_TRUE(session.isConnected());
  const auto a11yOwned = [&session] {
    return session.interface()->isServiceRegistered(QStringLiteral("org.a11y.Bus")).value();
  };

  // No accessibility bus runs, and looking does not start one.
  EXPECT_EQ(Result::kNone, Detect(address));
  EXPECT_FALSE(a11yOwned());

  // The accessibility bus and its registry run, with no application on them.
  const QDBusMessage reply = session.call(QDBusMessage::createMethodCall(
      "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress"));
  ASSERT_EQ(QDBusMessage::ReplyMessage, reply.type()) << reply.errorMessage().toStdString();
  QDBusConnection a11y =
      QDBusConnection::connectToBus(reply.arguments().constFirst().toString(), "test-a11y");
  ASSERT_TRUE(a11y.isConnected());
  const QDBusMessage registry = a11y.call(
      QDBusMessage::createMethodCall("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                                     "org.a11y.atspi.Accessible", "GetChildren"));
  ASSERT_EQ(QDBusMessage::ReplyMessage, registry.type()) << registry.errorMessage().toStdString();
  EXPECT_EQ(Result::kNone, Detect(address));

  // Applications register with the registry; one of them is named orca.
  std::vector<std::unique_ptr<FakeApplication>> applications;
  const QString a11yAddress = reply.arguments().constFirst().toString();
  for (const char* name : {"gedit", "orca"}) {
    const QString connection = QStringLiteral("fake-%1").arg(QLatin1String(name));
    QDBusConnection app = QDBusConnection::connectToBus(a11yAddress, connection);
    applications.push_back(std::make_unique<FakeApplication>(QLatin1String(name)));
    ASSERT_TRUE(
        app.registerVirtualObject("/org/a11y/atspi/accessible/root", applications.back().get()));
    QDBusMessage embed =
        QDBusMessage::createMethodCall("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                                       "org.a11y.atspi.Socket", "Embed");
    QDBusArgument plug;
    plug.beginStructure();
    plug << app.baseService() << QDBusObjectPath("/org/a11y/atspi/accessible/root");
    plug.endStructure();
    embed << QVariant::fromValue(plug);
    const QDBusMessage embedded = app.call(embed);
    ASSERT_EQ(QDBusMessage::ReplyMessage, embedded.type()) << embedded.errorMessage().toStdString();
    if (std::string(name) == "gedit") {
      EXPECT_EQ(Result::kNone, Detect(address));
    }
  }
  EXPECT_EQ(std::make_pair(Result::kRunning, QStringLiteral("orca")), Look(address));
  QDBusConnection::disconnectFromBus("fake-orca");

  // The desktop started its screen reader and said so.
  QDBusMessage set = QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus",
                                                    "org.freedesktop.DBus.Properties", "Set");
  set << QStringLiteral("org.a11y.Status") << QStringLiteral("ScreenReaderEnabled")
      << QVariant::fromValue(QDBusVariant(true));
  ASSERT_EQ(QDBusMessage::ReplyMessage, session.call(set).type());
  EXPECT_EQ(std::make_pair(Result::kRunning, QStringLiteral("ScreenReaderEnabled")), Look(address));
}

}  // namespace
