// Operations as requests: the window, transaction numbers, attempts and
// repeats on the engine's clock, answers matched by OT and TRN, and exactly
// one completion for each.
#include <algorithm>
#include <cmath>

#include "connect/application.h"
#include "connect/errors.h"
#include "connect/main_thread.h"
#include "emi/codes.h"
#include "emi/emi_client.h"

namespace qorvel {

namespace {

constexpr int kAfterAttemptPauseMs = 200;
constexpr int kFramePollMs = 1;
constexpr int kLinkCheckMs = 50;
constexpr int kMaxWindow = 100;
// The SMSC's "Operation not allowed", which SMSCs answer when a client sends
// faster or keeps more outstanding than its contract allows: the operation
// was refused, not taken, so it may be sent again later.
constexpr int kOverloadCode = 4;
constexpr int kMaxOverloads = 20;
constexpr char kNoAnswer[] = "Expected server answer is \"ACK\" or \"NAK\"";
constexpr char kLostAfterSending[] =
    "Connection lost while waiting for the answer: the SMSC may or may not have taken it";
constexpr char kLostBeforeSending[] = "Connection lost before sending";

std::exception_ptr Failure(int aCode, const std::string& aText) {
  return std::make_exception_ptr(EEMIError(aCode, aText));
}

}  // namespace

std::string TOperationResult::ErrorText() const {
  if (Failure) {
    try {
      std::rethrow_exception(Failure);
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "Unknown exception";
    }
  }
  if (Kind == okNak) {
    try {
      TEMIClient::RaiseIfRefused(false, Answer);
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  return {};
}

void TEMIClient::StartOperation(uint8_t aOT, std::string aData, int aRepeats,
                                TOperationDone aDone, std::optional<uint8_t> aTRN,
                                bool aBlocking) {
  if (!FComDevice) RaiseEMIError(-1, "No assigned COM device");
  // What cannot travel is refused before anything is logged or sent.
  if (!ComposeFrame(aOT, aTRN.value_or(0), false, aData))
    RaiseEMIError(-1, ComposeFrameError(aOT, aTRN.value_or(0), aData));
  BeginBusy();
  auto op = std::make_unique<TOperation>();
  op->Id = ++NextOperationId;
  op->OT = aOT;
  op->FixedTRN = aTRN;
  op->Data = std::move(aData);
  op->AttemptsLeft = std::max(1, aRepeats != 0 ? aRepeats : RepeatCount);
  op->Done = std::move(aDone);
  op->Blocking = aBlocking;
  Queued.push_back(std::move(op));
  Pump();
}

bool TEMIClient::WindowHasRoom() const {
  return Queued.empty() && static_cast<int>(Outstanding.size()) < EffectiveWindow;
}

TMillis TEMIClient::OldestOutstandingSince() const {
  TMillis oldest = 0;
  for (const auto& op : Outstanding)
    if (oldest == 0 || op->Sent < oldest) oldest = op->Sent;
  return oldest;
}

std::optional<uint8_t> TEMIClient::FreeTransaction() const {
  const TMillis now = FClock->Now();
  for (int i = 0; i < 100; ++i) {
    const auto trn = static_cast<uint8_t>((FNextTRN + i) % 100);
    const bool inUse = std::any_of(Outstanding.begin(), Outstanding.end(),
                                   [trn](const auto& op) { return op->TRN == trn; });
    if (inUse) continue;
    const auto quiet = QuietTransactions.find(trn);
    if (quiet != QuietTransactions.end() && quiet->second > now) continue;
    return trn;
  }
  return std::nullopt;
}

void TEMIClient::Pump() {
  if (PumpHeld) return;
  if (PumpTimer != 0) {
    FClock->Cancel(PumpTimer);
    PumpTimer = 0;
  }
  while (!Queued.empty() && static_cast<int>(Outstanding.size()) < EffectiveWindow) {
    TOperation& op = *Queued.front();
    const TMillis now = FClock->Now();
    TMillis holdUntil = HoldUntil;
    if (op.OT == 51 && MaxSubmitsPerSecond > 0)
      holdUntil = std::max(holdUntil, static_cast<TMillis>(std::ceil(NextSubmitAt)));
    std::optional<uint8_t> trn = op.FixedTRN;
    if (trn) {
      const bool inUse = std::any_of(Outstanding.begin(), Outstanding.end(),
                                     [&](const auto& other) { return other->TRN == *trn; });
      if (inUse) trn.reset();
    } else {
      trn = FreeTransaction();
    }
    if (holdUntil > now || !trn) {
      // Every TRN is busy or may still be answered late: look again soon.
      const TMillis wait = holdUntil > now ? holdUntil - now : RepeatTimeout;
      PumpTimer = FClock->Post(static_cast<int>(std::max<TMillis>(wait, 1)), [this] {
        PumpTimer = 0;
        Pump();
      });
      return;
    }
    if (op.OT == 51 && MaxSubmitsPerSecond > 0) {
      // A timer that fires late (they count whole milliseconds, and a busy
      // thread adds its own delay) is made up for, by up to one interval:
      // otherwise each late one pushed every later submit back, and 1,000
      // a second came out as 600. So one more than the limit may fall within
      // some second, never two.
      const double interval = 1000.0 / MaxSubmitsPerSecond;
      NextSubmitAt = std::max(NextSubmitAt, static_cast<double>(now) - interval) + interval;
    }
    op.TRN = *trn;
    if (!op.FixedTRN) FNextTRN = static_cast<uint8_t>((*trn + 1) % 100);
    QuietTransactions.erase(*trn);
    op.Sent = now;
    Outstanding.push_back(std::move(Queued.front()));
    Queued.pop_front();
    StartAttempt(op);
  }
}

void TEMIClient::Arm(TOperation& aOp, int aDelay, void (TEMIClient::*aStep)(TOperation&)) {
  if (aOp.Timer != 0) FClock->Cancel(aOp.Timer);
  const uint64_t id = aOp.Id;
  aOp.Timer = FClock->Post(aDelay, [this, id, aStep] {
    // The operation may have completed meanwhile; its id says whether it is
    // still the one this timer was armed for.
    for (auto& op : Outstanding)
      if (op->Id == id) {
        op->Timer = 0;
        (this->*aStep)(*op);
        return;
      }
  });
}

void TEMIClient::StartAttempt(TOperation& aOp) {
  if (aOp.Answer) {
    Complete(aOp, {});
    return;
  }
  // A frame that the SMSC is still writing would be cut by ours.
  if (FrameInProgress.load() && (ETXTimeout == 0 || FClock->Now() - FrameStart.load() < ETXTimeout)) {
    Arm(aOp, kFramePollMs, &TEMIClient::StartAttempt);
    return;
  }
  FComDevice->PrepareTransmit();
  AnswerEvent.Reset();
  aOp.Waiting = true;
  AsyncThread->SenderWaiting = true;
  ThrottleEvent.Set();
  try {
    SendDatagram(aOp.OT, aOp.TRN, false, aOp.Data);
  } catch (...) {
    aOp.Waiting = false;
    // A frame that was not written whole leaves the link unusable for the
    // rest of the window too.
    TOperationResult own;
    own.Failure = std::current_exception();
    own.Written = aOp.Written;
    const bool held = std::exchange(PumpHeld, true);
    Complete(aOp, std::move(own));
    FailAll(Failure(-1, kLostAfterSending), Failure(-1, kLostBeforeSending));
    PumpHeld = held;
    return;
  }
  aOp.Written = true;
  Arm(aOp, RecTimeout, &TEMIClient::AttemptEnded);
  if (LinkCheckTimer == 0) LinkCheckTimer = FClock->Post(kLinkCheckMs, [this] { CheckLink(); });
}

// Not every transport reports its loss, and none reports being closed under
// the engine: while operations wait, the link is looked at now and then.
void TEMIClient::CheckLink() {
  LinkCheckTimer = 0;
  if (Outstanding.empty()) return;
  if (!FComDevice->Active()) {
    FailAllOnClose();
    return;
  }
  if (FComDevice->LinkLost()) {
    LinkLostNow();
    return;
  }
  LinkCheckTimer = FClock->Post(kLinkCheckMs, [this] { CheckLink(); });
}

void TEMIClient::AttemptEnded(TOperation& aOp) {
  aOp.Waiting = false;
  --aOp.AttemptsLeft;
  if (Window <= 1)
    Arm(aOp, kAfterAttemptPauseMs, &TEMIClient::AfterAttemptPause);
  else
    AfterAttemptPause(aOp);
}

void TEMIClient::AfterAttemptPause(TOperation& aOp) {
  if (aOp.Answer) {
    Complete(aOp, {});
    return;
  }
  if (aOp.AttemptsLeft > 0) {
    // StartAttempt completes instead when the answer comes meanwhile.
    Arm(aOp, RepeatTimeout, &TEMIClient::StartAttempt);
    return;
  }
  // Its answer may still come: the TRN rests until it cannot.
  if (Window > 1) QuietTransactions[aOp.TRN] = FClock->Now() + 2 * RecTimeout;
  TOperationResult result;
  result.Failure = Failure(-1, kNoAnswer);
  result.Written = aOp.Written;
  Complete(aOp, std::move(result));
}

void TEMIClient::Answered(TOperation& aOp, TOwnAnswer aAnswer) {
  const bool wasWaiting = aOp.Waiting;
  aOp.Waiting = false;
  if (Window > 1 && !aAnswer.Ack && aAnswer.Code == kOverloadCode &&
      aOp.Overloads < kMaxOverloads) {
    // Refused for now, not taken: sent again once the SMSC has had a rest,
    // with fewer outstanding.
    ++aOp.Overloads;
    if (aOp.Timer != 0) FClock->Cancel(aOp.Timer);
    aOp.Timer = 0;
    aOp.Written = false;
    aOp.AttemptsLeft = std::max(aOp.AttemptsLeft, 1);
    const int before = EffectiveWindow;
    EffectiveWindow = std::max(1, EffectiveWindow / 2);
    AnswersSinceNarrowed = 0;
    HoldUntil = FClock->Now() + RepeatTimeout;
    if (EffectiveWindow != before)
      LogTraffic(3, "SMSC overloaded: window narrowed from " + std::to_string(before) + " to " +
                        std::to_string(EffectiveWindow));
    for (auto it = Outstanding.begin(); it != Outstanding.end(); ++it)
      if (it->get() == &aOp) {
        Queued.push_front(std::move(*it));
        Outstanding.erase(it);
        break;
      }
    Pump();
    return;
  }
  if (Window > 1 && EffectiveWindow < std::min(Window, kMaxWindow) &&
      ++AnswersSinceNarrowed >= EffectiveWindow) {
    ++EffectiveWindow;
    AnswersSinceNarrowed = 0;
  }
  aOp.Answer = std::move(aAnswer);
  // At Window 1 the fixed pause follows the attempt whatever ended it; a
  // pause or a repeat wait already under way ends in completion.
  if (Window <= 1 && wasWaiting) {
    Arm(aOp, kAfterAttemptPauseMs, &TEMIClient::AfterAttemptPause);
  } else if (Window > 1) {
    Complete(aOp, {});
  }
}

void TEMIClient::Complete(TOperation& aOp, TOperationResult aResult) {
  if (aOp.Timer != 0) FClock->Cancel(aOp.Timer);
  aOp.Timer = 0;
  if (aOp.Written) aResult.TRN = aOp.TRN;
  if (aOp.Answer && !aResult.Failure) {
    aResult.Kind = aOp.Answer->Ack ? TOperationResult::okAck : TOperationResult::okNak;
    aResult.Answer = std::move(aOp.Answer->Text);
    aResult.NakCode = aOp.Answer->Ack ? 0 : aOp.Answer->Code;
  } else {
    aResult.Kind = TOperationResult::okFailed;
  }
  std::unique_ptr<TOperation> owned;
  for (auto it = Outstanding.begin(); it != Outstanding.end(); ++it)
    if (it->get() == &aOp) {
      owned = std::move(*it);
      Outstanding.erase(it);
      break;
    }
  for (auto it = Queued.begin(); !owned && it != Queued.end(); ++it)
    if (it->get() == &aOp) {
      owned = std::move(*it);
      Queued.erase(it);
      break;
    }
  AsyncThread->SenderWaiting = std::any_of(Outstanding.begin(), Outstanding.end(),
                                           [](const auto& op) { return op->Waiting; });
  if (owned) Finished.push_back({std::move(owned->Done), std::move(aResult), owned->Blocking});
  // Completions run on a later turn of the main thread, never inside the
  // engine's own steps, so a completion may start the next operation.
  if (CompletionTimer == 0)
    CompletionTimer = FClock->Post(0, [this] {
      CompletionTimer = 0;
      CompleteFinished();
    });
  Pump();
}

void TEMIClient::CompleteFinished() {
  while (!Finished.empty()) {
    auto [done, result, blocking] = std::move(Finished.front());
    Finished.erase(Finished.begin());
    try {
      EndBusy();
    } catch (const std::exception& e) {
      if (blocking && !result.Failure)
        result.BusyFailure = std::current_exception();
      else
        ShowException(e);
    } catch (...) {
    }
    if (!done) continue;
    try {
      done(result);
    } catch (const std::exception& e) {
      ShowException(e);
    } catch (...) {
    }
  }
  // What waited for the operation's end is handed over now, even when a
  // completion has started the next one.
  if (Window <= 1) {
    ReleasingHeld = true;
    try {
      DispatchReceived(true, true);
    } catch (...) {
    }
    ReleasingHeld = false;
  }
}

void TEMIClient::FailAll(const std::exception_ptr& aWritten, const std::exception_ptr& aUnwritten) {
  const bool held = std::exchange(PumpHeld, true);
  while (!Outstanding.empty() || !Queued.empty()) {
    TOperation& op = Outstanding.empty() ? *Queued.front() : *Outstanding.front();
    TOperationResult result;
    result.Written = op.Written;
    result.Failure = op.Written ? aWritten : aUnwritten;
    Complete(op, std::move(result));
  }
  PumpHeld = held;
}

void TEMIClient::FailAllOnClose() {
  const auto inactive = std::make_exception_ptr(EConnectError("Connection is inactive"));
  FailAll(inactive, inactive);
}

void TEMIClient::LinkLostNow() {
  if (Outstanding.empty() && Queued.empty()) return;
  LogTraffic(3, "Connection lost");
  FailAll(Failure(-1, kLostAfterSending), Failure(-1, kLostBeforeSending));
}

TEMIClient::TOperation* TEMIClient::FindOutstanding(uint8_t aOT, uint8_t aTRN) {
  for (auto& op : Outstanding)
    if (op->OT == aOT && op->TRN == aTRN && op->Written && !op->Answer) return op.get();
  return nullptr;
}

void TEMIClient::ClaimAnswers() {
  if (Outstanding.empty()) return;
  std::vector<std::pair<uint64_t, TOwnAnswer>> claimed;
  {
    TLockGuard g(RxLock);
    for (auto it = RxQueue.begin(); it != RxQueue.end();) {
      TOperation* op = it->Result ? FindOutstanding(it->OT, it->TRN) : nullptr;
      const bool taken = std::any_of(claimed.begin(), claimed.end(),
                                     [&](const auto& c) { return op && c.first == op->Id; });
      if (op == nullptr || taken) {
        ++it;
        continue;
      }
      TAnswer answer = ReadAnswer(it->Body);
      if (!answer.IsAnswer) {
        ++it;
        continue;
      }
      claimed.emplace_back(op->Id, TOwnAnswer{true, answer.Ack,
                                              answer.Ack ? 0 : answer.ErrorCode,
                                              std::move(answer.Text)});
      it = RxQueue.erase(it);
    }
    if (!claimed.empty()) {
      FLastActivity = FClock->Now();
      ThrottleEvent.Set();
    }
  }
  for (auto& [id, answer] : claimed)
    for (auto& op : Outstanding)
      if (op->Id == id) {
        Answered(*op, std::move(answer));
        break;
      }
}

void TEMIClient::RunUntil(const std::function<bool()>& aDone) {
  FClock->RunUntil(aDone);
}

}  // namespace qorvel
