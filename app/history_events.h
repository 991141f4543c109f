#pragma once
// The message history's news, handed to the main thread for whoever shows
// it: the window's History page and the bus's Qorvel.IHistory. The store
// reports on its writer thread; the signals come on the main thread.
#include <QObject>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "app/message_store.h"

namespace qorvel {

class THistoryEvents : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // Handlers for a store that post to this object; it must outlive the store.
  TMessageStore::THandlers StoreHandlers();

  // Any thread; the signals follow on this object's thread, a batch's in one
  // hand-over.
  void PostStatusChanges(std::vector<THistoryStatusChange> aChanges);
  void PostProblem(const std::string& aProblem);

 signals:
  void StatusChanged(qint64 aId, const QString& aStatus);
  // The store cannot be opened or written; traffic goes on without it.
  void Problem(const QString& aText);
};

}  // namespace qorvel
