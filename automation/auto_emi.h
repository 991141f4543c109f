#pragma once
// TAutoEMI: one automation object, created for one client. It does no protocol
// work: a submit or a connection test becomes a job on the supervisor's queue,
// switching the connection leaves a request, and the supervisor's events pass
// through it to the client's sink.
//
// Threads: the client-facing members run on whatever thread delivers a call
// and never block; the outcome of a blocking call (Submit, TestConnection)
// arrives through its callback on the thread that completes the job (the
// supervisor's main thread, or the thread that destroys the object). The
// Fire… members run on the supervisor's main thread. `lock_` guards the sink,
// the pending calls and the result fields; no callback, sink call or
// supervisor call is made while it is held.
//
// Lifetime: shared. Create() puts one reference in the supervisor's list;
// Destroy() takes it out again and is the object's end as far as clients are
// concerned; the memory goes with the last reference.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/jobs.h"
#include "app/auto_supervisor.h"
#include "connect/thread_annotations.h"
#include "emi/datetime.h"

namespace qorvel {

// The client's event sink, with the events' parameters in their order. Octet
// strings stay octet strings; the bus side decides how they travel. A sink
// that cannot deliver an event throws.
class IAutoEMIEvents {
 public:
  virtual ~IAutoEMIEvents() = default;
  virtual void OnDelivered(TDateTime SCTS, const std::string& OA, const std::string& DA,
                           const std::string& Msg, bool Binary, int16_t MCLs, int16_t PID,
                           int16_t RPI, TDateTime VP) = 0;
  virtual void OnActiveChanged() = 0;
  virtual void OnDeliveredNotification(TDateTime SCTS, const std::string& OA, const std::string& DA,
                                       const std::string& Msg, int16_t PID, int16_t DeliveryStatus,
                                       int16_t ReasonCode, TDateTime DSCTS) = 0;
};

inline constexpr char kObjectDestroyed[] = "Object destroyed";

class TAutoEMI final : public IAutoObject, public std::enable_shared_from_this<TAutoEMI> {
 public:
  // Outcome of one Submit: ResultCode 0 and the SCTS, or -1 and the text;
  // either way the message's id in the history (0: none).
  using TSubmitDone = std::function<void(int32_t aCode, const std::string& aText, TDateTime aSCTS,
                                         int64_t aHistoryId)>;
  using TTestDone = std::function<void(bool aAlive)>;

  // Joins the supervisor's list, which asks for one connect. The supervisor
  // must outlive every object's Destroy(). aClient names the one client the
  // object serves (its bus connection's unique name); its submits carry it
  // as their Source.
  static std::shared_ptr<TAutoEMI> Create(IAutoSupervisor& aSupervisor, std::string aClient = {});
  ~TAutoEMI() override;
  TAutoEMI(const TAutoEMI&) = delete;
  TAutoEMI& operator=(const TAutoEMI&) = delete;

  // A second blocking call while one waits is queued behind it: each call
  // posts its own job with its own requester, the supervisor works them off
  // in order, and each callback gets its own call's outcome. After Destroy()
  // a call fails at once with "Object destroyed". aDone must not throw.
  void Submit(const std::string& DA, const std::string& Msg, bool Binary, int16_t MCLs, int16_t PID,
              int16_t NT, int16_t RPI, TDateTime VP, TSubmitDone aDone) EXCLUDES(lock_);
  // False at once, without a job, while the engine is not logged in.
  void TestConnection(TTestDone aDone) EXCLUDES(lock_);
  bool Active() const;
  void SetActive(bool aValue);
  std::string PhoneNumber() const;
  TTrafficCounts Counts() const { return supervisor_.Counts(); }
  std::string LinkState() const { return supervisor_.LinkState(); }

  // False, leaving the sink as it was, when one is already connected.
  bool Advise(std::shared_ptr<IAutoEMIEvents> aSink) EXCLUDES(lock_);
  void Unadvise() EXCLUDES(lock_);
  bool Advised() const EXCLUDES(lock_);

  // Leaves the supervisor's list, drops the sink and ends every waiting call
  // with "Object destroyed". Runs once; later calls do nothing.
  void Destroy() EXCLUDES(lock_);

  // The last finished job's outcome.
  int32_t ResultCode() const EXCLUDES(lock_);
  std::string ResultText() const EXCLUDES(lock_);
  TDateTime ResultSCTS() const EXCLUDES(lock_);

  // IAutoObject: nothing without a sink; a sink's failure propagates.
  void FireDelivered(const TRetrieveDeliverySMItem& aItem) override EXCLUDES(lock_);
  void FireDeliveryNotification(const TRetrieveDeliveryNotificationItem& aItem) override
      EXCLUDES(lock_);
  void FireActiveChanged() override EXCLUDES(lock_);

 private:
  TAutoEMI(IAutoSupervisor& aSupervisor, std::string aClient);
  // Registers a requester as waiting and arms its completion; false (and the
  // requester completed with "Object destroyed") after Destroy().
  bool Arm(const std::shared_ptr<TJobRequester>& aRequester,
           std::function<void(const TJobRequester&)> aDone) EXCLUDES(lock_);
  void Finished(const TJobRequester& aRequester) EXCLUDES(lock_);
  std::shared_ptr<IAutoEMIEvents> Sink() const EXCLUDES(lock_);

  IAutoSupervisor& supervisor_;
  const std::string client_;
  mutable TMutex lock_;
  bool destroyed_ GUARDED_BY(lock_) = false;
  std::shared_ptr<IAutoEMIEvents> EventSink GUARDED_BY(lock_);
  std::vector<std::shared_ptr<TJobRequester>> pending_ GUARDED_BY(lock_);
  int32_t FResultCode GUARDED_BY(lock_) = -1;
  std::string FResultText GUARDED_BY(lock_);
  TDateTime FResultSCTS GUARDED_BY(lock_) = 0;
};

}  // namespace qorvel
