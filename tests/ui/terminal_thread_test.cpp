#include "ui/terminal_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "connect/main_thread.h"

namespace qorvel {
namespace {

using namespace std::chrono_literals;

// Runs hand-over work on this (the main) thread for `period`.
void Pump(std::chrono::milliseconds period) {
  main_thread::WaitOnMainThread([] { return false; }, period);
}

bool PumpUntil(const std::function<bool()>& done) {
  return main_thread::WaitOnMainThread(done, 5000ms);
}

// Waits until work has been handed to this thread, without running it.
bool HandedOver() {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (main_thread::PendingCount() == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(TerminalThread, FlushesRunOnTheMainThread) {
  std::atomic<int> flushes{0};
  std::atomic<bool> onMain{true};
  TTerminalThread thread([&] {
    if (!main_thread::IsMainThread()) onMain = false;
    ++flushes;
  });
  thread.Wake();
  ASSERT_TRUE(PumpUntil([&] { return flushes == 1; }));
  EXPECT_TRUE(onMain);
  Pump(100ms);
  EXPECT_EQ(flushes, 1) << "a flush without a wake-up";
}

TEST(TerminalThread, ManyWakeUpsAreShownByFewFlushes) {
  std::atomic<int> flushes{0};
  TTerminalThread thread([&] { ++flushes; });
  for (int i = 0; i < 1000; ++i) thread.Wake();
  ASSERT_TRUE(PumpUntil([&] { return flushes >= 1; }));
  Pump(200ms);
  // One flush for the first wake-up, at most one more for all the others.
  EXPECT_LE(flushes, 2);
}

TEST(TerminalThread, AWakeUpDuringAFlushCausesOneMore) {
  std::atomic<int> flushes{0};
  std::unique_ptr<TTerminalThread> thread;
  thread = std::make_unique<TTerminalThread>([&] {
    if (++flushes == 1) thread->Wake();
  });
  thread->Wake();
  ASSERT_TRUE(PumpUntil([&] { return flushes == 2; }));
  Pump(100ms);
  EXPECT_EQ(flushes, 2);
}

TEST(TerminalThread, AFailingFlushDoesNotEndTheThread) {
  std::atomic<int> flushes{0};
  TTerminalThread thread([&] {
    if (++flushes == 1) throw std::runtime_error("redraw failed");
  });
  thread.Wake();
  ASSERT_TRUE(PumpUntil([&] { return flushes == 1; }));
  thread.Wake();
  EXPECT_TRUE(PumpUntil([&] { return flushes == 2; }));
}

TEST(TerminalThread, StopRunsAFlushAlreadyHandedOverThenNoMore) {
  std::atomic<int> flushes{0};
  auto thread = std::make_unique<TTerminalThread>([&] { ++flushes; });
  thread->Wake();
  // The flush is handed over, and nobody has run it yet.
  ASSERT_TRUE(HandedOver());
  thread->Stop();
  EXPECT_EQ(flushes, 1);
  thread->Wake();
  Pump(100ms);
  EXPECT_EQ(flushes, 1);
  thread.reset();
}

}  // namespace
}  // namespace qorvel
