#include "app/history_events.h"

namespace qorvel {

void THistoryEvents::PostStatusChanged(int64_t aId, const std::string& aStatus) {
  QMetaObject::invokeMethod(
      this,
      [this, aId, status = QString::fromStdString(aStatus)] {
        emit StatusChanged(static_cast<qint64>(aId), status);
      },
      Qt::QueuedConnection);
}

void THistoryEvents::PostProblem(const std::string& aProblem) {
  QMetaObject::invokeMethod(
      this, [this, text = QString::fromStdString(aProblem)] { emit Problem(text); },
      Qt::QueuedConnection);
}

}  // namespace qorvel
