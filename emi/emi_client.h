#pragma once
// TEMIClient speaks EMI to the SMSC over a byte-stream transport that it is
// given (ComDevice) and does not own. While open it takes over the transport's
// receive notification: frames are assembled, validated, acknowledged and
// queued on the transport's reader thread, and handed to the main thread,
// where answers complete their operations.
//
// Operations are requests: StartCommand (and the session operations built on
// it) returns at once, and the operation completes later on the main thread
// with exactly one result: its answer, its time-out after the repeats, or the
// loss of the link. Its pauses and time-outs are timers of the engine's
// clock. Up to Window operations are outstanding at once, each with a TRN of
// its own; at Window 1 the wire and its pacing are those of one blocking
// operation at a time. The blocking forms (SendCommand, CheckAlive,
// SubmitMessage) start the request and run the clock until it completes.
//
// Threads: construction, destruction, opening, closing, every operation and
// DispatchReceived run on the main thread (connect/main_thread.h). The
// receive handler runs on the transport's reader thread; the worker thread
// TEMIAsyncThread has the main thread run DispatchReceived after each
// reception. No application handler runs while an engine lock is held.
//
// Destruction closes first (the receive handler has returned when the close
// ends), then stops and joins the worker; no application handler runs from
// inside it. An exception from OnBusyChanged reaches the caller of the
// operation, or, when the operation failed anyway, goes to ShowException.
//
// Locks, always taken in this order: RxLock, then the transmitter, then the
// logger's own lock. Nothing that holds the transmitter waits for RxLock.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "connect/clock.h"
#include "connect/communication_connection.h"
#include "connect/manual_event.h"
#include "connect/thread_annotations.h"
#include "connect/worker_thread.h"
#include "emi/datetime.h"
#include "emi/frame.h"
#include "emi/params.h"

namespace qorvel {

class TEMIClient;

// Carries received datagrams over to the main thread. Lives as long as its
// client, which stops and joins it after it has closed.
class TEMIAsyncThread {
 public:
  explicit TEMIAsyncThread(TEMIClient& aClient);

  // Stop() asks the thread to end; WaitFor() stops and joins it while the
  // main thread keeps running hand-over work.
  void Stop() { Worker.Stop(); }
  void WaitFor() { Worker.Join(); }
  // Several wake-ups before the thread runs count as one.
  void Wake() { Worker.Wake(); }

  // An operation waits for its answer; the backlog throttle then takes no
  // pause, so as not to hold the answer up.
  std::atomic<bool> SenderWaiting{false};

 private:
  void Execute();

  TEMIClient& Client;
  TWorkerThread Worker;  // last: its thread starts once the rest is built
};

// How one operation ended. Exactly one reaches its completion.
struct TOperationResult {
  enum TKind { okAck, okNak, okFailed };
  TKind Kind = okFailed;
  // The answer's data part, for an ACK or a NAK.
  std::string Answer;
  // A NAK's error code; -1 when it has none that reads as a number.
  int NakCode = 0;
  // A busy handler that failed as the operation ended; only a blocking
  // form's caller hears of it, others see it shown.
  std::exception_ptr BusyFailure;
  // The failure (time-out, lost link, write error) as the blocking form
  // raises it; null for an answer.
  std::exception_ptr Failure;
  // For a failure: whether the operation was written to the link at all. One
  // that never was cannot have reached the SMSC and may be sent again.
  bool Written = false;
  // The transaction number it last went out with; -1 when it never did.
  int TRN = -1;

  bool Ack() const { return Kind == okAck; }
  // The failure's message, or for a NAK the text of its code.
  std::string ErrorText() const;
};
using TOperationDone = std::function<void(const TOperationResult&)>;

class TEMIClient : public TLogConnection {
 public:
  using TBusyChanged = std::function<void(TComponent* Sender, bool aBusy)>;
  using TRxCharEvent = std::function<void(TComponent* Sender, char aChar)>;
  using TRxCommandEvent = std::function<void(TComponent* Sender, uint8_t aOT, uint8_t aTRN,
                                             bool aResult, const std::string& aData)>;
  using TRxCommandBeforeAcknowledgeEvent =
      std::function<void(TComponent* Sender, uint8_t aOT, uint8_t aTRN, bool aResult,
                         const std::string& aData, bool& aProcessed)>;

  explicit TEMIClient(TComponent* aOwner = nullptr);
  ~TEMIClient() override;

  // A copy of the settings; the receive path reads them too, hence the lock.
  TParams Params() const EXCLUDES(ParamsLock);
  void SetParams(const TParams& aParams) EXCLUDES(ParamsLock);
  std::string Param(std::string_view aName) const EXCLUDES(ParamsLock);
  void SetParam(std::string_view aName, std::string_view aValue) EXCLUDES(ParamsLock);

  TCommunicationConnection* ComDevice() const { return FComDevice; }
  // "Connection is active" while open.
  void SetComDevice(TCommunicationConnection* aDevice);

  int RepeatCount = 5;
  int RecTimeout = 3000;
  int ETXTimeout = 1000;
  int RepeatTimeout = 500;
  // Operations outstanding at once, 1 to 100; set while closed. At 1 each
  // attempt is followed by the fixed 200 ms pause; above 1 there is none.
  int Window = 1;
  // Submits (operation 51) started per second, spread evenly; 0 for no
  // limit. A late timer is made up for, so one more may fall within some
  // second.
  int MaxSubmitsPerSecond = 0;

  TBusyChanged OnBusyChanged;
  TRxCharEvent OnRxChar;
  TRxCommandEvent OnRxCommand;
  // Fires on the transport's reader thread.
  TRxCommandBeforeAcknowledgeEvent OnRxCommandBeforeAcknowledge;

  // Sends one operation and waits for its answer: true for an ACK, false for
  // a NAK (NakCode() then tells the code); aAnswer gets the answer's data
  // part. aRepeats 0 means RepeatCount; at least one attempt is made, every
  // one with the same aTRN. Only a result with this OT and TRN is claimed; an
  // attempt ends early only when it is queued. Raises EEMIError -1 'Expected
  // server answer is "ACK" or "NAK"', the transport's error when a write
  // fails, and EConnectError "Connection is inactive" when the transport
  // closes while the operation waits.
  bool SendCommand(uint8_t aOT, uint8_t aTRN, const std::string& aData, std::string& aAnswer,
                   int aRepeats = 0);
  // Starts one operation and returns at once; aDone runs later on the main
  // thread with its one result, never from inside this call. The operation
  // waits for room in the window, then takes the next free TRN (or aTRN, when
  // given). aRepeats 0 means RepeatCount. Raises only when the busy handler
  // does, or EConnectError "Connection is inactive" when closed and not
  // opening. Main thread.
  void StartCommand(uint8_t aOT, std::string aData, int aRepeats, TOperationDone aDone,
                    std::optional<uint8_t> aTRN = std::nullopt) {
    StartOperation(aOT, std::move(aData), aRepeats, std::move(aDone), aTRN, false);
  }
  // Operations started and not yet completed, in the window or waiting for it.
  int OperationsPending() const { return static_cast<int>(Outstanding.size() + Queued.size()); }
  // Whether another operation would be sent at once rather than wait.
  bool WindowHasRoom() const;
  // When the longest-waiting operation in the window was sent, on Clock();
  // 0 while none waits. Main thread.
  TMillis OldestOutstandingSince() const;
  // The transaction number for the next operation: 00 to 99 and round again,
  // from 00 at every open. Main thread.
  uint8_t NextTransaction();
  // Raises EEMIError with the code and its text when the last operation got a
  // NAK. Callers that can run application handlers in between should check
  // their own answer with RaiseIfRefused() instead.
  void CheckAnswer();
  // Raises EEMIError for a refused answer (aAck false) with the code of its
  // data part aAnswer; a code without a text still gets a message naming it.
  static void RaiseIfRefused(bool aAck, const std::string& aAnswer);
  void SendDatagram(uint8_t aOT, uint8_t aTRN, bool aResult, const std::string& aData);
  void DispatchReceived(bool aChars, bool aCommands);

  // Opens without holding the main thread: the before-open event, the
  // receive path, the transport's own StartOpen when it is not open yet, the
  // settling pause, and the login (or, without USER, the keep-alive) as a
  // request. aDone runs later on the main thread, exactly once: with nullptr
  // once open (after the after-open event), or with the failure, the engine
  // closed again. Closing the engine meanwhile ends it at once, from inside
  // the close, with EOpenCancelled (destroying it, without a call). Raises
  // what the before-open event raises, and "Connection is active" while open
  // or opening. Open() is the blocking form.
  using TOpenDone = TCommunicationConnection::TOpenDone;
  void StartOpen(TOpenDone aDone);
  bool Opening() const { return static_cast<bool>(SessionDone); }

  // Session operations.
  bool CheckAlive();
  // The keep-alive as a request: aDone(true) when it was answered as
  // CheckAlive would count it alive. Never raises; while closed aDone(false)
  // runs on the next turn of the main thread.
  void StartCheckAlive(std::function<void(bool aAlive)> aDone);
  std::string OwnAddress() const;
  // Submits a short message; returns the SMSC's time stamp (0 when none).
  TDateTime SubmitMessage(const std::string& DA, const std::string& Msg, bool Binary, uint8_t MCLs,
                          uint8_t PID, uint8_t NT, uint8_t RPI, TDateTime VP);
  // The submit as a request; its fields and checks are those of
  // SubmitMessage, whose errors it raises at once for what is wrong before
  // sending (closed, a message too long for a frame).
  using TSubmitDone = std::function<void(const TOperationResult& aResult, TDateTime aSCTS)>;
  void StartSubmit(const std::string& DA, const std::string& Msg, bool Binary, uint8_t MCLs,
                   uint8_t PID, uint8_t NT, uint8_t RPI, TDateTime VP, TSubmitDone aDone);

  int RxQueueCount() const EXCLUDES(RxLock);
  // Received characters kept for OnRxChar: none while no handler is assigned
  // (as of the last open or dispatch), at most kMaxRxChars otherwise.
  std::size_t RxCharsPending() const EXCLUDES(RxLock);
  static constexpr std::size_t kMaxRxChars = 64 * 1024;
  // When the SMSC was last heard from, on Clock().
  TMillis LastActivity() const { return FLastActivity.load(); }
  int NakCode() const { return FNakCode; }
  void BeginBusy();
  void EndBusy();

  // The time, pauses and waits of the engine; the system clock unless set.
  // Set before opening; it must outlive the engine. A backlog pause ends
  // early once the application has caught up, and is not taken while closing
  // or while an operation waits.
  void SetClock(IClock& aClock);
  IClock& Clock() const { return *FClock; }

  static uint8_t Checksum(std::string_view aText) { return qorvel::Checksum(aText); }
  static bool ParseDatagram(std::string_view aBody, TDatagram& aOut) {
    return qorvel::ParseDatagram(aBody, aOut);
  }

 protected:
  void DoOpen() override;
  void DoClose() override;
  void DoCancelOpen() override;
  void DoFormatLog(uint8_t aChannel, std::string& aText) override;

  virtual void Acknowledge(uint8_t aOT, uint8_t aTRN, bool aResult);
  virtual void DoRxCommandBeforeAcknowledge(uint8_t aOT, uint8_t aTRN, bool aResult,
                                            const std::string& aData, bool& aProcessed);
  virtual void DoBusyChanged(bool aBusy);
  virtual void DoRxChar(char aChar);
  virtual void DoRxCommand(uint8_t aOT, uint8_t aTRN, bool aResult, const std::string& aData);
  virtual bool KeepAlive();

 private:
  struct TQueued {
    uint64_t Id;
    std::string Body;
    uint8_t OT = 0;
    uint8_t TRN = 0;
    bool Result = false;
  };
  struct TOwnAnswer {
    bool Found = false;
    bool Ack = false;
    int Code = 0;
    std::string Text;
  };
  class TReceiveSink;
  friend class TEMIAsyncThread;

  // The steps of opening a session, shared by Open and StartOpen.
  void BeginSession(TOpenDone aDone);
  void SessionTransportOpened(std::exception_ptr aFailure);
  void SessionSettled();
  void SessionAnswered(const TOperationResult& aResult, bool aLogin);
  void EndSession(std::exception_ptr aFailure);
  // One operation from its start to its completion (emi_operations.cpp).
  struct TOperation {
    uint64_t Id = 0;
    uint8_t OT = 0;
    // When it entered the window, on the engine's clock.
    TMillis Sent = 0;
    std::optional<uint8_t> FixedTRN;
    uint8_t TRN = 0;
    std::string Data;
    int AttemptsLeft = 1;
    int Overloads = 0;
    // Written to the link in some attempt; its answer may come.
    bool Written = false;
    // Written in this attempt and not yet answered or timed out.
    bool Waiting = false;
    TTimerId Timer = 0;
    std::optional<TOwnAnswer> Answer;
    TOperationDone Done;
    // A blocking form waits: a failing busy handler reaches its caller.
    bool Blocking = false;
  };
  void StartOperation(uint8_t aOT, std::string aData, int aRepeats, TOperationDone aDone,
                      std::optional<uint8_t> aTRN, bool aBlocking);
  void CheckLink();
  void Pump();
  std::optional<uint8_t> FreeTransaction() const;
  void StartAttempt(TOperation& aOp);
  void AttemptEnded(TOperation& aOp);
  void AfterAttemptPause(TOperation& aOp);
  void Answered(TOperation& aOp, TOwnAnswer aAnswer);
  void Complete(TOperation& aOp, TOperationResult aResult);
  // Completes every operation with a failure: aWritten for those that
  // reached the link, aUnwritten for the others.
  void FailAll(const std::exception_ptr& aWritten, const std::exception_ptr& aUnwritten);
  void FailAllOnClose();
  void LinkLostNow();
  void CompleteFinished();
  // Takes the queued answers to outstanding operations out of RxQueue.
  void ClaimAnswers() EXCLUDES(RxLock);
  TOperation* FindOutstanding(uint8_t aOT, uint8_t aTRN);
  void Arm(TOperation& aOp, int aDelay, void (TEMIClient::*aStep)(TOperation&));
  void RunUntil(const std::function<bool()>& aDone);
  void EndBusyReporting() noexcept;
  void ComDeviceRxChar(TComponent* Sender, int Count);
  void ReceiveChunk(const std::string& aChunk);
  // Logging never stops traffic: a failure is reported once per open.
  void LogTraffic(uint8_t aChannel, std::string_view aText) noexcept;
  // A backlog pause on the reader thread; see SetClock.
  void ThrottlePause(int aMilliseconds, int aBelow) EXCLUDES(RxLock);
  bool ThrottleReleased(int aBelow) const EXCLUDES(RxLock);
  void ReceiveDatagram(std::string_view aBody);
  std::string LoginData() const;
  // The fields joined into a data part; raises EEMIError when a field's text
  // would add, end or shift a field, or cut the frame.
  static std::string CheckedFields(uint8_t aOT, const std::vector<std::string>& aFields);
  // The keep-alive that SMT_KEEPALIVE_CMD asks for: its OT and data part, or
  // none for a kind that sends nothing.
  static std::optional<std::pair<uint8_t, std::string>> KeepAliveOperation(
      int aKind, const std::string& aOwnAddress, const TParams& aParams);
  std::string SubmitData(const std::string& DA, const std::string& Msg, bool Binary, uint8_t MCLs,
                         uint8_t PID, uint8_t NT, uint8_t RPI, TDateTime VP) const;
  bool IsSmscKeepAlive(uint8_t aOT, const std::string& aData) const;
  int ParamNumber(std::string_view aName, int aDefault) const;
  // Removes a claimed or dispatched entry, wherever it now stands.
  void RemoveQueued(uint64_t aId) EXCLUDES(RxLock);

  TCommunicationConnection* FComDevice = nullptr;
  IClock* FClock = &SystemClock();

  mutable TMutex ParamsLock;
  TParams FParams GUARDED_BY(ParamsLock);

  int BusyCount = 0;
  TMutex TransmitterLock;
  int SendCount GUARDED_BY(TransmitterLock) = 0;
  std::atomic<bool> FrameInProgress{false};
  bool Dispatching = false;
  std::atomic<TMillis> FrameStart{0};
  uint8_t FNextTRN = 0;

  mutable TMutex RxLock ACQUIRED_BEFORE(TransmitterLock);
  std::string RxChars GUARDED_BY(RxLock);
  // Characters ever removed from the front of RxChars, so that a dispatch
  // removes only what it reported even when the bound trimmed meanwhile.
  uint64_t RxCharsRemoved GUARDED_BY(RxLock) = 0;
  std::atomic<bool> RxCharsWanted{false};
  std::deque<TQueued> RxQueue GUARDED_BY(RxLock);
  uint64_t NextQueueId GUARDED_BY(RxLock) = 0;
  // Only the reader thread touches the assembly buffer, and opening while no
  // reception runs.
  TFrameAssembler RxBuffer;
  TManualEvent AnswerEvent;
  // Set when the backlog shrinks, an operation starts waiting, or closing
  // begins: each may end a backlog pause.
  TManualEvent ThrottleEvent;

  TCommRxCharEvent SavedRxChar;
  bool SavedActive = false;
  bool HandlerInstalled = false;
  // Receive handler calls in progress; closing waits for them to return.
  std::atomic<int> ReceiversRunning{0};
  // Cleared when closing begins: the handler then stops where it stands.
  std::atomic<bool> Receiving{false};
  std::atomic<bool> LogFailureReported{false};

  int FNakCode = 0;
  bool FLastWasNak = false;

  // Main thread only: the operations and their window.
  std::vector<std::unique_ptr<TOperation>> Outstanding;
  std::deque<std::unique_ptr<TOperation>> Queued;
  // Completed operations whose completion has yet to run.
  struct TFinished {
    TOperationDone Done;
    TOperationResult Result;
    bool Blocking = false;
  };
  std::vector<TFinished> Finished;
  uint64_t NextOperationId = 0;
  // TRNs of timed-out operations, until their late answers can no longer
  // come: TRN -> when it may be used again.
  std::map<uint8_t, TMillis> QuietTransactions;
  // The window in use: Window, narrowed while the SMSC reports overload.
  int EffectiveWindow = 1;
  int AnswersSinceNarrowed = 0;
  // No operation is sent before then: after an overload, and to pace submits.
  TMillis HoldUntil = 0;
  double NextSubmitAt = 0;
  TTimerId PumpTimer = 0;
  TTimerId CompletionTimer = 0;
  TTimerId LinkCheckTimer = 0;
  // While failing the whole window nothing new is started.
  bool PumpHeld = false;
  // Received operations held back at Window 1 are being handed over.
  bool ReleasingHeld = false;
  // Set on the reader thread when the transport reports the link's loss.
  std::atomic<bool> LinkLostReported{false};
  std::atomic<TMillis> FLastActivity{0};

  // Main thread only: the session being opened, and its pending step.
  TOpenDone SessionDone;
  uint64_t SessionId = 0;
  TTimerId SessionTimer = 0;
  bool Settling = false;

  std::unique_ptr<TEMIAsyncThread> AsyncThread;
};

}  // namespace qorvel
