#pragma once
// The message history's news, handed to the main thread for whoever shows
// it: the window's History page and the bus's Qorvel.IHistory. The store
// reports on its writer thread; the signals come on the main thread.
#include <QObject>
#include <QString>
#include <cstdint>
#include <string>

namespace qorvel {

class THistoryEvents : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;

  // Any thread; the signal follows on this object's thread. The object must
  // outlive the store that posts to it.
  void PostStatusChanged(int64_t aId, const std::string& aStatus);
  void PostProblem(const std::string& aProblem);

 signals:
  void StatusChanged(qint64 aId, const QString& aStatus);
  // The store cannot be opened or written; traffic goes on without it.
  void Problem(const QString& aText);
};

}  // namespace qorvel
