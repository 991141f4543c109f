#include "app/history_events.h"

#include <utility>

namespace qorvel {

TMessageStore::THandlers THistoryEvents::StoreHandlers() {
  TMessageStore::THandlers handlers;
  handlers.OnProblem = [this](const std::string& aProblem) { PostProblem(aProblem); };
  handlers.OnStatusChanged = [this](std::vector<THistoryStatusChange> aChanges) {
    PostStatusChanges(std::move(aChanges));
  };
  return handlers;
}

void THistoryEvents::PostStatusChanges(std::vector<THistoryStatusChange> aChanges) {
  QMetaObject::invokeMethod(
      this,
      [this, changes = std::move(aChanges)] {
        for (const THistoryStatusChange& change : changes)
          emit StatusChanged(static_cast<qint64>(change.Id), QString::fromStdString(change.Status));
      },
      Qt::QueuedConnection);
}

void THistoryEvents::PostProblem(const std::string& aProblem) {
  QMetaObject::invokeMethod(
      this, [this, text = QString::fromStdString(aProblem)] { emit Problem(text); },
      Qt::QueuedConnection);
}

}  // namespace qorvel
