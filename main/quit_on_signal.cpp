#include "main/quit_on_signal.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace qorvel {

namespace {

// What the handler reads must be safe to read in a handler: lock-free atomics.
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<bool> gLive{false};
std::atomic<int> gWriteFd{-1};
// Handlers running now, on any thread; the pipe is not closed under them.
std::atomic<int> gInHandler{0};

void OnSignal(int aSignal) {
  const int savedErrno = errno;
  gInHandler.fetch_add(1);
  const int fd = gWriteFd.load();
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(aSignal);
    // A full pipe already holds a wake-up, so a byte that does not fit is
    // not missed.
    [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
  }
  gInHandler.fetch_sub(1);
  // The interrupted code may be about to read errno.
  errno = savedErrno;
}

bool Ignored(const struct sigaction& aAction) {
  return !(aAction.sa_flags & SA_SIGINFO) && aAction.sa_handler == SIG_IGN;
}

}  // namespace

TQuitOnSignal::TQuitOnSignal(QObject* aParent) : QObject(aParent) {
  bool expected = false;
  // The handlers share one pipe; a second owner would close it under the first.
  if (!gLive.compare_exchange_strong(expected, true))
    throw std::logic_error("TQuitOnSignal: another one exists");
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int error = errno;
    gLive = false;
    throw std::system_error(error, std::generic_category(), "pipe2");
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
  gWriteFd = writeFd_;
  notifier_ = new QSocketNotifier(readFd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &TQuitOnSignal::Drain);

  for (std::size_t i = 0; i < kSignals.size(); ++i) {
    struct sigaction current {};
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // Other code should not see its system calls fail with EINTR for a
    // signal that only asks the loop to end.
    action.sa_flags = SA_RESTART;
    if (::sigaction(kSignals[i], nullptr, &current) != 0 ||
        (!Ignored(current) && ::sigaction(kSignals[i], &action, &previous_[i]) != 0)) {
      const int error = errno;
      Release();
      throw std::system_error(error, std::generic_category(), "sigaction");
    }
    installed_[i] = !Ignored(current);
  }
}

TQuitOnSignal::~TQuitOnSignal() {
  Release();
}

void TQuitOnSignal::Release() {
  for (std::size_t i = kSignals.size(); i-- > 0;) {
    if (installed_[i]) ::sigaction(kSignals[i], &previous_[i], nullptr);
    installed_[i] = false;
  }
  gWriteFd = -1;
  // A handler on another thread may have read the descriptor just before; once
  // closed, its number may name another file that the byte must not reach.
  while (gInHandler.load() != 0) std::this_thread::yield();
  delete notifier_;
  notifier_ = nullptr;
  ::close(readFd_);
  ::close(writeFd_);
  readFd_ = writeFd_ = -1;
  gLive = false;
}

void TQuitOnSignal::Drain() {
  bool caught = false;
  unsigned char bytes[16];
  for (;;) {
    const ssize_t n = ::read(readFd_, bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) emit Caught(bytes[i]);
    caught = true;
  }
  // exit() rather than quit(): quit() lets a window refuse to close, and at
  // logout nobody is left to answer a question. exit() also ends a nested
  // loop (a dialog), and the main loop returns 0 as when the last window
  // closes, so the program goes down the same way from there.
  if (caught) QCoreApplication::exit(0);
}

}  // namespace qorvel
