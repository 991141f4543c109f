#include "connect/timer_queue.h"

namespace qorvel {

TTimerId TTimerQueue::Add(TMillis aDue, std::function<void()> aWork) {
  const TTimerId id = ++lastId_;
  timers_.emplace(TKey{aDue, id}, std::move(aWork));
  dueOf_.emplace(id, aDue);
  return id;
}

bool TTimerQueue::Cancel(TTimerId aTimer) {
  const auto it = dueOf_.find(aTimer);
  if (it == dueOf_.end()) return false;
  timers_.erase(TKey{it->second, aTimer});
  dueOf_.erase(it);
  return true;
}

std::optional<TMillis> TTimerQueue::NextDue() const {
  if (timers_.empty()) return std::nullopt;
  return timers_.begin()->first.first;
}

std::function<void()> TTimerQueue::TakeDue(TMillis aNow, TTimerId aUpTo) {
  for (auto it = timers_.begin(); it != timers_.end() && it->first.first <= aNow; ++it) {
    if (it->first.second > aUpTo) continue;
    auto node = timers_.extract(it);
    dueOf_.erase(node.key().second);
    return std::move(node.mapped());
  }
  return {};
}

}  // namespace qorvel
