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
// when the last object has been released. Main thread.
#include <QCoreApplication>
#include <QDBusConnection>
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
  }
  bool Running() const { return server_.Running(); }
  int ObjectCount() const { return server_.ObjectCount(); }

 private:
  TAutomationServer server_;
};

}  // namespace qorvel
