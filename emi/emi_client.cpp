#include "emi/emi_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>
#include <thread>

#include "connect/application.h"
#include "connect/errors.h"
#include "connect/main_thread.h"
#include "emi/codec.h"
#include "emi/codes.h"
#include "emi/items.h"

namespace qorvel {

namespace {

constexpr int kSettlingPauseMs = 500;
constexpr int kTransmitterBusyPauseMs = 200;
constexpr int kPollMs = 1;
constexpr int kThrottleDrop = 50;
constexpr int kThrottleLong = 10;
constexpr int kThrottleLongMs = 1000;
constexpr int kThrottleShort = 5;
constexpr int kThrottleShortMs = 200;

std::string ZeroPadded2(int aCode) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2d", aCode);
  return text;
}

// Thrown by the backlog throttle: the datagram is dropped without a word.
struct TThrottleAbort {};

template <typename F>
struct TFinally {
  F f;
  ~TFinally() { f(); }
};
template <typename F>
TFinally(F) -> TFinally<F>;

}  // namespace

// Routes what the frame assembler finds to the log and to the queue.
class TEMIClient::TReceiveSink : public TFrameAssembler::Sink {
 public:
  explicit TReceiveSink(TEMIClient& c) : client_(c) {}
  void OnFrame(std::string_view frame) override { client_.LogTraffic(2, frame); }
  void OnBadFrame(std::string_view message) override { client_.LogTraffic(3, message); }
  void OnDatagram(std::string_view body) override { client_.ReceiveDatagram(body); }
  bool Stopped() const override { return !client_.Receiving.load(); }

 private:
  TEMIClient& client_;
};

TEMIClient::TEMIClient(TComponent* aOwner) : TLogConnection(aOwner) {
  AsyncThread = std::make_unique<TEMIAsyncThread>(*this);
}

TEMIClient::~TEMIClient() {
  // The receive handler still uses the worker until the close has waited for it.
  CloseForDestruction();
  AsyncThread->WaitFor();
  // Operations still pending go with their owners: no completion runs from
  // inside the destruction, and no timer outlives the engine.
  FailAllOnClose();
  Finished.clear();
  for (TTimerId timer : {CompletionTimer, PumpTimer, LinkCheckTimer, SessionTimer})
    if (timer != 0) FClock->Cancel(timer);
}

TParams TEMIClient::Params() const {
  TLockGuard g(ParamsLock);
  return FParams;
}

void TEMIClient::SetParams(const TParams& aParams) {
  TLockGuard g(ParamsLock);
  FParams = aParams;
}

std::string TEMIClient::Param(std::string_view aName) const {
  TLockGuard g(ParamsLock);
  return FParams.Value(aName);
}

void TEMIClient::SetParam(std::string_view aName, std::string_view aValue) {
  TLockGuard g(ParamsLock);
  FParams.SetValue(aName, aValue);
}

int TEMIClient::ParamNumber(std::string_view aName, int aDefault) const {
  // Decimal only: "$" hex is the frames' notation, not the settings'.
  const std::string text = Param(aName);
  int32_t value = 0;
  if (text.empty() || text[0] == '$' || !TryReadInteger(text, value)) return aDefault;
  return value;
}

void TEMIClient::SetClock(IClock& aClock) {
  CheckInactive();
  FClock = &aClock;
}

void TEMIClient::SetComDevice(TCommunicationConnection* aDevice) {
  CheckInactive();
  FComDevice = aDevice;
}

void TEMIClient::LogTraffic(uint8_t aChannel, std::string_view aText) noexcept {
  try {
    Log(aChannel, std::string(aText));
  } catch (const std::exception& e) {
    if (LogFailureReported.exchange(true)) return;
    const EConnectError failure(std::string("Cannot write the log: ") + e.what());
    try {
      Log(3, failure.what());
    } catch (...) {
    }
    ShowException(failure);
  } catch (...) {
  }
}

void TEMIClient::DoFormatLog(uint8_t aChannel, std::string& aText) {
  if (aChannel == 1 || aChannel == 2) aText = FrameLogText(aText);
  TLogConnection::DoFormatLog(aChannel, aText);
}

// ---- opening and closing -------------------------------------------------

void TEMIClient::DoOpen() {
  std::optional<std::exception_ptr> failure;
  BeginSession([&failure](std::exception_ptr aFailure) { failure = aFailure; });
  RunUntil([&] {
    ClaimAnswers();
    return failure.has_value();
  });
  if (*failure) std::rethrow_exception(*failure);
}

void TEMIClient::StartOpen(TOpenDone aDone) {
  if (Active() || SessionDone) throw EConnectError("Connection is active");
  DoBeforeOpen();
  BeginSession([this, aDone = std::move(aDone)](std::exception_ptr aFailure) {
    if (!aFailure) {
      MarkOpened();
      try {
        DoAfterOpen();
      } catch (...) {
        aFailure = std::current_exception();
      }
    }
    aDone(aFailure);
  });
}

void TEMIClient::BeginSession(TOpenDone aDone) {
  if (!FComDevice) RaiseEMIError(-1, "No assigned COM device");
  BeginBusy();
  SavedRxChar = FComDevice->OnRxChar.Get();
  SavedActive = FComDevice->Active();
  // A frame cut off by the last connection's end must not swallow this
  // connection's first answer.
  RxBuffer.Clear();
  FrameInProgress = false;
  FNextTRN = 0;
  LogFailureReported = false;
  RxCharsWanted = static_cast<bool>(OnRxChar);
  ThrottleEvent.Reset();
  Receiving = true;
  FComDevice->OnRxChar = [this](TComponent* Sender, int Count) { ComDeviceRxChar(Sender, Count); };
  LinkLostReported = false;
  FComDevice->OnLinkLost = [this](TComponent*) {
    LinkLostReported = true;
    AsyncThread->Wake();
  };
  HandlerInstalled = true;
  EffectiveWindow = std::clamp(Window, 1, 100);
  AnswersSinceNarrowed = 0;
  HoldUntil = 0;
  NextSubmitAt = 0;
  QuietTransactions.clear();
  // The receive path is in place before the transport can deliver a byte: an
  // SMSC may send at once after accepting.
  FComDevice->RxCharInThread = true;
  SessionDone = std::move(aDone);
  const uint64_t session = ++SessionId;
  const auto opened = [this, session](std::exception_ptr aFailure) {
    if (session == SessionId && SessionDone) SessionTransportOpened(aFailure);
  };
  try {
    if (FComDevice->Active())
      SessionTimer = FClock->Post(0, [this, opened] {
        SessionTimer = 0;
        opened(nullptr);
      });
    else
      FComDevice->StartOpen(opened);
  } catch (...) {
    SessionDone = nullptr;
    DoClose();
    EndBusyReporting();
    throw;
  }
}

void TEMIClient::SessionTransportOpened(std::exception_ptr aFailure) {
  if (aFailure) {
    EndSession(aFailure);
    return;
  }
  try {
    FComDevice->PurgeInput();
    FComDevice->PrepareTransmit();
  } catch (...) {
    EndSession(std::current_exception());
    return;
  }
  // A short settling pause, ended early by the first frame that arrives
  // (DispatchReceived looks).
  AnswerEvent.Reset();
  Settling = true;
  const uint64_t session = SessionId;
  SessionTimer = FClock->Post(kSettlingPauseMs, [this, session] {
    SessionTimer = 0;
    if (session == SessionId) SessionSettled();
  });
}

void TEMIClient::SessionSettled() {
  if (!Settling || !SessionDone) return;
  Settling = false;
  if (SessionTimer != 0) FClock->Cancel(std::exchange(SessionTimer, 0));
  const uint64_t session = SessionId;
  try {
    std::optional<std::pair<uint8_t, std::string>> op;
    const bool login = !Param("USER").empty();
    if (login) {
      op.emplace(60, LoginData());
    } else {
      op = KeepAliveOperation(ParamNumber("SMT_KEEPALIVE_CMD", 31), OwnAddress(), Params());
      if (!op) {
        EndSession(nullptr);
        return;
      }
    }
    StartOperation(
        op->first, std::move(op->second), login ? 1 : 0,
        [this, session, login](const TOperationResult& aResult) {
          if (session == SessionId && SessionDone) SessionAnswered(aResult, login);
        },
        NextTransaction(), false);
  } catch (...) {
    EndSession(std::current_exception());
  }
}

void TEMIClient::SessionAnswered(const TOperationResult& aResult, bool aLogin) {
  FNakCode = aResult.Kind == TOperationResult::okNak ? aResult.NakCode : 0;
  FLastWasNak = aResult.Kind == TOperationResult::okNak;
  std::exception_ptr failure = aResult.Failure ? aResult.Failure : aResult.BusyFailure;
  if (!failure && aLogin) {
    try {
      RaiseIfRefused(aResult.Ack(), aResult.Answer);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  EndSession(failure);
}

void TEMIClient::EndSession(std::exception_ptr aFailure) {
  TOpenDone done = std::move(SessionDone);
  SessionDone = nullptr;
  Settling = false;
  if (SessionTimer != 0) FClock->Cancel(std::exchange(SessionTimer, 0));
  if (aFailure) {
    DoClose();
    EndBusyReporting();
  } else {
    try {
      EndBusy();
    } catch (...) {
      aFailure = std::current_exception();
      DoClose();
    }
  }
  if (done) done(aFailure);
}

void TEMIClient::DoCancelOpen() {
  if (!SessionDone) return;
  if (Destroying()) {
    // Nobody is left to hear the end of it.
    SessionDone = nullptr;
    DoClose();
    return;
  }
  EndSession(std::make_exception_ptr(EOpenCancelled()));
}

void TEMIClient::DoClose() {
  if (!FComDevice) return;
  Receiving = false;
  ThrottleEvent.Set();
  FComDevice->RxCharInThread = false;
  if (HandlerInstalled) {
    FComDevice->OnRxChar = SavedRxChar;
    FComDevice->OnLinkLost = nullptr;
    HandlerInstalled = false;
    // A reception already under way on the reader thread stops at its next
    // frame; it may need the main thread (a log view), so keep serving it.
    if (ReceiversRunning.load() != 0)
      main_thread::WaitOnMainThread([this] { return ReceiversRunning.load() == 0; });
  }
  if (!Destroying()) FComDevice->SetActive(SavedActive);
  if (!Destroying()) FailAllOnClose();
}

// ---- sending -------------------------------------------------------------

void TEMIClient::SendDatagram(uint8_t aOT, uint8_t aTRN, bool aResult, const std::string& aData) {
  bool waited = false;
  for (;;) {
    {
      TLockGuard g(TransmitterLock);
      if (SendCount == 0) {
        SendCount = 1;
        break;
      }
    }
    waited = true;
    // Another thread holds the transmitter for one frame: a spin, not a pause.
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  TFinally release{[this] {
    TLockGuard g(TransmitterLock);
    SendCount = 0;
  }};
  if (waited) FClock->Sleep(kTransmitterBusyPauseMs);

  std::optional<std::string> frame = ComposeFrame(aOT, aTRN, aResult, aData);
  if (!frame) RaiseEMIError(-1, ComposeFrameError(aOT, aTRN, aData));
  if (!FComDevice) RaiseEMIError(-1, "No assigned COM device");
  // Logged before writing, so that an answer's line never comes first; a
  // failed write is owned up to right after.
  LogTraffic(1, *frame);
  int written = 0;
  try {
    written = FComDevice->WriteString(*frame);
  } catch (const std::exception& e) {
    LogTraffic(3, std::string("Frame not sent: ") + e.what());
    throw;
  }
  if (written != static_cast<int>(frame->size())) {
    const std::string message = "Frame not sent: " + std::to_string(written < 0 ? 0 : written) +
                                " of " + std::to_string(frame->size()) + " bytes written";
    LogTraffic(3, message);
    RaiseEMIError(-1, message);
  }
}

uint8_t TEMIClient::NextTransaction() {
  const uint8_t trn = FNextTRN;
  FNextTRN = static_cast<uint8_t>((FNextTRN + 1) % 100);
  return trn;
}

bool TEMIClient::SendCommand(uint8_t aOT, uint8_t aTRN, const std::string& aData,
                             std::string& aAnswer, int aRepeats) {
  std::optional<TOperationResult> result;
  if (main_thread::IsMainThread()) {
    StartOperation(aOT, aData, aRepeats, [&](const TOperationResult& r) { result = r; }, aTRN, true);
    // The hand-over that would claim the answer may itself be waiting for
    // this (a handler of a dispatch that sends an operation): claim here too.
    RunUntil([&] {
      ClaimAnswers();
      return result.has_value();
    });
  } else {
    TManualEvent done;
    main_thread::RunOnMainThread([&] {
      StartOperation(aOT, aData, aRepeats,
                     [&](const TOperationResult& r) {
                       result = r;
                       done.Set();
                     },
                     aTRN, true);
    });
    done.Wait(-1);
  }
  FNakCode = result->Kind == TOperationResult::okNak ? result->NakCode : 0;
  FLastWasNak = result->Kind == TOperationResult::okNak;
  if (result->Failure) std::rethrow_exception(result->Failure);
  if (result->BusyFailure) std::rethrow_exception(result->BusyFailure);
  aAnswer = result->Answer;
  return result->Ack();
}

void TEMIClient::CheckAnswer() {
  // A NAK is a refusal whatever code it carries: one with EC 0 or without a
  // readable EC must not pass as accepted.
  if (FNakCode != 0 || FLastWasNak)
    RaiseIfRefused(false, "N/" + (FNakCode >= 0 ? ZeroPadded2(FNakCode) : std::string()) + "/");
}

void TEMIClient::RaiseIfRefused(bool aAck, const std::string& aAnswer) {
  if (aAck) return;
  const std::string field = FieldAt(aAnswer, 1);
  int32_t code = -1;
  if (!TryReadDecimal(field, code)) code = -1;
  std::string text = code >= 0 ? OperationErrorText(code) : std::string();
  if (text.empty()) {
    text = field.empty() ? std::string("SMSC refused the operation without an error code")
                         : "SMSC refused the operation with error code " + field;
  }
  RaiseEMIError(code, text);
}

void TEMIClient::Acknowledge(uint8_t aOT, uint8_t aTRN, bool aResult) {
  if (aResult) return;
  try {
    SendDatagram(aOT, aTRN, true, "A//");
  } catch (...) {
  }
}

// ---- receiving (transport's reader thread) -------------------------------

void TEMIClient::ComDeviceRxChar(TComponent* /*Sender*/, int Count) {
  ++ReceiversRunning;
  TFinally leave{[this] {
    if (--ReceiversRunning == 0) main_thread::NotifyWaiters();
  }};
  // What arrived while a chunk was handled (a peer that answers each
  // acknowledgement at once) is read here too, rather than left for the
  // transport's next round.
  while (Receiving.load() && Count > 0) {
    ReceiveChunk(FComDevice->ReadString(Count));
    Count = FComDevice->InputCount();
  }
}

void TEMIClient::ReceiveChunk(const std::string& aChunk) {
  bool clearFrame = false;
  for (auto it = aChunk.rbegin(); it != aChunk.rend(); ++it) {
    if (*it == STX) {
      FrameStart = FClock->Now();
      FrameInProgress = true;
      break;
    }
    if (*it == ETX) {
      clearFrame = true;
      break;
    }
  }
  TFinally endFrame{[&] {
    if (clearFrame) FrameInProgress = false;
  }};
  if (RxCharsWanted.load()) {
    TLockGuard g(RxLock);
    RxChars += aChunk;
    if (RxChars.size() > kMaxRxChars) {
      const std::size_t excess = RxChars.size() - kMaxRxChars;
      RxChars.erase(0, excess);
      RxCharsRemoved += excess;
    }
  }
  TReceiveSink sink(*this);
  RxBuffer.Feed(aChunk, sink);
  AsyncThread->Wake();
}

void TEMIClient::ReceiveDatagram(std::string_view aBody) {
  if (!Receiving.load()) return;
  TDatagram d;
  bool processed = false;
  try {
    if (!qorvel::ParseDatagram(aBody, d)) return;
    DoRxCommandBeforeAcknowledge(d.OT, d.TRN, d.Result, d.Data, processed);
  } catch (...) {
    return;
  }
  if (!Receiving.load()) return;
  // Written with no engine lock held: logging it runs the application's
  // format handler, which may ask the engine about its queue.
  Acknowledge(d.OT, d.TRN, d.Result);
  {
    TLockGuard g(RxLock);
    if (!processed) RxQueue.push_back({NextQueueId++, std::string(aBody), d.OT, d.TRN, d.Result});
    FLastActivity = FClock->Now();
    // Ends the settling pause at open early.
    if (!processed) AnswerEvent.Set();
  }
  // A blocking form waiting on the main thread looks at once.
  if (!processed) main_thread::NotifyWaiters();
  // Waking per datagram lets the application take each one as it comes, so
  // the backlog throttle sees the application's real backlog rather than the
  // rest of the chunk.
  if (!processed) AsyncThread->Wake();
}

void TEMIClient::DoRxCommandBeforeAcknowledge(uint8_t aOT, uint8_t aTRN, bool aResult,
                                              const std::string& aData, bool& aProcessed) {
  if (!aResult && IsSmscKeepAlive(aOT, aData)) {
    aProcessed = true;
    return;
  }
  if (OnRxCommandBeforeAcknowledge)
    OnRxCommandBeforeAcknowledge(this, aOT, aTRN, aResult, aData, aProcessed);
  if (aResult) return;
  int backlog = RxQueueCount();
  if (backlog >= kThrottleDrop) throw TThrottleAbort{};
  // A pause now would hold up the close. (It no longer holds up an answer
  // that an operation waits for: the main thread is free to catch up while
  // it waits, which ends the pause at once.)
  if (!Receiving.load()) return;
  if (backlog >= kThrottleLong) ThrottlePause(kThrottleLongMs, kThrottleLong);
  if (RxQueueCount() >= kThrottleShort) ThrottlePause(kThrottleShortMs, kThrottleShort);
}

bool TEMIClient::ThrottleReleased(int aBelow) const {
  if (!Receiving.load()) return true;
  TLockGuard g(RxLock);
  return static_cast<int>(RxQueue.size()) < aBelow;
}

void TEMIClient::ThrottlePause(int aMilliseconds, int aBelow) {
  // The pause gives a slow application time to catch up; one that has caught
  // up sets the pace itself.
  const TDeadline deadline(*FClock, aMilliseconds);
  for (;;) {
    ThrottleEvent.Reset();
    if (ThrottleReleased(aBelow) || deadline.Passed()) return;
    FClock->WaitFor(ThrottleEvent, deadline.Left());
  }
}

// ---- handing over to the application (main thread) -----------------------

void TEMIClient::DispatchReceived(bool aChars, bool aCommands) {
  // A worker's hand-over that the destructor's join runs must not reach an
  // application that is tearing the engine down.
  if (Destroying()) return;
  // Answers complete their operations even when this runs inside a handler
  // that waits for one.
  ClaimAnswers();
  if (Settling && AnswerEvent.IsSet()) SessionSettled();
  if (LinkLostReported.exchange(false) && FComDevice && FComDevice->LinkLost()) LinkLostNow();
  if (Dispatching) return;
  Dispatching = true;
  TFinally clear{[this] { Dispatching = false; }};

  const bool wanted = static_cast<bool>(OnRxChar);
  RxCharsWanted = wanted;
  if (aChars) {
    std::string chars;
    uint64_t removedBefore;
    {
      TLockGuard g(RxLock);
      if (!wanted) {
        RxCharsRemoved += RxChars.size();
        RxChars.clear();
      }
      chars = RxChars;
      removedBefore = RxCharsRemoved;
    }
    for (char c : chars) DoRxChar(c);
    TLockGuard g(RxLock);
    // The bound may have trimmed some of them meanwhile.
    const uint64_t trimmed = RxCharsRemoved - removedBefore;
    if (trimmed < chars.size()) {
      const std::size_t rest = chars.size() - static_cast<std::size_t>(trimmed);
      RxChars.erase(0, rest);
      RxCharsRemoved += rest;
    }
  }
  // At Window 1 what the SMSC sends while an operation is under way waits
  // for that operation's end, so that its caller hears of the answer first
  // (a notification never overtakes the submit it reports on). A flood is
  // handed on at once instead: holding more than a few would only lead the
  // backlog throttle to drop them unacknowledged.
  const bool hold = Window <= 1 && !Outstanding.empty() && !ReleasingHeld &&
                    RxQueueCount() < kThrottleShort;
  if (aCommands && !hold) {
    for (;;) {
      TQueued entry;
      bool owned = false;
      {
        TLockGuard g(RxLock);
        if (RxQueue.empty()) break;
        entry = RxQueue.front();
        // An answer queued since the last look belongs to its operation, not
        // to the application.
        owned = entry.Result && FindOutstanding(entry.OT, entry.TRN) != nullptr &&
                ReadAnswer(entry.Body).IsAnswer;
      }
      if (owned) {
        ClaimAnswers();
        continue;
      }
      try {
        TDatagram d;
        if (qorvel::ParseDatagram(entry.Body, d)) DoRxCommand(d.OT, d.TRN, d.Result, d.Data);
      } catch (...) {
      }
      RemoveQueued(entry.Id);
    }
  }
}

void TEMIClient::RemoveQueued(uint64_t aId) {
  {
    TLockGuard g(RxLock);
    for (auto it = RxQueue.begin(); it != RxQueue.end(); ++it)
      if (it->Id == aId) {
        RxQueue.erase(it);
        break;
      }
  }
  ThrottleEvent.Set();
}

int TEMIClient::RxQueueCount() const {
  TLockGuard g(RxLock);
  return static_cast<int>(RxQueue.size());
}

std::size_t TEMIClient::RxCharsPending() const {
  TLockGuard g(RxLock);
  return RxChars.size();
}

// ---- busy state and events -----------------------------------------------

void TEMIClient::BeginBusy() {
  if (BusyCount++ != 0) return;
  try {
    DoBusyChanged(true);
  } catch (...) {
    --BusyCount;
    throw;
  }
}

void TEMIClient::EndBusy() {
  if (BusyCount <= 0) return;
  if (BusyCount-- == 1) DoBusyChanged(false);
}

void TEMIClient::EndBusyReporting() noexcept {
  // The failure under way goes to the caller; a failing busy handler on top
  // of it can only be shown.
  try {
    EndBusy();
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
  }
}

void TEMIClient::DoBusyChanged(bool aBusy) {
  if (OnBusyChanged) OnBusyChanged(this, aBusy);
}

void TEMIClient::DoRxChar(char aChar) {
  if (OnRxChar) OnRxChar(this, aChar);
}

void TEMIClient::DoRxCommand(uint8_t aOT, uint8_t aTRN, bool aResult, const std::string& aData) {
  if (OnRxCommand) OnRxCommand(this, aOT, aTRN, aResult, aData);
}

// ---- worker thread -------------------------------------------------------

TEMIAsyncThread::TEMIAsyncThread(TEMIClient& aClient)
    : Client(aClient), Worker([this] { Execute(); }, {.PollMs = -1, .LowerPriority = true}) {}

void TEMIAsyncThread::Execute() {
  main_thread::RunOnMainThread([this] { Client.DispatchReceived(true, true); });
}

}  // namespace qorvel
