#include "ui/terminal_thread.h"

#include "connect/main_thread.h"

namespace qorvel {

namespace {
// A flush lays the whole pane out again: one for every line, at a thousand
// lines a second, took a core. Twenty-five a second still look live.
constexpr int kFlushRestMs = 40;
}  // namespace

TTerminalThread::TTerminalThread(std::function<void()> aFlush)
    : worker_([flush = std::move(aFlush)] { main_thread::RunOnMainThread(flush); },
              {.RestMs = kFlushRestMs}) {}

}  // namespace qorvel
