#pragma once
// Connects a socket on a thread of its own, so that the main thread never
// waits for the network, and hands the outcome to the main thread.
//
// Created and destroyed on the main thread. The socket must outlive the
// connector. aDone runs on the main thread with nullptr or the failure of
// TClientSocket::Open, at most once, and never after destruction began.
// Destroying the connector abandons the attempt: it ends the connect wait at
// once and joins the thread, which may still finish a name look-up first.
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "connect/unique_fd.h"
#include "transport/client_socket.h"

namespace qorvel {

class TNameResolver;

class TSocketConnector {
 public:
  using TDone = std::function<void(std::exception_ptr aFailure)>;
  TSocketConnector(TClientSocket& aSocket, TSocketPeer aPeer, TNameResolver& aResolver,
                   std::chrono::milliseconds aTimeout, TDone aDone);
  ~TSocketConnector();
  TSocketConnector(const TSocketConnector&) = delete;
  TSocketConnector& operator=(const TSocketConnector&) = delete;

 private:
  // Outlives the connector in the work handed to the main thread.
  struct TOutcome {
    std::atomic<bool> Taken{false};
    TDone Done;
  };

  TUniqueFd cancel_;
  std::shared_ptr<TOutcome> outcome_;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace qorvel
