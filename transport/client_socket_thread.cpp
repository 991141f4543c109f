#include "transport/client_socket_thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "connect/main_thread.h"
#include "connect/thread_priority.h"
#include "transport/client_socket.h"
#include "transport/client_socket_connection.h"
#include "transport/socket_error.h"

namespace qorvel {

namespace {

constexpr int kPollIntervalMs = 100;

int PollRetrying(pollfd* fds, nfds_t count, int timeoutMs) {
  int r;
  do r = ::poll(fds, count, timeoutMs);
  while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace

TClientSocketThread::TClientSocketThread(TClientSocketConnection& aConnection,
                                         TClientSocket& aSocket)
    : connection_(aConnection), socket_(aSocket), wakeFd_(::eventfd(0, EFD_CLOEXEC)) {
  if (wakeFd_ < 0) throw ESocketError(errno, "eventfd");
  try {
    thread_ = std::thread([this] { Execute(); });
  } catch (...) {
    ::close(wakeFd_);
    throw;
  }
}

TClientSocketThread::~TClientSocketThread() {
  Terminate();
  main_thread::JoinThread(thread_, [this] { return finished_.load(); });
  ::close(wakeFd_);
}

void TClientSocketThread::Terminate() {
  if (terminated_.exchange(true)) return;
  const std::uint64_t one = 1;
  ssize_t n;
  do n = ::write(wakeFd_, &one, sizeof one);
  while (n < 0 && errno == EINTR);
}

void TClientSocketThread::Execute() {
  LowerCurrentThreadPriority();
  const int pollFd = socket_.DuplicateForPolling();
  Poll(pollFd);
  if (pollFd >= 0) ::close(pollFd);
  finished_ = true;
  main_thread::NotifyWaiters();
}

void TClientSocketThread::Poll(int pollFd) {
  bool lossReported = false;
  while (!Terminated()) {
    if (!lossReported && !socket_.Connected()) {
      lossReported = true;
      try {
        connection_.NotifyLinkLost();
      } catch (...) {
      }
    }
    if (socket_.ReceiveLength() > 0) {
      const uint64_t readBefore = socket_.BytesReceived();
      try {
        if (connection_.RxCharInThread) {
          Notify();
        } else {
          main_thread::RunOnMainThread([this] {
            if (!Terminated()) Notify();
          });
        }
      } catch (...) {
        // Nothing may leave the thread, and one failing handler must not
        // leave the connection deaf: the bytes are reported again below.
      }
      // A receiver that took nothing is asked again only after a pause, so it
      // cannot make the thread spin; bytes waiting after a receiver that did
      // read are the peer's next frame and are reported at once.
      if (socket_.BytesReceived() == readBefore && socket_.ReceiveLength() > 0) Pause();
      continue;
    }
    // A lost connection has nothing more to say; only a stop is awaited.
    const bool watching = pollFd >= 0 && socket_.Connected();
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {pollFd, POLLIN, 0}};
    const int r = PollRetrying(fds, watching ? 2 : 1, kPollIntervalMs);
    if (r <= 0 || (fds[0].revents & POLLIN) || !watching || fds[1].revents == 0) continue;
    // Readable with nothing to read: the peer has ended the connection, and
    // the socket counts as lost from now on.
    if (socket_.ReceiveLength() > 0 || socket_.CheckPeer()) continue;
    Pause();
  }
}

void TClientSocketThread::Notify() {
  const int count = socket_.ReceiveLength();
  if (count > 0) connection_.NotifyRxChar(count);
}

void TClientSocketThread::Pause() {
  pollfd fd{wakeFd_, POLLIN, 0};
  PollRetrying(&fd, 1, kPollIntervalMs);
}

}  // namespace qorvel
