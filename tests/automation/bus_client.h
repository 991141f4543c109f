#pragma once
// Test clients of the automation server: each TBusClient is a bus connection
// of its own, as a separate program's would be.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <QVariant>
#include <functional>
#include <vector>

#include "automation/bus_names.h"

namespace qorvel::test {

// Runs the main thread's events until aDone or the time-out; true when done.
inline bool WaitFor(const std::function<bool()>& aDone, int aMilliseconds = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!aDone()) {
    if (timer.elapsed() > aMilliseconds) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(1);
  }
  return true;
}

// The arguments of Submit and SubmitWithId (DA, Msg, Binary, MCLs, PID, NT,
// RPI, VP), in the types the interface declares.
inline QVariantList SubmitArgs(const QString& aDA, const QByteArray& aMsg, bool aBinary = false,
                               short aMCLs = 255, short aNT = 0, double aVP = 0) {
  return {aDA,
          aMsg,
          aBinary,
          QVariant::fromValue<short>(aMCLs),
          QVariant::fromValue<short>(0),
          QVariant::fromValue<short>(aNT),
          QVariant::fromValue<short>(0),
          aVP};
}

// Defined with its moc in bus_server_test.cpp.
class TSignalRecorder;

class TBusClient {
 public:
  explicit TBusClient(const QString& aName)
      : name_(aName), bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, aName)) {}
  ~TBusClient() { Leave(); }

  QDBusConnection& Bus() { return bus_; }
  QString UniqueName() const { return bus_.baseService(); }
  void Leave() {
    if (left_) return;
    left_ = true;
    // The connection closes with its last handle.
    bus_ = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name_);
  }

  QDBusMessage Call(const QString& aPath, const QString& aInterface, const QString& aMember,
                    const QVariantList& aArgs = {}) {
    QDBusMessage m = QDBusMessage::createMethodCall(Destination(), aPath, aInterface, aMember);
    m.setArguments(aArgs);
    return bus_.call(m, QDBus::Block, 10000);
  }
  QDBusPendingCall AsyncCall(const QString& aPath, const QString& aInterface,
                             const QString& aMember, const QVariantList& aArgs = {}) {
    QDBusMessage m = QDBusMessage::createMethodCall(Destination(), aPath, aInterface, aMember);
    m.setArguments(aArgs);
    return bus_.asyncCall(m, 30000);
  }
  // The new object's path, or empty. With aPinned, later calls go to the
  // instance that made the object, as a robust client's do, rather than to
  // whichever holds the name by then.
  QString Create(bool aPinned = false) {
    server_.clear();
    QDBusMessage r = Call(QLatin1String(kFactoryPath), QLatin1String(kFactoryInterface),
                          QStringLiteral("CreateInstance"));
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty()) return {};
    if (aPinned) server_ = r.service();
    return r.arguments().at(0).value<QDBusObjectPath>().path();
  }
  QDBusMessage Object(const QString& aPath, const QString& aMember,
                      const QVariantList& aArgs = {}) {
    return Call(aPath, QLatin1String(kObjectInterface), aMember, aArgs);
  }
  void Listen(const QString& aPath, QObject* aRecorder) {
    for (const char* name : {"OnDelivered", "OnActiveChanged", "OnDeliveredNotification"}) {
      bus_.connect(QString(), aPath, QLatin1String(kEventsInterface), QLatin1String(name),
                   aRecorder, SLOT(Record(QDBusMessage)));
    }
  }

 private:
  QString Destination() const {
    return server_.isEmpty() ? QLatin1String(kBusServiceName) : server_;
  }

  QString name_;
  QDBusConnection bus_;
  QString server_;
  bool left_ = false;
};

}  // namespace qorvel::test
