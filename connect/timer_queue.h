#pragma once
// Timers ordered by due time, then by the order in which they were added.
// A plain container: its owner locks it and decides when to run what falls
// due, so that the system clock and the tests' manual clock share one
// ordering rule.
#include <cstdint>
#include <functional>
#include <map>
#include <vector>
#include <optional>
#include <unordered_map>
#include <utility>

namespace qorvel {

// Milliseconds on a monotonic clock.
using TMillis = int64_t;
// Names one posted timer; never 0.
using TTimerId = uint64_t;

class TTimerQueue {
 public:
  TTimerId Add(TMillis aDue, std::function<void()> aWork);
  // False when the timer has run already, was cancelled, or never was.
  bool Cancel(TTimerId aTimer);
  std::optional<TMillis> NextDue() const;
  // Removes the earliest timer due at or before aNow, among those added up to
  // aUpTo, and returns its work; empty when none is due.
  std::function<void()> TakeDue(TMillis aNow, TTimerId aUpTo = ~TTimerId{0});
  // The id of the timer added last.
  TTimerId LastId() const { return lastId_; }
  bool Empty() const { return timers_.empty(); }
  // Every timer's work, taken out; the ids go on from where they were.
  std::vector<std::function<void()>> TakeAll() {
    std::vector<std::function<void()>> all;
    for (auto& [key, work] : timers_) all.push_back(std::move(work));
    timers_.clear();
    return all;
  }

 private:
  using TKey = std::pair<TMillis, TTimerId>;
  std::map<TKey, std::function<void()>> timers_;
  std::unordered_map<TTimerId, TMillis> dueOf_;
  TTimerId lastId_ = 0;
};

}  // namespace qorvel
