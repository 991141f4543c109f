#pragma once
// THistoryBus: Qorvel.IHistory on /Qorvel/History, the message store as any
// client of the session bus may read it. TAutoServer hands it every method
// call on that path.
//
// Threads: Handle() runs on the server's thread and never waits for the
// store: it checks the arguments there and runs the query on a thread of its
// own, which sends the reply, so that a slow query holds up no other caller.
// At most kMaxCalls run at once; a call beyond them is refused
// (LimitsExceeded) rather than queued behind slow ones. EmitStatusChanged()
// may be called from any thread. `lock_` guards the workers' list only.
//
// Lifetime: the store, when there is one, must outlive this object; the
// destructor waits for the queries under way.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <thread>

#include "app/message_store.h"
#include "connect/thread_annotations.h"

namespace qorvel {

class THistoryBus {
 public:
  static constexpr int kMaxCalls = 32;
  static constexpr int kMaxLimit = 10000;

  // aStore null: the history is off, and every query says so.
  THistoryBus(TMessageStore* aStore, QDBusConnection aBus);
  ~THistoryBus();
  THistoryBus(const THistoryBus&) = delete;
  THistoryBus& operator=(const THistoryBus&) = delete;

  // Answers a method call addressed to kHistoryPath (Introspect and Ping
  // are the server's).
  void Handle(const QDBusMessage& aMessage) EXCLUDES(lock_);
  // Broadcasts StatusChanged from the connection that owns Qorvel.AutoEMI.
  void EmitStatusChanged(int64_t aId, const QString& aStatus) const;

 private:
  struct TWorker {
    std::thread Thread;
    bool Done = false;
  };

  // Runs aWork on a worker of its own and sends what it returns as the reply.
  void RunLate(const QDBusMessage& aMessage, std::function<QDBusMessage()> aWork) EXCLUDES(lock_);
  // Joins the workers that have finished.
  void Reap() EXCLUDES(lock_);
  std::size_t Running() const REQUIRES(lock_);
  // The reply for a call that cannot be served without a store; empty
  // when there is one.
  QDBusMessage Off(const QDBusMessage& aMessage) const;

  TMessageStore* const store_;
  QDBusConnection bus_;
  mutable TMutex lock_;
  std::condition_variable_any finished_;
  std::list<TWorker> workers_ GUARDED_BY(lock_);
};

// The history's rows and events as they travel: "(xxsssaybsxds)" and
// "(xssddisay)". Strings of octets go one character per octet.
QDBusArgument& operator<<(QDBusArgument& aArg, const THistoryRow& aRow);
const QDBusArgument& operator>>(const QDBusArgument& aArg, THistoryRow& aRow);
QDBusArgument& operator<<(QDBusArgument& aArg, const THistoryEvent& aEvent);
const QDBusArgument& operator>>(const QDBusArgument& aArg, THistoryEvent& aEvent);

}  // namespace qorvel

Q_DECLARE_METATYPE(qorvel::THistoryRow)
Q_DECLARE_METATYPE(qorvel::THistoryEvent)
