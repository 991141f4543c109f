// The job step: requests, automatic reconnection, the job queue and the
// keep-alive timing.
#include <cstdint>
#include <exception>

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
  if (disconnect) {
    emiClient_->Close();
    lineCom_->Close();
  }

  bool connect = false;
  {
    TLockGuard g(JobsLock);
    if (ConnectRequests > 0) {
      --ConnectRequests;
      connect = true;
    } else if (ReconnectPending && ReconnectTimeout != 0 &&
               clock_.Now() - LastOpen > int64_t{ReconnectTimeout} * 1000) {
      connect = true;
    }
  }
  if (connect) emiClient_->Open();

  // A peer that hung up is noticed here rather than by the next job or
  // keep-alive, which may be minutes away while the SMSC holds messages back.
  if (emiClient_->Active() && !lineCom_->SocketConnected()) {
    Log1("Connection lost");
    EnsureConnection(false);
  }

  int budget = aFromTimer ? kJobsPerTick : kJobsAfterDelivery;
  bool retryAllowed = true;
  while (budget > 0) {
    std::pair<std::string, std::unique_ptr<TSubmitItem>> job;
    {
      TLockGuard g(JobsLock);
      if (Jobs.empty()) break;
      job = std::move(Jobs.front());
      Jobs.pop_front();
    }
    // Its caller has gone and been answered: sending it now would deliver a
    // message that nobody is told about.
    if (!job.second || (job.second->Requester && job.second->Requester->Completed())) continue;
    --budget;
    WorkOffJob(job.first, *job.second, retryAllowed);
  }

  const int interval = KeepAliveSeconds(emiClient_->Param("SMT_KEEPALIVE_INTERVAL"));
  if (emiClient_->Active() && interval > 0 &&
      clock_.Now() - emiClient_->LastActivity() > int64_t{interval} * 1000)
    EnsureConnection(true);
}

void TEMIDM::WorkOffJob(const std::string& aName, const TSubmitItem& aItem, bool& aRetryAllowed) {
  int32_t code = -1;
  std::string text;
  TDateTime scts = 0;
  try {
    if (aName == kJobTest) {
      if (emiClient_->CheckAlive()) code = 0;
    } else if (aName == kJobSubmit) {
      Submit(aItem, aRetryAllowed, scts);
      code = 0;
    }
  } catch (const std::exception& e) {
    text = e.what();
  } catch (...) {
    text = "Unknown exception";
  }
  if (aItem.Requester) aItem.Requester->Complete(code, std::move(text), scts);
}

void TEMIDM::Submit(const TSubmitItem& aItem, bool& aRetryAllowed, TDateTime& aSCTS) {
  if (!emiClient_->Active()) RaiseEMIError(-1, "Connection is inactive");
  Log1("Submiting \"" + aItem.Msg + "\" to \"" + aItem.DA + "\"");
  for (;;) {
    EnsureConnection(false);
    const bool mayRetry = aRetryAllowed;
    aRetryAllowed = false;
    try {
      aSCTS = emiClient_->SubmitMessage(aItem.DA, aItem.Msg, aItem.Binary, aItem.MCLs, aItem.PID,
                                        aItem.NT, aItem.RPI, aItem.VP);
      return;
    } catch (...) {
      if (!mayRetry) throw;
    }
    lineCom_->CloseSocket();
    Log1("Reconnecting");
    clock_.Sleep(kRetryPauseMs);
  }
}

void TEMIDM::EnsureConnection(bool aTest) {
  if (lineCom_->SocketConnected() && (!aTest || emiClient_->CheckAlive())) return;
  emiClient_->Close();
  lineCom_->Close();
  clock_.Sleep(kReopenPauseMs);
  try {
    emiClient_->Open();
  } catch (...) {
    try {
      lineCom_->Close();
    } catch (...) {
    }
    Log1("Cannot connect to socket. I'll try reconnect.");
    if (ReconnectTimeout != 0) {
      TLockGuard g(JobsLock);
      ReconnectPending = true;
    }
    throw;
  }
}

}  // namespace qorvel
