#pragma once
// The job queue's vocabulary, shared by the connection supervisor (which works
// jobs off on the main thread) and the automation objects (which post them
// from their callers' threads and wait).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "connect/manual_event.h"
#include "connect/thread_annotations.h"
#include "emi/datetime.h"
#include "emi/items.h"

namespace qorvel {

// Where the outcome of one job goes. Shared by the poster and the queued job,
// so that it outlives whichever lets go first; one requester serves one call,
// so two calls never share a result.
//
// Any thread. Complete() takes effect once: the first completion (the
// supervisor's result, or "Object destroyed" when the object goes first) wins
// and signals CompletionEvent; later ones change nothing.
class TJobRequester {
 public:
  // 0 after success; -1 while pending and after a failure.
  int32_t ResultCode() const EXCLUDES(lock_);
  // The message of the failure.
  std::string ResultText() const EXCLUDES(lock_);
  // The service-centre time stamp of a successful submit.
  TDateTime ResultSCTS() const EXCLUDES(lock_);

  void Complete(int32_t aCode, std::string aText, TDateTime aSCTS = 0) EXCLUDES(lock_);
  bool Completed() const { return CompletionEvent.IsSet(); }
  // Waits for completion; a negative time waits without limit.
  bool Wait(int aMilliseconds = -1) { return CompletionEvent.Wait(aMilliseconds); }
  // Runs once, on the completing thread with no lock held, after the event is
  // set: a caller that must not block (a bus reply) learns the outcome here.
  // Set it before the job is posted; it must not throw.
  void SetOnComplete(std::function<void(const TJobRequester&)> aCallback) EXCLUDES(lock_);
  // The message's id in the history, set when the supervisor takes the job
  // (before completion); 0 when the history is off or the job is no submit.
  int64_t HistoryId() const { return historyId_.load(); }
  void SetHistoryId(int64_t aId) { historyId_.store(aId); }

 private:
  mutable TMutex lock_;
  int32_t resultCode_ GUARDED_BY(lock_) = -1;
  std::string resultText_ GUARDED_BY(lock_);
  TDateTime resultSCTS_ GUARDED_BY(lock_) = 0;
  bool completed_ GUARDED_BY(lock_) = false;
  std::function<void(const TJobRequester&)> onComplete_ GUARDED_BY(lock_);
  TManualEvent CompletionEvent;
  std::atomic<int64_t> historyId_{0};
};

// One request: a message to submit, or (job "TEST") only the requester.
struct TSubmitItem {
  // Who asked, for the history: the bus client's unique name (":1.42").
  std::string Source;
  std::string DA;
  std::string Msg;
  bool Binary = false;
  uint8_t MCLs = 255;
  uint8_t PID = 0;
  uint8_t NT = 0;
  uint8_t RPI = 0;
  TDateTime VP = 0;
  std::shared_ptr<TJobRequester> Requester;
};

inline constexpr char kJobSubmit[] = "SUBMIT";
inline constexpr char kJobTest[] = "TEST";

// What the supervisor needs of a live automation object. The supervisor calls
// these on the main thread, never while holding its lock, and keeps the object
// alive (shared_ptr) until the call has returned. An exception thrown by one
// object is reported and does not keep the others from their event.
class IAutoObject {
 public:
  virtual ~IAutoObject() = default;
  virtual void FireDelivered(const TRetrieveDeliverySMItem& aItem) = 0;
  virtual void FireDeliveryNotification(const TRetrieveDeliveryNotificationItem& aItem) = 0;
  virtual void FireActiveChanged() = 0;
};

}  // namespace qorvel
