#include "automation/auto_emi.h"

#include <algorithm>
#include <utility>

namespace qorvel {

namespace {

uint8_t Low8(int16_t aValue) {
  return static_cast<uint8_t>(static_cast<uint16_t>(aValue) & 0xFF);
}

}  // namespace

std::shared_ptr<TAutoEMI> TAutoEMI::Create(IAutoSupervisor& aSupervisor, std::string aClient) {
  std::shared_ptr<TAutoEMI> object(new TAutoEMI(aSupervisor, std::move(aClient)));
  aSupervisor.AddAutoObject(object);
  return object;
}

TAutoEMI::TAutoEMI(IAutoSupervisor& aSupervisor, std::string aClient)
    : supervisor_(aSupervisor), client_(std::move(aClient)) {}

TAutoEMI::~TAutoEMI() {
  // The supervisor's list held a reference, so it no longer lists this object;
  // only callers that still wait need their answer.
  std::vector<std::shared_ptr<TJobRequester>> waiting;
  {
    TLockGuard g(lock_);
    waiting.swap(pending_);
  }
  for (auto& requester : waiting) requester->Complete(-1, kObjectDestroyed);
}

bool TAutoEMI::Arm(const std::shared_ptr<TJobRequester>& aRequester,
                   std::function<void(const TJobRequester&)> aDone) {
  std::weak_ptr<TAutoEMI> self = weak_from_this();
  aRequester->SetOnComplete([self, done = std::move(aDone)](const TJobRequester& r) {
    if (auto object = self.lock()) object->Finished(r);
    done(r);
  });
  bool destroyed;
  {
    TLockGuard g(lock_);
    destroyed = destroyed_;
    if (!destroyed) pending_.push_back(aRequester);
  }
  if (destroyed) aRequester->Complete(-1, kObjectDestroyed);
  return !destroyed;
}

void TAutoEMI::Finished(const TJobRequester& aRequester) {
  TLockGuard g(lock_);
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const auto& p) { return p.get() == &aRequester; });
  if (it != pending_.end()) pending_.erase(it);
  FResultCode = aRequester.ResultCode();
  FResultText = aRequester.ResultText();
  if (FResultCode == 0) FResultSCTS = aRequester.ResultSCTS();
}

void TAutoEMI::Submit(const std::string& DA, const std::string& Msg, bool Binary, int16_t MCLs,
                      int16_t PID, int16_t NT, int16_t RPI, TDateTime VP, TSubmitDone aDone) {
  auto item = std::make_unique<TSubmitItem>();
  item->Source = client_;
  item->DA = DA;
  item->Msg = Msg;
  item->Binary = Binary;
  item->MCLs = Low8(MCLs);
  item->PID = Low8(PID);
  item->NT = Low8(NT);
  item->RPI = Low8(RPI);
  item->VP = VP;
  item->Requester = std::make_shared<TJobRequester>();
  bool armed = Arm(item->Requester, [done = std::move(aDone)](const TJobRequester& r) {
    done(r.ResultCode(), r.ResultText(), r.ResultSCTS(), r.HistoryId());
  });
  if (armed) supervisor_.PostJob(kJobSubmit, std::move(item));
}

void TAutoEMI::TestConnection(TTestDone aDone) {
  if (!supervisor_.EngineActive()) {
    aDone(false);
    return;
  }
  auto item = std::make_unique<TSubmitItem>();
  item->Requester = std::make_shared<TJobRequester>();
  bool armed = Arm(item->Requester, [done = std::move(aDone)](const TJobRequester& r) {
    done(r.ResultCode() == 0);
  });
  if (armed) supervisor_.PostJob(kJobTest, std::move(item));
}

bool TAutoEMI::Active() const {
  return supervisor_.EngineActive();
}

void TAutoEMI::SetActive(bool aValue) {
  supervisor_.RequestActive(aValue);
}

std::string TAutoEMI::PhoneNumber() const {
  return supervisor_.OwnAddress();
}

bool TAutoEMI::Advise(std::shared_ptr<IAutoEMIEvents> aSink) {
  TLockGuard g(lock_);
  if (EventSink || destroyed_) return false;
  EventSink = std::move(aSink);
  return true;
}

void TAutoEMI::Unadvise() {
  std::shared_ptr<IAutoEMIEvents> old;
  TLockGuard g(lock_);
  old.swap(EventSink);
}

bool TAutoEMI::Advised() const {
  TLockGuard g(lock_);
  return EventSink != nullptr;
}

void TAutoEMI::Destroy() {
  std::vector<std::shared_ptr<TJobRequester>> waiting;
  std::shared_ptr<IAutoEMIEvents> sink;
  {
    TLockGuard g(lock_);
    if (destroyed_) return;
    destroyed_ = true;
    waiting.swap(pending_);
    sink.swap(EventSink);
  }
  supervisor_.RemoveAutoObject(this);
  for (auto& requester : waiting) requester->Complete(-1, kObjectDestroyed);
}

int32_t TAutoEMI::ResultCode() const {
  TLockGuard g(lock_);
  return FResultCode;
}

std::string TAutoEMI::ResultText() const {
  TLockGuard g(lock_);
  return FResultText;
}

TDateTime TAutoEMI::ResultSCTS() const {
  TLockGuard g(lock_);
  return FResultSCTS;
}

std::shared_ptr<IAutoEMIEvents> TAutoEMI::Sink() const {
  TLockGuard g(lock_);
  return EventSink;
}

void TAutoEMI::FireDelivered(const TRetrieveDeliverySMItem& aItem) {
  if (auto sink = Sink()) {
    sink->OnDelivered(aItem.SCTS, aItem.OA, aItem.DA, aItem.Msg, aItem.Binary, aItem.MCLs,
                      aItem.PID, aItem.RPI, aItem.VP);
  }
}

void TAutoEMI::FireDeliveryNotification(const TRetrieveDeliveryNotificationItem& aItem) {
  if (auto sink = Sink()) {
    sink->OnDeliveredNotification(aItem.SCTS, aItem.OA, aItem.DA, aItem.Msg, aItem.PID,
                                  aItem.DeliveryStatus, aItem.ReasonCode, aItem.DSCTS);
  }
}

void TAutoEMI::FireActiveChanged() {
  if (auto sink = Sink()) sink->OnActiveChanged();
}

}  // namespace qorvel
