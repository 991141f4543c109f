#include "ui/terminal_thread.h"

#include "connect/main_thread.h"

namespace qorvel {

TTerminalThread::TTerminalThread(std::function<void()> aFlush)
    : worker_([flush = std::move(aFlush)] { main_thread::RunOnMainThread(flush); }) {}

}  // namespace qorvel
