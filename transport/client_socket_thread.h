#pragma once
// The reader thread of an open TCP transport: it waits for received bytes
// and reports how many are waiting, again about every 100 ms while bytes
// remain unread. It notices the peer's end of the connection and marks the
// socket lost.
//
// Created running by the transport's open step on the main thread; destroyed
// by its close step, which stops the thread at once and joins it. While it is
// joined on the main thread, work it hands over still runs, so a notification
// that is being handed to the main thread at that moment cannot deadlock.
// It must not be destroyed from its own notification.
#include <atomic>
#include <thread>

namespace qorvel {

class TClientSocket;
class TClientSocketConnection;

class TClientSocketThread {
 public:
  TClientSocketThread(TClientSocketConnection& aConnection, TClientSocket& aSocket);
  ~TClientSocketThread();
  TClientSocketThread(const TClientSocketThread&) = delete;
  TClientSocketThread& operator=(const TClientSocketThread&) = delete;

  // Asks the thread to stop and wakes it; does not wait.
  void Terminate();
  bool Terminated() const { return terminated_.load(); }

 private:
  void Execute();
  void Poll(int pollFd);
  void Notify();
  // Sleeps up to the poll interval; returns early when terminated.
  void Pause();

  TClientSocketConnection& connection_;
  TClientSocket& socket_;
  int wakeFd_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace qorvel
