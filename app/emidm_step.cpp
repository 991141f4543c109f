// The job step: requests, automatic reconnection, the job queue and the
// keep-alive timing.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <utility>

#include "app/emidm.h"
#include "connect/errors.h"
#include "emi/codec.h"
#include "emi/codes.h"

namespace qorvel {

namespace {

constexpr int kJobsPerTick = 10;
constexpr int kJobsAfterDelivery = 1;
constexpr int kReopenPauseMs = 500;
constexpr int kRetryPauseMs = 200;
constexpr int kDefaultKeepAliveSeconds = 300;

int KeepAliveSeconds(const std::string& aText) {
  int32_t value = 0;
  if (aText.empty() || !TryReadInteger(aText, value)) return kDefaultKeepAliveSeconds;
  return value;
}

}  // namespace

void TEMIDM::Timer2Timer(QObject* aSender) {
  if (!form_ || JobsBusy) return;
  const bool fromTimer = aSender != nullptr;
  // The window stops the timer while it uses the engine itself; a delivered
  // message that arrives meanwhile must not run jobs inside that exchange.
  if (!fromTimer && !timer2_->isActive()) return;
  JobsBusy = true;
  timer2_->stop();
  try {
    RunStep(fromTimer);
  } catch (const std::exception& e) {
    LogError(e.what());
  } catch (...) {
    LogError("Unknown exception");
  }
  // The panel set while an operation is handed over still counts that
  // operation; the step shows what really waits.
  if (form_) form_->ShowRxQueueCount(emiClient_->RxQueueCount());
  RefreshLinkState();
  timer2_->start();
  JobsBusy = false;
}

void TEMIDM::RunStep(bool aFromTimer) {
  bool disconnect = false;
  {
    TLockGuard g(JobsLock);
    if (DisconnectRequests > 0) {
      --DisconnectRequests;
      disconnect = true;
    }
  }
  if (disconnect) Disconnect();

  bool connect = false;
  if (!Connecting()) {
    TLockGuard g(JobsLock);
    if (ConnectRequests > 0) {
      --ConnectRequests;
      connect = true;
    } else if (ReconnectPending && ReconnectTimeout != 0 &&
               clock_.Now() - LastOpen > int64_t{ReconnectTimeout} * 1000) {
      connect = true;
    }
  }
  if (connect) StartConnect(ReportFailure());
  // Jobs wait in the queue while a connect is under way.
  if (Connecting()) return;

  // A peer that hung up is noticed here rather than by the next job or
  // keep-alive, which may be minutes away while the SMSC holds messages back.
  // (A submit's retry closes the socket itself and reconnects on its own.)
  if (RetryTimers.empty() && emiClient_->Active() && !lineCom_->SocketConnected()) {
    Log1("Connection lost");
    Reopen(ReportFailure());
    return;
  }

  // With a wider window a step fills it, rather than ten at a time.
  int budget = aFromTimer ? std::max(kJobsPerTick, emiClient_->Window) : kJobsAfterDelivery;
  bool retryAllowed = true;
  while (budget > 0) {
    std::pair<std::string, std::unique_ptr<TSubmitItem>> job;
    {
      TLockGuard g(JobsLock);
      if (Jobs.empty()) break;
      // A job waits in the queue while the engine's window is full; one
      // that would fail at once (the engine closed) need not wait.
      if (emiClient_->Active() && !emiClient_->WindowHasRoom()) break;
      // At Window 1 a retry keeps its place in the order of submits.
      if (!RetryTimers.empty() && emiClient_->Window <= 1) break;
      job = std::move(Jobs.front());
      Jobs.pop_front();
    }
    // Its caller has gone and been answered: sending it now would deliver a
    // message that nobody is told about.
    if (!job.second || (job.second->Requester && job.second->Requester->Completed())) {
      if (job.second && job.second->Requester)
        RecordResult(*job.second->Requester, -1, "Not sent: its caller had gone", 0, -1);
      continue;
    }
    --budget;
    WorkOffJob(job.first, std::shared_ptr<TSubmitItem>(std::move(job.second)), retryAllowed);
  }

  const int interval = KeepAliveSeconds(emiClient_->Param("SMT_KEEPALIVE_INTERVAL"));
  if (emiClient_->Active() && interval > 0 && !KeepAliveRunning &&
      clock_.Now() - emiClient_->LastActivity() > int64_t{interval} * 1000) {
    if (!lineCom_->SocketConnected()) {
      Reopen(ReportFailure());
      return;
    }
    KeepAliveRunning = true;
    emiClient_->StartCheckAlive([this](bool aAlive) {
      KeepAliveRunning = false;
      if (!aAlive && !Connecting()) Reopen(ReportFailure());
    });
  }
}

void TEMIDM::TrackInFlight(const std::shared_ptr<TJobRequester>& aRequester) {
  if (std::find(InFlight.begin(), InFlight.end(), aRequester) == InFlight.end())
    InFlight.push_back(aRequester);
  InFlightCount = static_cast<int64_t>(InFlight.size());
}

void TEMIDM::FinishSubmit(const std::shared_ptr<TJobRequester>& aRequester, int32_t aCode,
                          std::string aText, TDateTime aSCTS, int aTRN) {
  ++(aCode == 0 ? SentCount : FailedCount);
  Finish(aRequester, aCode, std::move(aText), aSCTS, aTRN);
}

void TEMIDM::Finish(const std::shared_ptr<TJobRequester>& aRequester, int32_t aCode,
                    std::string aText, TDateTime aSCTS, int aTRN) {
  if (aRequester) RecordResult(*aRequester, aCode, aText, aSCTS, aTRN);
  std::erase(InFlight, aRequester);
  InFlightCount = static_cast<int64_t>(InFlight.size());
  // The window has room again: a job waiting for it goes at once, as the
  // next one went right after its predecessor when each blocked the step.
  bool waiting;
  {
    TLockGuard g(JobsLock);
    waiting = !Jobs.empty();
  }
  if (waiting) ScheduleStep();
  if (aRequester) aRequester->Complete(aCode, std::move(aText), aSCTS);
}

void TEMIDM::WorkOffJob(const std::string& aName, std::shared_ptr<TSubmitItem> aItem,
                        bool& aRetryAllowed) {
  const std::shared_ptr<TJobRequester> requester = aItem->Requester;
  try {
    if (aName == kJobTest) {
      TrackInFlight(requester);
      emiClient_->StartCheckAlive(
          [this, requester](bool aAlive) { Finish(requester, aAlive ? 0 : -1, ""); });
      return;
    }
    if (aName == kJobSubmit) {
      if (!emiClient_->Active()) RaiseEMIError(-1, "Connection is inactive");
      Log1("Submiting \"" + aItem->Msg + "\" to \"" + aItem->DA + "\"");
      // At Window 1 the first submit of a step may be retried whatever ended
      // it; with more outstanding, every submit may be retried once if it
      // never reached the wire.
      const bool mayRetry = emiClient_->Window > 1 || aRetryAllowed;
      aRetryAllowed = false;
      SubmitAttempt(std::move(aItem), mayRetry);
      return;
    }
    Finish(requester, -1, "");
  } catch (const std::exception& e) {
    if (aName == kJobSubmit) ++FailedCount;
    Finish(requester, -1, e.what());
  } catch (...) {
    if (aName == kJobSubmit) ++FailedCount;
    Finish(requester, -1, "Unknown exception");
  }
}

void TEMIDM::SubmitAttempt(std::shared_ptr<TSubmitItem> aItem, bool aMayRetry) {
  const std::shared_ptr<TJobRequester> requester = aItem->Requester;
  TrackInFlight(requester);
  EnsureConnection([this, aItem, aMayRetry, requester](std::exception_ptr aFailure) {
    try {
      if (aFailure) std::rethrow_exception(aFailure);
      const TSubmitItem& m = *aItem;
      emiClient_->StartSubmit(m.DA, m.Msg, m.Binary, m.MCLs, m.PID, m.NT, m.RPI, m.VP,
                              [this, aItem, aMayRetry](const TOperationResult& aResult,
                                                       TDateTime aSCTS) {
                                SubmitEnded(aItem, aMayRetry, aResult, aSCTS);
                              });
    } catch (const std::exception& e) {
      FinishSubmit(requester, -1, e.what());
    } catch (...) {
      FinishSubmit(requester, -1, "Unknown exception");
    }
  });
}

void TEMIDM::SubmitEnded(std::shared_ptr<TSubmitItem> aItem, bool aMayRetry,
                         const TOperationResult& aResult, TDateTime aSCTS) {
  const std::shared_ptr<TJobRequester> requester = aItem->Requester;
  if (aResult.Ack()) {
    FinishSubmit(requester, 0, "", aSCTS, aResult.TRN);
    return;
  }
  const bool unsent = aResult.Kind == TOperationResult::okFailed && !aResult.Written;
  if (!aMayRetry || (emiClient_->Window > 1 && !unsent)) {
    FinishSubmit(requester, -1, aResult.ErrorText(), 0, aResult.TRN);
    return;
  }
  // A failure at Window 1 may mean a dead link: reconnect and try once more.
  if (emiClient_->Window <= 1) {
    lineCom_->CloseSocket();
    Log1("Reconnecting");
  }
  const auto timer = std::make_shared<TTimerId>(0);
  *timer = clock_.Post(kRetryPauseMs, [this, aItem, timer] {
    std::erase(RetryTimers, *timer);
    SubmitAttempt(aItem, false);
  });
  RetryTimers.push_back(*timer);
}

void TEMIDM::StartConnect(TOpenDone aDone) {
  if (aDone) ConnectWaiters.push_back(std::move(aDone));
  if (ConnectBusy) return;
  ConnectBusy = true;
  if (form_) form_->UpdateButtons();
  if (emiClient_->Active()) {
    ConnectEnded(nullptr);
    return;
  }
  try {
    emiClient_->StartOpen([this](std::exception_ptr aFailure) { ConnectEnded(aFailure); });
  } catch (...) {
    ConnectEnded(std::current_exception());
  }
}

void TEMIDM::ConnectEnded(std::exception_ptr aFailure) {
  EndWaiting(ConnectBusy, ConnectWaiters, aFailure);
}

void TEMIDM::EndWaiting(std::atomic<bool>& aBusy, std::vector<TOpenDone>& aWaiters,
                        const std::exception_ptr& aFailure) {
  if (ShuttingDown || !aBusy) return;
  aBusy = false;
  std::vector<TOpenDone> waiters;
  waiters.swap(aWaiters);
  for (TOpenDone& waiter : waiters) waiter(aFailure);
  RefreshLinkState();
}

void TEMIDM::Disconnect() {
  if (ReopenTimer != 0) {
    clock_.Cancel(std::exchange(ReopenTimer, 0));
    ReopenEnded(std::make_exception_ptr(EOpenCancelled()));
  }
  {
    TLockGuard g(JobsLock);
    ReconnectPending = false;
  }
  ReconnectionOff = false;
  // Ends a connect under way too, reporting EOpenCancelled to its waiters.
  emiClient_->Close();
  lineCom_->Close();
  RefreshLinkState();
}

TEMIDM::TOpenDone TEMIDM::ReportFailure() {
  return [this](std::exception_ptr aFailure) {
    if (!aFailure) return;
    try {
      std::rethrow_exception(aFailure);
    } catch (const EOpenCancelled&) {
    } catch (const std::exception& e) {
      LogError(e.what());
    } catch (...) {
      LogError("Unknown exception");
    }
  };
}

void TEMIDM::Reopen(TOpenDone aThen) {
  if (aThen) ReopenWaiters.push_back(std::move(aThen));
  if (ReopenBusy) return;
  ReopenBusy = true;
  try {
    emiClient_->Close();
    lineCom_->Close();
  } catch (...) {
    ReopenEnded(std::current_exception());
    return;
  }
  if (form_) form_->UpdateButtons();
  ReopenTimer = clock_.Post(kReopenPauseMs, [this] {
    ReopenTimer = 0;
    StartConnect([this](std::exception_ptr aFailure) {
      if (aFailure && !IsCancel(aFailure)) {
        try {
          lineCom_->Close();
        } catch (...) {
        }
        Log1("Cannot connect to socket. I'll try reconnect.");
        if (ReconnectTimeout != 0) {
          TLockGuard g(JobsLock);
          ReconnectPending = true;
        } else {
          ReconnectionOff = true;
        }
      }
      ReopenEnded(aFailure);
    });
  });
}

void TEMIDM::ReopenEnded(std::exception_ptr aFailure) {
  EndWaiting(ReopenBusy, ReopenWaiters, aFailure);
}

void TEMIDM::EnsureConnection(TOpenDone aThen) {
  if (ReopenBusy || (!ConnectBusy && !lineCom_->SocketConnected())) {
    Reopen(std::move(aThen));
  } else if (ConnectBusy) {
    StartConnect(std::move(aThen));
  } else {
    aThen(nullptr);
  }
}

bool TEMIDM::IsCancel(const std::exception_ptr& aFailure) {
  try {
    std::rethrow_exception(aFailure);
  } catch (const EOpenCancelled&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qorvel
