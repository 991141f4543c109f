#pragma once
// TAutomationServer: the program's automation server on the session bus. It
// runs TAutoServer on a thread of its own, so that bus calls are answered
// while the main thread works with the engine, and takes the well-known name
// Qorvel.AutoEMI.
//
// Main thread: construct, Start() and Stop() there. Stop() (also run by the
// destructor) must come before the supervisor, the store and its events go:
// it ends every object, which leaves the supervisor's list, and waits for
// the history's queries under way.
#include <QDBusConnection>
#include <QThread>
#include <functional>
#include <memory>
#include <string>

#include "app/auto_supervisor.h"
#include "app/history_events.h"
#include "app/message_store.h"
#include "automation/bus_server.h"

namespace qorvel {

class TAutomationServer {
 public:
  struct TOptions {
    // Status lines for the user (Log1).
    std::function<void(const std::string&)> Log;
    // Runs on the main thread when a release or a departing client took the
    // last object. The name is given up first, so that clients arriving from
    // then on start a new instance; an object created before that keeps this
    // one running until it, too, is released.
    std::function<void()> OnLastRelease;
    // The message history that Qorvel.IHistory reads; null when it is off.
    TMessageStore* History = nullptr;
    // Its news on the main thread: each StatusChanged becomes the bus
    // signal. Null: no signal.
    THistoryEvents* HistoryEvents = nullptr;
  };

  TAutomationServer(IAutoSupervisor& aSupervisor, QDBusConnection aBus, TOptions aOptions);
  ~TAutomationServer();
  TAutomationServer(const TAutomationServer&) = delete;
  TAutomationServer& operator=(const TAutomationServer&) = delete;

  // Puts the objects on the bus and takes the name. False, with a status
  // line saying why, without a bus or when another program has the name: the
  // program then runs without automation.
  bool Start();
  void Stop();
  bool Running() const { return running_; }
  int ObjectCount() const { return server_ ? server_->ObjectCount() : 0; }

 private:
  void Log(const std::string& aLine) const;
  void LastObjectReleased();

  IAutoSupervisor& supervisor_;
  QDBusConnection bus_;
  TOptions options_;
  QThread thread_;
  TAutoServer* server_ = nullptr;  // lives on thread_; deleted by Stop()
  // Receives the server's signals on the main thread; going with Stop(), it
  // takes any still-queued notice along.
  std::unique_ptr<QObject> receiver_;
  bool running_ = false;
  // Qorvel.AutoEMI is ours; given up at the last release when that ends the
  // program.
  bool nameHeld_ = false;
};

}  // namespace qorvel
