#include "connect/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "connect/main_thread.h"

namespace qorvel {
namespace {

using namespace std::chrono_literals;

// A stop that lands while a step hands work to the main thread ends the
// thread after that step; the join serves the main thread meanwhile.
TEST(WorkerThread, StopDuringAStepEndsAfterItWithoutAnotherStep) {
  main_thread::SetMainThread();
  std::atomic<int> steps{0};
  std::atomic<bool> inStep{false};
  TWorkerThread worker([&] {
    ++steps;
    inStep = true;
    main_thread::RunOnMainThread([] {});
  });
  worker.Wake();
  while (!inStep) std::this_thread::sleep_for(1ms);
  worker.Wake();  // would cause one more step, but the stop comes first
  worker.Join();
  EXPECT_EQ(steps, 1);
  worker.Wake();
  worker.Join();
  EXPECT_EQ(steps, 1) << "wake-ups after the end do nothing";
}

// Wake-ups during a rest wait for its end; a stop does not.
TEST(WorkerThread, ARestHoldsBackWakeUpsButNotAStop) {
  std::atomic<int> steps{0};
  TWorkerThread::TOptions options;
  options.RestMs = 600000;
  TWorkerThread worker([&] { ++steps; }, options);
  worker.Wake();
  while (steps == 0) std::this_thread::sleep_for(1ms);
  for (int i = 0; i < 10; ++i) worker.Wake();
  const auto before = std::chrono::steady_clock::now();
  worker.Join();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 60s) << "the stop waited out the rest";
  EXPECT_EQ(steps, 1);
}

TEST(WorkerThread, PollPeriodRunsStepsWithoutWakeUps) {
  std::atomic<int> steps{0};
  TWorkerThread::TOptions options;
  options.PollMs = 5;
  TWorkerThread worker([&] { ++steps; }, options);
  auto deadline = std::chrono::steady_clock::now() + 3s;
  while (steps < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_GE(steps, 3);
}

}  // namespace
}  // namespace qorvel
