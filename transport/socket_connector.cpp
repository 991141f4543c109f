#include "transport/socket_connector.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "connect/main_thread.h"
#include "transport/socket_error.h"

namespace qorvel {

TSocketConnector::TSocketConnector(TClientSocket& aSocket, TSocketPeer aPeer,
                                   TNameResolver& aResolver, std::chrono::milliseconds aTimeout,
                                   TDone aDone)
    : cancel_(::eventfd(0, EFD_CLOEXEC)), outcome_(std::make_shared<TOutcome>()) {
  if (cancel_.Get() < 0) throw ESocketError(errno, "eventfd");
  outcome_->Done = std::move(aDone);
  thread_ = std::thread([this, &aSocket, peer = std::move(aPeer), &aResolver, aTimeout,
                         outcome = outcome_] {
    std::exception_ptr failure;
    try {
      aSocket.Open(peer, aResolver, aTimeout, cancel_.Get());
    } catch (...) {
      failure = std::current_exception();
    }
    main_thread::PostDelayed(0, [outcome, failure] {
      if (outcome->Taken.exchange(true)) return;
      outcome->Done(failure);
    });
    finished_ = true;
    main_thread::NotifyWaiters();
  });
}

TSocketConnector::~TSocketConnector() {
  outcome_->Taken = true;
  const std::uint64_t one = 1;
  ssize_t n;
  do n = ::write(cancel_.Get(), &one, sizeof one);
  while (n < 0 && errno == EINTR);
  main_thread::JoinThread(thread_, [this] { return finished_.load(); });
}

}  // namespace qorvel
