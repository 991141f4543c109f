#pragma once
// TEMIDM, the connection supervisor: the one place that decides when to
// connect, disconnect, reconnect and test the session. It owns the engine, the
// TCP transport, the file logger and the 200 ms job timer, works off the job
// queue that automation objects post to, and turns received operations 52 and
// 53 into status lines and automation events.
//
// One instance, EMIDM, created on the main thread before the main window and
// destroyed after it. Everything runs on the main thread except the members
// marked "any thread", which only touch the queue and request fields under
// JobsLock. No engine call and no outgoing event is made while JobsLock is
// held.
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/auto_supervisor.h"
#include "app/jobs.h"
#include "app/log_view_link.h"
#include "app/message_store.h"
#include "config/ini_file.h"
#include "connect/clock.h"
#include "connect/file_term_logger.h"
#include "connect/thread_annotations.h"
#include "emi/emi_client.h"
#include "transport/client_socket_connection.h"
#include "app/emi_form_host.h"

namespace qorvel {

class TEMIDM : public QObject, public IEMIFormHost, public IAutoSupervisor {
  Q_OBJECT

 public:
  using TOpenDone = TCommunicationConnection::TOpenDone;
  // Creates the components from their stored settings, then DataModuleCreate.
  // aSettings is EMI.INI, read afresh at every use; aClock gives the time,
  // the supervisor's and the engine's pauses and timers, and must outlive
  // the supervisor.
  TEMIDM(TIniFile aSettings, IClock& aClock, QObject* aParent = nullptr);
  // DataModuleDestroy: closes the engine without events, destroys the live
  // automation objects' links (releasing their waiting callers) and discards
  // the queued jobs.
  ~TEMIDM() override;

  // The components (owned).
  TEMIClient& EMIClient() { return *emiClient_; }
  TClientSocketConnection& LineCom() { return *lineCom_; }
  TFileTermLogger& Logger() { return *logger_; }
  QTimer& Timer2() { return *timer2_; }

  // The main window, once it exists; until then every step returns at once.
  // Not owned; unset it (nullptr) before the window goes. Also points the
  // logger at the window's traffic pane.
  void SetForm(IEMIFormView* aForm);
  IEMIFormView* Form() const { return form_; }
  // Where every submit, its result and every message and notification
  // received are recorded, and its news; nullptr (the default) records
  // nothing. Not owned: both must outlive the supervisor. Set them before the
  // first job is posted and before the window exists.
  void SetHistory(TMessageStore* aHistory, THistoryEvents* aEvents = nullptr) {
    history_ = aHistory;
    historyEvents_ = aEvents;
  }
  // IEMIFormHost: what the History page shows.
  TMessageStore* History() override { return history_; }
  THistoryEvents* HistoryEvents() override { return historyEvents_; }

  // ---- automation objects: any thread ----
  // Appends the object and asks for one connect.
  void AddAutoObject(std::shared_ptr<IAutoObject> aObject) override EXCLUDES(JobsLock);
  void RemoveAutoObject(const IAutoObject* aObject) override EXCLUDES(JobsLock);
  // Active := true / false of an automation object.
  void RequestActive(bool aActive) override EXCLUDES(JobsLock);
  // Appends ("SUBMIT" or "TEST", item) to the queue; the item's requester is
  // completed exactly once when the job has been worked off (or the
  // supervisor goes). A job posted while the step is idle is taken at once
  // rather than at the next tick. A job whose requester was completed
  // meanwhile (its object went) is dropped unsent.
  void PostJob(std::string aName, std::unique_ptr<TSubmitItem> aItem) override EXCLUDES(JobsLock);
  // Whether the engine is logged in, and its own address.
  bool EngineActive() const override;
  std::string OwnAddress() const override;
  // Automatic reconnection is armed.
  bool ReconnectArmed() const EXCLUDES(JobsLock);
  TTrafficCounts Counts() const override EXCLUDES(JobsLock);
  // As of the last step (every 200 ms) or change of state.
  std::string LinkState() const override EXCLUDES(JobsLock);

  // ---- main thread ----
  // The job step; Sender is the timer, or nullptr after a delivered message.
  void Timer2Timer(QObject* aSender);
  void NotifyActiveChanged();

  // IEMIFormHost
  TEMIClient& Client() override { return EMIClient(); }
  const TIniFile& Settings() const override { return settings_; }
  TClientSocketConnection& Line() override { return LineCom(); }
  void ClearReconnectPending() override EXCLUDES(JobsLock);
  void StartConnect(TOpenDone aDone) override;
  // Any thread.
  bool Connecting() const override { return ConnectBusy.load() || ReopenBusy.load(); }
  void Disconnect() override;
  int64_t RecordWindowSubmit(const TSubmitItem& aItem) override;
  void RecordSubmit(int64_t aHistoryId, bool aAccepted, TDateTime aSCTS, const std::string& aError,
                    int aTRN) override;
  bool ReconnectionArmed() const override { return ReconnectArmed(); }
  // Works out the link's state afresh and shows it, with the buttons that
  // follow it. Main thread.
  void RefreshLinkState() EXCLUDES(JobsLock);

 private:
  // Handlers bound to the components.
  void EMIClientBeforeOpen();
  void EMIClientAfterOpen();
  void EMIClientAfterClose();
  void EMIClientRxCommand(uint8_t aOT, const std::string& aData);
  void LineComBeforeOpen();
  void LineComAfterOpen();
  void LineComBeforeClose();
  void LineComAfterClose();

  // Runs a step on the next turn of the event loop rather than at the next
  // tick. Any thread.
  void ScheduleStep();
  // The body of the job step, inside its error handler.
  void RunStep(bool aFromTimer);
  // Starts one job; its requester is completed exactly once, when the
  // engine's request ends (or the supervisor goes).
  void WorkOffJob(const std::string& aName, std::shared_ptr<TSubmitItem> aItem,
                  bool& aRetryAllowed);
  // One submit attempt of a job; aMayRetry allows one reconnect-and-retry.
  void SubmitAttempt(std::shared_ptr<TSubmitItem> aItem, bool aMayRetry);
  void SubmitEnded(std::shared_ptr<TSubmitItem> aItem, bool aMayRetry,
                   const TOperationResult& aResult, TDateTime aSCTS);
  // Completes a job's requester and forgets the job; a submit's result goes
  // to the history.
  void Finish(const std::shared_ptr<TJobRequester>& aRequester, int32_t aCode, std::string aText,
              TDateTime aSCTS = 0, int aTRN = -1);
  // Finish for a submit: counted as sent or failed.
  void FinishSubmit(const std::shared_ptr<TJobRequester>& aRequester, int32_t aCode,
                    std::string aText, TDateTime aSCTS = 0, int aTRN = -1);
  // The history's record of a job's result, when it has one.
  void RecordResult(const TJobRequester& aRequester, int32_t aCode, const std::string& aText,
                    TDateTime aSCTS, int aTRN);
  THistorySubmit HistoryRecordOf(const TSubmitItem& aItem, std::string aSource) const;
  void TrackInFlight(const std::shared_ptr<TJobRequester>& aRequester);
  void ConnectEnded(std::exception_ptr aFailure);
  void ReopenEnded(std::exception_ptr aFailure);
  // Ends a connect or a reopen: clears its flag, answers its waiters, and
  // shows the state that follows.
  void EndWaiting(std::atomic<bool>& aBusy, std::vector<TOpenDone>& aWaiters,
                  const std::exception_ptr& aFailure);
  static bool IsCancel(const std::exception_ptr& aFailure);
  // Closes, pauses and opens again, or arms the automatic reconnection;
  // aThen (may be empty) runs with the outcome. Joins a reopen under way.
  void Reopen(TOpenDone aThen);
  // Reopens when the socket is gone, then runs aThen; at once otherwise.
  void EnsureConnection(TOpenDone aThen);
  // Reports a failure of a connect that nobody else reports.
  TOpenDone ReportFailure();
  // The live automation objects, copied under JobsLock.
  std::vector<std::shared_ptr<IAutoObject>> AutoObjectsCopy() const EXCLUDES(JobsLock);
  // Calls aFire on every live object in creation order; one object's failure
  // is reported and does not keep the others from the event.
  void FireEach(const std::function<void(IAutoObject&)>& aFire);
  void Log1(const std::string& aLine);
  void LogError(const std::string& aMessage);

  const TIniFile settings_;
  IClock& clock_;
  // The logger's view: the window's traffic pane while there is a window.
  TLogViewLink trafficLink_;
  std::unique_ptr<TFileTermLogger> logger_;
  std::unique_ptr<TClientSocketConnection> lineCom_;
  std::unique_ptr<TEMIClient> emiClient_;
  QTimer* timer2_ = nullptr;
  IEMIFormView* form_ = nullptr;
  TMessageStore* history_ = nullptr;
  THistoryEvents* historyEvents_ = nullptr;

  mutable TMutex JobsLock;
  std::vector<std::shared_ptr<IAutoObject>> AutoObjects GUARDED_BY(JobsLock);
  std::deque<std::pair<std::string, std::unique_ptr<TSubmitItem>>> Jobs GUARDED_BY(JobsLock);
  int ConnectRequests GUARDED_BY(JobsLock) = 0;
  int DisconnectRequests GUARDED_BY(JobsLock) = 0;
  bool ReconnectPending GUARDED_BY(JobsLock) = false;
  TMillis LastOpen = 0;
  int ReconnectTimeout = 60;
  bool JobsBusy = false;
  // Requesters of jobs the engine is working on, and the timers of retries
  // not yet started: the supervisor's end answers and cancels them.
  std::vector<std::shared_ptr<TJobRequester>> InFlight;
  // InFlight's size, for Counts on any thread.
  std::atomic<int64_t> InFlightCount{0};
  std::vector<TTimerId> RetryTimers;
  bool KeepAliveRunning = false;
  // A connect under way and those waiting for it; a reopen (its pause, then
  // its connect) and those waiting for that.
  // Read on any thread (RequestActive), written on the main thread.
  std::atomic<bool> ConnectBusy{false};
  std::vector<TOpenDone> ConnectWaiters;
  std::atomic<bool> ReopenBusy{false};
  std::vector<TOpenDone> ReopenWaiters;
  TTimerId ReopenTimer = 0;
  // Set at destruction: the ends of connects are no longer reported.
  bool ShuttingDown = false;
  // A reopen failed with automatic reconnection off: the link stays down.
  bool ReconnectionOff = false;
  QString ConnectedSince;
  std::atomic<int64_t> SentCount{0}, FailedCount{0}, ReceivedCount{0}, NotifiedCount{0};
  std::string LinkStateText GUARDED_BY(JobsLock) = "Disconnected";
  // A step is queued on the event loop for a freshly posted job.
  std::atomic<bool> StepQueued{false};
};

// The one instance, set while it exists.
extern TEMIDM* EMIDM;

}  // namespace qorvel
