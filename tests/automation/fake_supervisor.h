#pragma once
// A supervisor that only records: tests decide when and how each job ends,
// and raise events through the live objects the way TEMIDM does.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/auto_supervisor.h"

namespace qorvel::test {

class TFakeSupervisor : public IAutoSupervisor {
 public:
  struct TJob {
    std::string Name;
    std::unique_ptr<TSubmitItem> Item;
  };

  void AddAutoObject(std::shared_ptr<IAutoObject> aObject) override {
    std::lock_guard<std::mutex> g(m_);
    objects_.push_back(std::move(aObject));
    ++connectRequests_;
    changed_.notify_all();
  }
  void RemoveAutoObject(const IAutoObject* aObject) override {
    std::lock_guard<std::mutex> g(m_);
    std::erase_if(objects_, [&](const auto& o) { return o.get() == aObject; });
    ++removed_;
    changed_.notify_all();
  }
  void RequestActive(bool aActive) override {
    std::lock_guard<std::mutex> g(m_);
    activeRequests_.push_back(aActive);
  }
  void PostJob(std::string aName, std::unique_ptr<TSubmitItem> aItem) override {
    std::lock_guard<std::mutex> g(m_);
    jobs_.push_back({std::move(aName), std::move(aItem)});
    ++posted_;
    changed_.notify_all();
  }
  bool EngineActive() const override {
    std::lock_guard<std::mutex> g(m_);
    return active_;
  }
  std::string OwnAddress() const override {
    std::lock_guard<std::mutex> g(m_);
    return ownAddress_;
  }
  TTrafficCounts Counts() const override { return {3, 1, 4, 1, 5}; }
  std::string LinkState() const override { return "Reconnecting in 8 s"; }

  void SetEngineActive(bool aActive) {
    std::lock_guard<std::mutex> g(m_);
    active_ = aActive;
  }
  void SetOwnAddress(std::string aAddress) {
    std::lock_guard<std::mutex> g(m_);
    ownAddress_ = std::move(aAddress);
  }
  // The oldest queued job, once there is one (nullopt-like empty job after 5 s).
  TJob TakeJob(std::chrono::milliseconds aTimeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> g(m_);
    if (!changed_.wait_for(g, aTimeout, [&] { return !jobs_.empty(); })) return {};
    TJob job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }
  int Posted() const {
    std::lock_guard<std::mutex> g(m_);
    return posted_;
  }
  int ConnectRequests() const {
    std::lock_guard<std::mutex> g(m_);
    return connectRequests_;
  }
  int Removed() const {
    std::lock_guard<std::mutex> g(m_);
    return removed_;
  }
  std::size_t LiveObjects() const {
    std::lock_guard<std::mutex> g(m_);
    return objects_.size();
  }
  std::vector<bool> ActiveRequests() const {
    std::lock_guard<std::mutex> g(m_);
    return activeRequests_;
  }
  // Like the supervisor: a copy of the list, every object, a failing one
  // counted and passed over. Returns the number of failures.
  template <class Fire>
  int FireAll(Fire aFire) {
    std::vector<std::shared_ptr<IAutoObject>> objects;
    {
      std::lock_guard<std::mutex> g(m_);
      objects = objects_;
    }
    int failures = 0;
    for (auto& o : objects) {
      try {
        aFire(*o);
      } catch (const std::exception&) {
        ++failures;
      }
    }
    return failures;
  }

 private:
  mutable std::mutex m_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<IAutoObject>> objects_;
  std::deque<TJob> jobs_;
  std::vector<bool> activeRequests_;
  int posted_ = 0, connectRequests_ = 0, removed_ = 0;
  bool active_ = false;
  std::string ownAddress_ = "1234";
};

}  // namespace qorvel::test
