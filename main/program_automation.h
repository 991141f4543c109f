#pragma once
// The automation server as the program entry runs it.
//
//   TStartMode mode = StartModeFromArguments(app.arguments());
//   if (auto code = RunRegistration(mode, app.applicationFilePath())) return *code;
//   ... create EMIDM and the main window ...
//   TProgramAutomation automation(*EMIDM, mode, [&](const std::string& l) { Log1(l); },
//                                 history.get(), &historyEvents);
//   return app.exec();   // automation goes before EMIDM
//
// Started by the bus (mode Automation), the program quits its event loop
// when the last object has been released, or when the bus itself has gone.
// Main thread.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "automation/automation_server.h"
#include "app/auto_supervisor.h"
#include "app/history_events.h"
#include "app/message_store.h"
#include "automation/start_mode.h"

namespace qorvel {

class TProgramAutomation {
 public:
  // aSupervisor, and the history and its events when given, must outlive
  // this object. A null aHistory leaves Qorvel.IHistory saying it is off.
  TProgramAutomation(IAutoSupervisor& aSupervisor, TStartMode aMode,
                     std::function<void(const std::string&)> aLog,
                     TMessageStore* aHistory = nullptr, THistoryEvents* aHistoryEvents = nullptr)
      : server_(aSupervisor, QDBusConnection::sessionBus(),
                {std::move(aLog),
                 aMode == TStartMode::Automation
                     ? std::function<void()>([] { QCoreApplication::exit(0); })
                     : std::function<void()>(),
                 aHistory, aHistoryEvents}) {
    server_.Start();
    if (aMode == TStartMode::Automation && server_.Running()) {
      // No release can come once the bus is gone (the session ended under
      // it): a program the bus started would otherwise run on for ever.
      busWatch_.setInterval(1000);
      QObject::connect(&busWatch_, &QTimer::timeout, [this] {
        if (QDBusConnection::sessionBus().isConnected()) return;
        busWatch_.stop();
        QCoreApplication::exit(0);
      });
      busWatch_.start();
    }
  }
  bool Running() const { return server_.Running(); }
  int ObjectCount() const { return server_.ObjectCount(); }

 private:
  TAutomationServer server_;
  QTimer busWatch_;
};

}  // namespace qorvel
