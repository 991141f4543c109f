#pragma once
// The two sides that the main window and the connection supervisor see of
// each other. The supervisor implements IEMIFormHost and talks to the window
// through IEMIFormView; both are declared here, below the window, so ui/
// depends on app/ only and either side can be tested against a fake of the
// other.
//
// Main thread only. The referenced components live as long as the host; the
// views returned by IEMIFormView live as long as the window.

#include <exception>
#include <functional>

#include "app/jobs.h"
#include "config/ini_file.h"
#include "connect/log_view.h"
#include "emi/emi_client.h"
#include "transport/client_socket_connection.h"

namespace qorvel {

class THistoryEvents;
class TMessageStore;

// What the main window uses of the supervisor.
class IEMIFormHost {
 public:
  virtual ~IEMIFormHost() = default;
  // EMI.INI, where the window keeps its last message and the setup dialog
  // the connection.
  virtual const TIniFile& Settings() const = 0;
  // The engine, logged in while Active.
  virtual TEMIClient& Client() = 0;
  // The TCP transport the engine runs over.
  virtual TClientSocketConnection& Line() = 0;
  // The user's connect command disarms the automatic reconnection first.
  virtual void ClearReconnectPending() = 0;
  // Connects and logs in without holding the main thread; aDone (may be
  // empty) runs later with nullptr once logged in, or with the failure
  // (EOpenCancelled when a disconnect ended it). Joins a connect under way.
  virtual void StartConnect(std::function<void(std::exception_ptr aFailure)> aDone) = 0;
  // A connect or reconnection is under way: the user may end it.
  virtual bool Connecting() const = 0;
  // Ends the session, a connect under way, and the automatic reconnection.
  virtual void Disconnect() = 0;
  // The window's own submits count with the bus's and go to the history: the
  // message as it is about to be sent (its id, 0 when there is no history),
  // then its outcome.
  virtual int64_t RecordWindowSubmit(const TSubmitItem& aItem) = 0;
  virtual void RecordSubmit(int64_t aHistoryId, bool aAccepted, TDateTime aSCTS,
                            const std::string& aError, int aTRN) = 0;
  // The automatic reconnection waits for its next attempt: the user may stop it.
  virtual bool ReconnectionArmed() const = 0;
  // The message history the History page shows, or nullptr when there is
  // none; it outlives the window.
  virtual TMessageStore* History() { return nullptr; }
  // The history's news on the main thread, or nullptr; it outlives the window.
  virtual THistoryEvents* HistoryEvents() { return nullptr; }
};

// What the supervisor uses of the main window.
class IEMIFormView {
 public:
  virtual ~IEMIFormView() = default;
  // The upper log pane (Log1): status lines, one per event.
  virtual ILogView& StatusLog() = 0;
  // The lower log pane (Log2): the traffic the logger writes.
  virtual ILogView& TrafficLog() = 0;
  // Follows the engine's Active state: buttons and the Transmit page.
  virtual void UpdateButtons() = 0;
  // The third status-bar panel: received frames waiting in the engine's queue.
  virtual void ShowRxQueueCount(int aCount) = 0;
  // The second status-bar panel: the link's state.
  virtual void ShowLinkState(const std::string& aText) = 0;
};

}  // namespace qorvel
