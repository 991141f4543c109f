#include "automation/automation_server.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <utility>

#include "automation/bus_names.h"

namespace qorvel {

TAutomationServer::TAutomationServer(IAutoSupervisor& aSupervisor, QDBusConnection aBus,
                                     TOptions aOptions)
    : supervisor_(aSupervisor), bus_(std::move(aBus)), options_(std::move(aOptions)) {
  thread_.setObjectName(QStringLiteral("automation"));
}

TAutomationServer::~TAutomationServer() {
  Stop();
}

void TAutomationServer::Log(const std::string& aLine) const {
  if (options_.Log) options_.Log(aLine);
}

bool TAutomationServer::Start() {
  if (running_) return true;
  if (!bus_.isConnected()) {
    Log("Automation off: no session bus");
    return false;
  }
  server_ = new TAutoServer(supervisor_, bus_, options_.History);
  server_->moveToThread(&thread_);
  thread_.start();
  receiver_ = std::make_unique<QObject>();
  if (options_.OnLastRelease) {
    QObject::connect(
        server_, &TAutoServer::LastObjectReleased, receiver_.get(),
        [this] { LastObjectReleased(); }, Qt::QueuedConnection);
  }
  if (options_.HistoryEvents) {
    // Sending is safe from any thread; the news need not wait for the
    // server's.
    QObject::connect(options_.HistoryEvents, &THistoryEvents::StatusChanged, receiver_.get(),
                     [this](qint64 aId, const QString& aStatus) {
                       if (running_) server_->EmitStatusChanged(aId, aStatus);
                     });
  }
  // QtDBus gives a registered object helpers of its own, which must be born
  // on the object's thread.
  QString why;
  bool registered = false;
  QMetaObject::invokeMethod(
      server_, [&] { registered = server_->Register(&why); }, Qt::BlockingQueuedConnection);
  if (!registered) {
    Log("Automation off: " + why.toStdString());
    Stop();
    return false;
  }
  if (!bus_.registerService(QLatin1String(kBusServiceName))) {
    Log(std::string("Automation off: ") + kBusServiceName + " is served by another program");
    Stop();
    return false;
  }
  running_ = true;
  nameHeld_ = true;
  Log(std::string("Automation on: ") + kBusServiceName);
  return true;
}

void TAutomationServer::LastObjectReleased() {
  if (!server_) return;
  // A client that finds the name free starts a new instance, which can serve
  // it; one that holds the name while ending hands out objects that die under
  // their callers.
  if (running_ && nameHeld_) {
    bus_.unregisterService(QLatin1String(kBusServiceName));
    nameHeld_ = false;
  }
  // A CreateInstance that reached us before the name went is queued on the
  // server's thread ahead of this call: that client is still ours to serve.
  QMetaObject::invokeMethod(server_, [] {}, Qt::BlockingQueuedConnection);
  if (server_->ObjectCount() == 0) options_.OnLastRelease();
}

void TAutomationServer::Stop() {
  if (running_ && nameHeld_) bus_.unregisterService(QLatin1String(kBusServiceName));
  nameHeld_ = false;
  running_ = false;
  receiver_.reset();
  if (!server_) return;
  QMetaObject::invokeMethod(
      server_, [this] { server_->Unregister(); }, Qt::BlockingQueuedConnection);
  server_->DestroyAll();
  thread_.quit();
  thread_.wait();
  delete server_;
  server_ = nullptr;
}

}  // namespace qorvel
