#pragma once
// TEMIClient speaks EMI to the SMSC over a byte-stream transport that it is
// given (ComDevice) and does not own. While open it takes over the transport's
// receive notification: frames are assembled, validated, acknowledged and
// queued on the transport's reader thread, so that answers arrive while the
// main thread is blocked in SendCommand.
//
// Threads: construction, destruction, opening, closing, every operation
// (SendCommand and what is built on it) and DispatchReceived run on the main
// thread (connect/main_thread.h). The receive handler runs on the transport's
// reader thread; the worker thread TEMIAsyncThread has the main thread run
// DispatchReceived after each reception.
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
#include <memory>
#include <string>
#include <thread>

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

  // An operation waits for its answer: the thread then dispatches characters
  // only, and the operation claims its answer and dispatches the rest itself.
  std::atomic<bool> SenderWaiting{false};

 private:
  void Execute();

  TEMIClient& Client;
  TWorkerThread Worker;  // last: its thread starts once the rest is built
};

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

  // Session operations.
  bool CheckAlive();
  std::string OwnAddress() const;
  // Submits a short message; returns the SMSC's time stamp (0 when none).
  TDateTime SubmitMessage(const std::string& DA, const std::string& Msg, bool Binary, uint8_t MCLs,
                          uint8_t PID, uint8_t NT, uint8_t RPI, TDateTime VP);

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
  };
  // The operation whose answer ends the wait of an attempt.
  struct TWaiting {
    bool Active = false;
    uint8_t OT = 0;
    uint8_t TRN = 0;
  };
  struct TOwnAnswer {
    bool Found = false;
    bool Ack = false;
    int Code = 0;
    std::string Text;
  };
  class TReceiveSink;
  friend class TEMIAsyncThread;

  void OpenSession();
  bool Attempts(uint8_t aOT, uint8_t aTRN, const std::string& aData, std::string& aAnswer,
                int aRepeats);
  void WaitForAnswer();
  TOwnAnswer ClaimAnswer(uint8_t aOT, uint8_t aTRN, uint64_t aFromId) EXCLUDES(RxLock);
  void EndBusyReporting() noexcept;
  void ComDeviceRxChar(TComponent* Sender, int Count);
  void ReceiveChunk(const std::string& aChunk);
  // Logging never stops traffic: a failure is reported once per open.
  void LogTraffic(uint8_t aChannel, std::string_view aText) noexcept;
  // A backlog pause on the reader thread; see SetClock.
  void ThrottlePause(int aMilliseconds, int aBelow) EXCLUDES(RxLock);
  bool ThrottleReleased(int aBelow) const EXCLUDES(RxLock);
  void ReceiveDatagram(std::string_view aBody);
  void Login();
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
  TWaiting Waiting GUARDED_BY(RxLock);
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
  std::atomic<TMillis> FLastActivity{0};

  std::unique_ptr<TEMIAsyncThread> AsyncThread;
};

}  // namespace qorvel
