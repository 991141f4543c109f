#include "emi/emi_client.h"

#include <chrono>
#include <thread>

#include "connect/errors.h"
#include "connect/main_thread.h"
#include "connect/thread_priority.h"
#include "connect/ticks.h"
#include "emi/codec.h"
#include "emi/codes.h"
#include "emi/items.h"

namespace qorvel {

namespace {

constexpr int kSettlingPauseMs = 500;
constexpr int kAfterAttemptPauseMs = 200;
constexpr int kTransmitterBusyPauseMs = 200;
constexpr int kPollMs = 1;
constexpr int kThrottleDrop = 50;
constexpr int kThrottleLong = 10;
constexpr int kThrottleLongMs = 1000;
constexpr int kThrottleShort = 5;
constexpr int kThrottleShortMs = 200;
constexpr char kNoAnswer[] = "Expected server answer is \"ACK\" or \"NAK\"";

void Sleep(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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
  void OnFrame(std::string_view frame) override { client_.SafeLog(2, frame); }
  void OnBadFrame(std::string_view message) override { client_.SafeLog(3, message); }
  void OnDatagram(std::string_view body) override { client_.ReceiveDatagram(body); }

 private:
  TEMIClient& client_;
};

void TEMIClient::Pause(int ms) {
  if (PauseFn) {
    PauseFn(ms);
  } else {
    Sleep(ms);
  }
}

TEMIClient::TEMIClient(TComponent* aOwner) : TLogConnection(aOwner) {
  AsyncThread = std::make_unique<TEMIAsyncThread>(*this);
}

TEMIClient::~TEMIClient() {
  AsyncThread->Stop();
  AsyncThread->WaitFor();
  AsyncThread.reset();
  CloseForDestruction();
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

void TEMIClient::SetComDevice(TCommunicationConnection* aDevice) {
  CheckInactive();
  FComDevice = aDevice;
}

void TEMIClient::SafeLog(uint8_t aChannel, std::string_view aText) {
  // A failing log file must not cost a received message.
  try {
    Log(aChannel, std::string(aText));
  } catch (...) {
  }
}

void TEMIClient::DoFormatLog(uint8_t aChannel, std::string& aText) {
  if (aChannel == 1 || aChannel == 2) aText = FrameLogText(aText);
  TLogConnection::DoFormatLog(aChannel, aText);
}

// ---- opening and closing -------------------------------------------------

void TEMIClient::DoOpen() {
  if (!FComDevice) RaiseEMIError(-1, "No assigned COM device");
  BeginBusy();
  TFinally endBusy{[this] { EndBusy(); }};

  SavedRxChar = FComDevice->OnRxChar.Get();
  SavedActive = FComDevice->Active();
  Receiving = true;
  FComDevice->OnRxChar = [this](TComponent* Sender, int Count) { ComDeviceRxChar(Sender, Count); };
  HandlerInstalled = true;
  FComDevice->Open();

  try {
    FComDevice->PurgeInput();
    FComDevice->PrepareTransmit();
    FComDevice->RxCharInThread = true;
    AnswerEvent.Reset();
    AnswerEvent.Wait(kSettlingPauseMs);
    if (!Param("USER").empty()) {
      Login();
    } else {
      KeepAlive();
    }
  } catch (...) {
    DoClose();
    throw;
  }
}

void TEMIClient::DoClose() {
  if (!FComDevice) return;
  FComDevice->RxCharInThread = false;
  if (HandlerInstalled) {
    Receiving = false;
    FComDevice->OnRxChar = SavedRxChar;
    HandlerInstalled = false;
    // A reception already under way on the reader thread finishes first;
    // it may need the main thread (a log view), so keep serving it.
    if (ReceiversRunning.load() != 0)
      main_thread::WaitOnMainThread([this] { return ReceiversRunning.load() == 0; });
  }
  if (!Destroying()) FComDevice->SetActive(SavedActive);
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
    Sleep(kPollMs);
  }
  TFinally release{[this] {
    TLockGuard g(TransmitterLock);
    SendCount = 0;
  }};
  if (waited) Pause(kTransmitterBusyPauseMs);

  std::optional<std::string> frame = ComposeFrame(aOT, aTRN, aResult, aData);
  if (!frame) RaiseEMIError(-1, ComposeFrameError(aOT, aTRN, aData));
  Log(1, *frame);
  if (!FComDevice) RaiseEMIError(-1, "No assigned COM device");
  FComDevice->WriteString(*frame);
}

bool TEMIClient::SendCommand(uint8_t aOT, uint8_t aTRN, const std::string& aData,
                             std::string& aAnswer, int aRepeats) {
  BeginBusy();
  TFinally endBusy{[this] { EndBusy(); }};
  if (!FComDevice) RaiseEMIError(-1, "No assigned COM device");

  int attemptsLeft = aRepeats != 0 ? aRepeats : RepeatCount;
  if (attemptsLeft < 1) attemptsLeft = 1;
  bool found = false;
  bool ack = false;
  const bool onMain = main_thread::IsMainThread();

  while (!found && attemptsLeft > 0) {
    while (FrameInProgress.load() && (ETXTimeout == 0 || TicksSince(FrameStartTick.load()) <
                                                             static_cast<uint32_t>(ETXTimeout)))
      Sleep(kPollMs);
    FNakCode = 0;
    FLastWasNak = false;
    aAnswer.clear();

    TFinally endAttempt{[&] {
      AsyncThread->SenderWaiting = false;
      if (onMain) {
        try {
          DispatchReceived(false, true);
        } catch (...) {
        }
      } else {
        AsyncThread->Wake();
      }
    }};

    FComDevice->PrepareTransmit();
    AnswerEvent.Reset();
    AsyncThread->SenderWaiting = true;
    uint64_t firstId;
    {
      TLockGuard g(RxLock);
      firstId = NextQueueId;
    }
    SendDatagram(aOT, aTRN, false, aData);
    AnswerEvent.Wait(RecTimeout);
    if (onMain) DispatchReceived(true, false);

    uint64_t answerId = 0;
    {
      TLockGuard g(RxLock);
      for (const TQueued& entry : RxQueue) {
        if (entry.Id < firstId) continue;
        TDatagram d;
        if (!qorvel::ParseDatagram(entry.Body, d)) continue;
        if (!d.Result || d.TRN != aTRN || d.OT != aOT) continue;
        TAnswer answer = ReadAnswer(entry.Body);
        if (!answer.IsAnswer) continue;
        found = true;
        ack = answer.Ack;
        if (!ack) {
          FNakCode = answer.ErrorCode;
          FLastWasNak = true;
        }
        aAnswer = answer.Text;
        answerId = entry.Id;
        break;
      }
    }

    Pause(kAfterAttemptPauseMs);
    --attemptsLeft;
    if (!found && attemptsLeft > 0) Pause(RepeatTimeout);
    if (found) {
      FLastActivityTick = TickCount();
      RemoveQueued(answerId);
    }
  }
  if (!found) RaiseEMIError(-1, kNoAnswer);
  return ack;
}

void TEMIClient::CheckAnswer() {
  // A NAK is a refusal whatever code it carries: one with EC 0 or without a
  // readable EC must not pass as accepted.
  if (FNakCode != 0 || FLastWasNak) RaiseEMIError(FNakCode, OperationErrorText(FNakCode));
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
  if (!Receiving.load() || Count <= 0) return;

  std::string chunk = FComDevice->ReadString(Count);
  bool clearFrame = false;
  for (auto it = chunk.rbegin(); it != chunk.rend(); ++it) {
    if (*it == STX) {
      FrameStartTick = TickCount();
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
  {
    TLockGuard g(RxLock);
    RxChars += chunk;
  }
  TReceiveSink sink(*this);
  RxBuffer.Feed(chunk, sink);
  AsyncThread->Wake();
}

void TEMIClient::ReceiveDatagram(std::string_view aBody) {
  TDatagram d;
  bool processed = false;
  try {
    if (!qorvel::ParseDatagram(aBody, d)) return;
    DoRxCommandBeforeAcknowledge(d.OT, d.TRN, d.Result, d.Data, processed);
  } catch (...) {
    return;
  }
  {
    TLockGuard g(RxLock);
    if (!processed) RxQueue.push_back({NextQueueId++, std::string(aBody)});
    Acknowledge(d.OT, d.TRN, d.Result);
    FLastActivityTick = TickCount();
    if (!processed) AnswerEvent.Set();
  }
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
  if (backlog >= kThrottleLong) Pause(kThrottleLongMs);
  if (RxQueueCount() >= kThrottleShort) Pause(kThrottleShortMs);
}

// ---- handing over to the application (main thread) -----------------------

void TEMIClient::DispatchReceived(bool aChars, bool aCommands) {
  if (Dispatching) return;
  Dispatching = true;
  TFinally clear{[this] { Dispatching = false; }};

  if (aChars) {
    std::string chars;
    {
      TLockGuard g(RxLock);
      chars = RxChars;
    }
    for (char c : chars) DoRxChar(c);
    TLockGuard g(RxLock);
    RxChars.erase(0, chars.size());
  }
  if (aCommands) {
    for (;;) {
      TQueued entry;
      {
        TLockGuard g(RxLock);
        if (RxQueue.empty()) break;
        entry = RxQueue.front();
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
  TLockGuard g(RxLock);
  for (auto it = RxQueue.begin(); it != RxQueue.end(); ++it)
    if (it->Id == aId) {
      RxQueue.erase(it);
      return;
    }
}

int TEMIClient::RxQueueCount() const {
  TLockGuard g(RxLock);
  return static_cast<int>(RxQueue.size());
}

// ---- busy state and events -----------------------------------------------

void TEMIClient::BeginBusy() {
  if (BusyCount++ == 0) DoBusyChanged(true);
}

void TEMIClient::EndBusy() {
  if (BusyCount <= 0) return;
  if (BusyCount-- == 1) DoBusyChanged(false);
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
    : Client(aClient), thread_([this] { Execute(); }) {}

TEMIAsyncThread::~TEMIAsyncThread() {
  Stop();
  WaitFor();
}

void TEMIAsyncThread::Stop() {
  terminated_ = true;
  WakeEvent.Set();
}

void TEMIAsyncThread::WaitFor() {
  if (!thread_.joinable()) return;
  // The thread may be waiting for the main thread to run a dispatch.
  main_thread::JoinThread(thread_, [this] { return finished_.load(); });
}

void TEMIAsyncThread::Execute() {
  LowerCurrentThreadPriority();
  TFinally done{[this] {
    finished_ = true;
    main_thread::NotifyWaiters();
  }};
  while (!terminated_.load()) {
    WakeEvent.Wait(-1);
    WakeEvent.Reset();
    if (terminated_.load()) break;
    try {
      bool commands = !SenderWaiting.load();
      main_thread::RunOnMainThread([this, commands] { Client.DispatchReceived(true, commands); });
    } catch (...) {
    }
  }
}

}  // namespace qorvel
