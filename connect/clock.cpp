#include "connect/clock.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "connect/main_thread.h"

namespace qorvel {

namespace {

class TSystemClock final : public IClock {
 public:
  TMillis Now() const override { return main_thread::Now(); }
  void Sleep(int aMilliseconds) override {
    if (aMilliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(aMilliseconds));
  }
  bool WaitFor(TManualEvent& aEvent, int aMilliseconds) override {
    return aEvent.Wait(std::max(aMilliseconds, 0));
  }
  TTimerId Post(int aDelay, std::function<void()> aWork) override {
    return main_thread::PostDelayed(aDelay, std::move(aWork));
  }
  void Cancel(TTimerId aTimer) override { main_thread::CancelDelayed(aTimer); }
  void RunUntil(const std::function<bool()>& aDone) override {
    main_thread::WaitOnMainThread(aDone);
  }
};

}  // namespace

IClock& SystemClock() {
  static TSystemClock clock;
  return clock;
}

TDeadline::TDeadline(const IClock& aClock, TMillis aMilliseconds) : clock_(aClock) {
  const TMillis now = aClock.Now();
  at_ = aMilliseconds > std::numeric_limits<TMillis>::max() - now ? std::numeric_limits<TMillis>::max()
                                                                   : now + aMilliseconds;
}

int TDeadline::Left() const {
  const TMillis left = at_ - clock_.Now();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<TMillis>(left, std::numeric_limits<int>::max()));
}

}  // namespace qorvel
