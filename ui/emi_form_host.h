#pragma once
// What the main window uses of the connection supervisor. The supervisor (in
// app/) implements it; the window never sees the supervisor's class, so the
// dependency points from app/ to ui/ only.
//
// Main thread only. The referenced components live as long as the host.
#include <QTimer>

#include "emi/emi_client.h"
#include "transport/client_socket_connection.h"

namespace qorvel {

class IEMIFormHost {
 public:
  virtual ~IEMIFormHost() = default;
  // The engine, logged in while Active.
  virtual TEMIClient& Client() = 0;
  // The TCP transport the engine runs over.
  virtual TClientSocketConnection& Line() = 0;
  // The 200 ms job timer; the window stops it around its own use of the engine.
  virtual QTimer& JobTimer() = 0;
  // The user's connect command disarms the automatic reconnection first.
  virtual void ClearReconnectPending() = 0;
};

}  // namespace qorvel
