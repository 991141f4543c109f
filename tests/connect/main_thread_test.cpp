#include "connect/main_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qorvel {
namespace {

using namespace std::chrono_literals;
namespace mt = main_thread;

class MainThreadHandOver : public ::testing::Test {
 protected:
  void SetUp() override {
    mt::SetMainThread();
    mt::SetWakeUp(nullptr);
  }
  void TearDown() override { mt::SetWakeUp(nullptr); }
};

TEST_F(MainThreadHandOver, OnTheMainThreadWorkRunsAtOnce) {
  EXPECT_TRUE(mt::IsMainThread());
  bool ran = false;
  mt::RunOnMainThread([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(mt::RunPendingWork(), 0);
}

TEST_F(MainThreadHandOver, OtherThreadsWaitUntilTheMainThreadHasRunTheWork) {
  const auto mainId = std::this_thread::get_id();
  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    EXPECT_FALSE(mt::IsMainThread());
    mt::RunOnMainThread([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  // Once the work is queued nothing runs it yet, so the worker must still be waiting.
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (mt::PendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(mt::PendingCount(), 1);
  EXPECT_FALSE(returned.load());
  EXPECT_TRUE(mt::WaitOnMainThread([&] { return returned.load(); }, 5s));
  worker.join();
  EXPECT_EQ(ranOn, mainId);
}

TEST_F(MainThreadHandOver, RunPendingWorkCountsAndIgnoresOtherThreads) {
  std::atomic<int> queued{0};
  mt::SetWakeUp([&] { ++queued; });
  std::vector<std::thread> workers;
  std::atomic<int> runs{0};
  for (int i = 0; i < 3; ++i) workers.emplace_back([&] { mt::RunOnMainThread([&] { ++runs; }); });
  while (queued.load() < 3) std::this_thread::yield();
  int fromOther = -1, seenByOther = -1;
  std::thread([&] {
    fromOther = mt::RunPendingWork();
    seenByOther = mt::PendingCount();
  }).join();
  EXPECT_EQ(fromOther, 0);
  EXPECT_EQ(seenByOther, 3);
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(mt::RunPendingWork(), 3);
  EXPECT_EQ(mt::PendingCount(), 0);
  for (auto& w : workers) w.join();
  EXPECT_EQ(runs.load(), 3);
}

TEST_F(MainThreadHandOver, WakeUpIsCalledForEveryQueuedPiece) {
  std::atomic<int> wakes{0};
  mt::SetWakeUp([&] { ++wakes; });
  std::thread worker([] { mt::RunOnMainThread([] {}); });
  while (wakes.load() == 0) std::this_thread::yield();
  EXPECT_EQ(mt::RunPendingWork(), 1);
  worker.join();
  EXPECT_EQ(wakes.load(), 1);
}

TEST_F(MainThreadHandOver, ExceptionsReachTheHandingThread) {
  std::string caught;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      mt::RunOnMainThread([] { throw std::runtime_error("from main"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    done = true;
  });
  EXPECT_TRUE(mt::WaitOnMainThread([&] { return done.load(); }, 5s));
  worker.join();
  EXPECT_EQ(caught, "from main");
  EXPECT_THROW(mt::RunOnMainThread([] { throw std::logic_error("here"); }), std::logic_error);
}

TEST_F(MainThreadHandOver, WaitGivesUpAfterItsTimeout) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(mt::WaitOnMainThread([] { return false; }, 60ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
}

TEST_F(MainThreadHandOver, JoiningAThreadThatHandsWorkOverDoesNotDeadlock) {
  std::atomic<bool> finished{false};
  std::atomic<int> handed{0};
  std::thread worker([&] {
    for (int i = 0; i < 20; ++i) mt::RunOnMainThread([&] { ++handed; });
    finished = true;
    mt::NotifyWaiters();
  });
  mt::JoinThread(worker, [&] { return finished.load(); });
  EXPECT_FALSE(worker.joinable());
  EXPECT_EQ(handed.load(), 20);
}

TEST_F(MainThreadHandOver, JoiningFromAnotherThreadJustJoins) {
  std::atomic<bool> finished{false};
  std::thread inner([&] { finished = true; });
  std::thread outer([&] { mt::JoinThread(inner, [&] { return finished.load(); }); });
  outer.join();
  EXPECT_FALSE(inner.joinable());
  EXPECT_TRUE(finished.load());
}

TEST_F(MainThreadHandOver, ManyThreadsHandOverAtOnce) {
  constexpr int kThreads = 4, kEach = 100;
  int counter = 0;  // touched on the main thread only
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) mt::RunOnMainThread([&] { ++counter; });
      ++finished;
      mt::NotifyWaiters();
    });
  EXPECT_TRUE(mt::WaitOnMainThread([&] { return finished.load() == kThreads; }, 10s));
  for (auto& w : workers) w.join();
  EXPECT_EQ(counter, kThreads * kEach);
}

// Before any thread is named the main thread no thread is it, and handing work
// over is a programming error that ends the program with a message, rather
// than running the work on whichever thread happened to ask first.
// Delayed work runs in due order, posting order breaking ties, and never
// before it is due; cancelled work never runs; work that one round posts
// waits for the next round.
TEST_F(MainThreadHandOver, DelayedWorkRunsWhenDueInOrderUnlessCancelled) {
  std::vector<int> ran;
  const TMillis start = mt::Now();
  TMillis firstAt = 0;
  mt::PostDelayed(40, [&] { ran.push_back(3); });
  mt::PostDelayed(20, [&] {
    firstAt = mt::Now();
    ran.push_back(1);
  });
  mt::PostDelayed(20, [&] { ran.push_back(2); });
  const TTimerId cancelled = mt::PostDelayed(10, [&] { ran.push_back(99); });
  mt::CancelDelayed(cancelled);
  mt::PostDelayed(0, [&] { mt::PostDelayed(0, [&] { ran.push_back(0); }); });
  EXPECT_EQ(mt::RunPendingWork(), 1) << "only what was due when the round began";
  EXPECT_TRUE(ran.empty());
  EXPECT_GE(mt::MillisecondsToNextDue(), 0);
  ASSERT_TRUE(mt::WaitOnMainThread([&] { return ran.size() == 4; }, 5s));
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_GE(firstAt - start, 20);
  EXPECT_EQ(mt::MillisecondsToNextDue(), -1);
}

// The event loop is told of every new timer, so that it can arm itself for
// the earliest one.
TEST_F(MainThreadHandOver, PostingDelayedWorkWakesTheEventLoop) {
  std::atomic<int> wakes{0};
  mt::SetWakeUp([&] { ++wakes; });
  const TTimerId id = mt::PostDelayed(60'000, [] {});
  EXPECT_EQ(wakes.load(), 1);
  EXPECT_GT(mt::MillisecondsToNextDue(), 50'000);
  mt::CancelDelayed(id);
  EXPECT_EQ(mt::MillisecondsToNextDue(), -1);
}

TEST(MainThreadUnset, HandingWorkOverEndsTheProgramLoudly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const bool fromOtherThread : {false, true}) {
    EXPECT_DEATH(
        {
          mt::ClearMainThread();
          bool mainSeen = mt::IsMainThread();
          std::thread([&] { mainSeen = mainSeen || mt::IsMainThread(); }).join();
          if (mainSeen) std::_Exit(3);
          auto handOver = [] { mt::RunOnMainThread([] { std::_Exit(4); }); };
          if (fromOtherThread) {
            std::thread(handOver).join();
          } else {
            handOver();
          }
          std::_Exit(5);
        },
        "before SetMainThread");
  }
}

}  // namespace
}  // namespace qorvel
