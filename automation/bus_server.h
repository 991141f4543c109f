#pragma once
// TAutoServer: the automation objects on the bus. It serves /Qorvel (the class
// factory), every /Qorvel/AutoEMI/<n>, one TAutoEMI each, and the history at
// /Qorvel/History as one virtual object, so that it can check every call's
// sender, type every argument and answer the blocking calls late.
//
// An object belongs to the connection that created it: calls, property access
// and Advise from any other connection are refused with AccessDenied. When a
// connection leaves the bus (NameOwnerChanged), its objects are released.
// The history belongs to no connection: any may read it.
//
// Threads: QtDBus delivers calls on the thread this object lives on; the
// server never blocks there. Replies to blocking calls are sent from the
// thread that completes the job. `lock_` guards the object table; it is never
// held while calling a TAutoEMI or the supervisor.
//
// Lifetime: Register() once; DestroyAll() (also run by the destructor) ends
// every object. The supervisor and the store must outlive the server, whose
// destructor waits for the history's queries under way.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>

#include "app/auto_supervisor.h"
#include "app/message_store.h"
#include "automation/auto_emi.h"
#include "automation/history_bus.h"
#include "connect/thread_annotations.h"

namespace qorvel {

class TAutoServer : public QDBusVirtualObject {
  Q_OBJECT

 public:
  // aHistory null: the history is off, and Qorvel.IHistory says so.
  TAutoServer(IAutoSupervisor& aSupervisor, QDBusConnection aBus, TMessageStore* aHistory = nullptr,
              QObject* aParent = nullptr);
  ~TAutoServer() override;

  // Puts the factory on the bus and starts watching clients leave; false with
  // the reason when the bus refuses.
  bool Register(QString* aError);
  void Unregister();
  // Ends every object (a waiting call gets "Object destroyed") without
  // signalling LastObjectReleased.
  void DestroyAll() EXCLUDES(lock_);
  int ObjectCount() const EXCLUDES(lock_);
  // Any thread: the history's StatusChanged, to every client that listens.
  void EmitStatusChanged(int64_t aId, const QString& aStatus) const {
    history_.EmitStatusChanged(aId, aStatus);
  }

  bool handleMessage(const QDBusMessage& aMessage, const QDBusConnection& aBus) override;
  QString introspect(const QString& aPath) const override;

 signals:
  // A Release or a departing client took the last object.
  void LastObjectReleased();

 private slots:
  void NameOwnerChanged(const QString& aName, const QString& aOldOwner, const QString& aNewOwner);

 private:
  struct TEntry {
    std::shared_ptr<TAutoEMI> Object;
    QString Owner;
  };

  void CreateInstance(const QDBusMessage& aMessage) EXCLUDES(lock_);
  void CallObject(const QDBusMessage& aMessage, const std::shared_ptr<TAutoEMI>& aObject);
  void CallProperties(const QDBusMessage& aMessage, const std::shared_ptr<TAutoEMI>& aObject);
  // With aWithId the reply carries the history id after the SCTS.
  void Submit(const QDBusMessage& aMessage, const std::shared_ptr<TAutoEMI>& aObject, bool aWithId);
  void TestConnection(const QDBusMessage& aMessage, const std::shared_ptr<TAutoEMI>& aObject);
  void Advise(const QDBusMessage& aMessage, const std::shared_ptr<TAutoEMI>& aObject);
  // Ends and forgets the objects that aRelease picks; true when the table
  // became empty through it.
  template <class Pick>
  bool ReleaseWhere(Pick aRelease) EXCLUDES(lock_);
  void Reply(const QDBusMessage& aReply) const;
  void Error(const QDBusMessage& aMessage, const QString& aName, const QString& aText) const;

  IAutoSupervisor& supervisor_;
  QDBusConnection bus_;
  THistoryBus history_;
  bool registered_ = false;
  mutable TMutex lock_;
  std::map<QString, TEntry> objects_ GUARDED_BY(lock_);
  uint64_t created_ GUARDED_BY(lock_) = 0;
};

// The introspection text of the automation interfaces, as installed.
const char* AutomationInterfacesXml();

}  // namespace qorvel
