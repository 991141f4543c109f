#include "app/emidm.h"

#include <QTime>
#include <algorithm>
#include <exception>

#include "config/config.h"
#include "config/settings.h"
#include "connect/errors.h"
#include "connect/frame_divide.h"
#include "emi/codec.h"
#include "emi/codes.h"
#include "emi/items.h"
#include "app/date_text.h"

namespace qorvel {

TEMIDM* EMIDM = nullptr;

namespace {

constexpr int kJobTimerMs = 200;

std::string Quoted(const std::string& aText) {
  return "\"" + aText + "\"";
}

}  // namespace

TEMIDM::TEMIDM(TIniFile aSettings, IClock& aClock, QObject* aParent)
    : QObject(aParent), settings_(std::move(aSettings)), clock_(aClock) {
  logger_ = std::make_unique<TFileTermLogger>();
  lineCom_ = std::make_unique<TClientSocketConnection>();
  emiClient_ = std::make_unique<TEMIClient>();

  logger_->SetName("Logger");
  logger_->SetAutoOpen(true);
  logger_->SetLogFlags({lfInsertChannel, lfDivideNames, lfDivideChannels, lfDivideStream});
  logger_->SetMaxLineLength(0);
  logger_->SetTermChar(true);
  logger_->SetTerminal(&trafficLink_);
  logger_->OnDivideStream = DivideAtFrameStart;

  lineCom_->SetName("LineCom");
  lineCom_->SetPort(0);
  lineCom_->BeforeOpen = [this](TConnection*) { LineComBeforeOpen(); };
  lineCom_->AfterOpen = [this](TConnection*) { LineComAfterOpen(); };
  lineCom_->BeforeClose = [this](TConnection*) { LineComBeforeClose(); };
  lineCom_->AfterClose = [this](TConnection*) { LineComAfterClose(); };

  emiClient_->SetName("EMIClient");
  emiClient_->SetLogger(logger_.get());
  emiClient_->SetLogName("EMI");
  emiClient_->SetComDevice(lineCom_.get());
  emiClient_->SetClock(clock_);
  emiClient_->RepeatCount = 2;
  emiClient_->BeforeOpen = [this](TConnection*) { EMIClientBeforeOpen(); };
  emiClient_->AfterOpen = [this](TConnection*) { EMIClientAfterOpen(); };
  emiClient_->AfterClose = [this](TConnection*) { EMIClientAfterClose(); };
  emiClient_->OnRxCommand = [this](TComponent*, uint8_t aOT, uint8_t, bool,
                                   const std::string& aData) { EMIClientRxCommand(aOT, aData); };

  timer2_ = new QTimer(this);
  timer2_->setObjectName("Timer2");
  timer2_->setInterval(kJobTimerMs);
  connect(timer2_, &QTimer::timeout, this, [this] { Timer2Timer(timer2_); });
  timer2_->start();

  EMIDM = this;
}

TEMIDM::~TEMIDM() {
  timer2_->stop();
  ShuttingDown = true;
  if (ReopenTimer != 0) clock_.Cancel(ReopenTimer);
  ConnectWaiters.clear();
  ReopenWaiters.clear();
  // Shutdown closes without events: nobody is left to hear them.
  emiClient_->BeforeOpen = nullptr;
  emiClient_->AfterOpen = nullptr;
  emiClient_->AfterClose = nullptr;
  emiClient_->OnRxCommand = nullptr;
  lineCom_->BeforeOpen = nullptr;
  lineCom_->AfterOpen = nullptr;
  lineCom_->BeforeClose = nullptr;
  lineCom_->AfterClose = nullptr;
  form_ = nullptr;
  trafficLink_.SetTarget(nullptr);
  try {
    emiClient_->Close();
    lineCom_->Close();
  } catch (...) {
  }

  std::vector<std::shared_ptr<IAutoObject>> objects;
  std::deque<std::pair<std::string, std::unique_ptr<TSubmitItem>>> jobs;
  {
    TLockGuard g(JobsLock);
    objects.swap(AutoObjects);
    jobs.swap(Jobs);
  }
  for (auto& object : objects) object.reset();
  // Queued jobs are never worked off, and those under way never end; their
  // callers must not wait for ever.
  for (auto& job : jobs)
    if (job.second && job.second->Requester) {
      RecordResult(*job.second->Requester, -1, "Object destroyed", 0, -1);
      job.second->Requester->Complete(-1, "Object destroyed");
    }
  for (TTimerId timer : RetryTimers) clock_.Cancel(timer);
  for (auto& requester : InFlight)
    if (requester) {
      RecordResult(*requester, -1, "Object destroyed", 0, -1);
      requester->Complete(-1, "Object destroyed");
    }

  if (EMIDM == this) EMIDM = nullptr;
}

void TEMIDM::SetForm(IEMIFormView* aForm) {
  form_ = aForm;
  trafficLink_.SetTarget(aForm ? &aForm->TrafficLog() : nullptr);
}

// ---- automation objects --------------------------------------------------

void TEMIDM::AddAutoObject(std::shared_ptr<IAutoObject> aObject) {
  TLockGuard g(JobsLock);
  AutoObjects.push_back(std::move(aObject));
  ++ConnectRequests;
}

void TEMIDM::RemoveAutoObject(const IAutoObject* aObject) {
  TLockGuard g(JobsLock);
  for (auto it = AutoObjects.begin(); it != AutoObjects.end(); ++it)
    if (it->get() == aObject) {
      AutoObjects.erase(it);
      return;
    }
}

void TEMIDM::RequestActive(bool aActive) {
  // A connect under way is ended as a session would be.
  const bool engineActive = EngineActive() || Connecting();
  TLockGuard g(JobsLock);
  if (aActive) {
    DisconnectRequests = 0;
    ++ConnectRequests;
  } else {
    ConnectRequests = 0;
    ReconnectPending = false;
    if (engineActive) ++DisconnectRequests;
  }
}

void TEMIDM::PostJob(std::string aName, std::unique_ptr<TSubmitItem> aItem) {
  if (history_ && aName == kJobSubmit && aItem && aItem->Requester) {
    aItem->Requester->SetHistoryId(
        history_->RecordSubmit(HistoryRecordOf(*aItem, aItem->Source.empty() ? "bus" : aItem->Source)));
  }
  {
    TLockGuard g(JobsLock);
    Jobs.emplace_back(std::move(aName), std::move(aItem));
  }
  // A caller waits for this job; the next tick may be up to 200 ms away.
  ScheduleStep();
}

void TEMIDM::ScheduleStep() {
  if (StepQueued.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        StepQueued = false;
        // Not while the window has the timer stopped for its own exchange.
        if (timer2_->isActive()) Timer2Timer(timer2_);
      },
      Qt::QueuedConnection);
}

bool TEMIDM::EngineActive() const {
  return emiClient_->Active();
}

std::string TEMIDM::OwnAddress() const {
  return emiClient_->OwnAddress();
}

TTrafficCounts TEMIDM::Counts() const {
  TTrafficCounts c;
  c.Sent = SentCount.load();
  c.Failed = FailedCount.load();
  c.Received = ReceivedCount.load();
  c.Notifications = NotifiedCount.load();
  TLockGuard g(JobsLock);
  c.Queued = static_cast<int64_t>(Jobs.size()) + InFlightCount.load();
  return c;
}

std::string TEMIDM::LinkState() const {
  TLockGuard g(JobsLock);
  return LinkStateText;
}

THistorySubmit TEMIDM::HistoryRecordOf(const TSubmitItem& aItem, std::string aSource) const {
  THistorySubmit submit = HistorySubmitOf(aItem, std::move(aSource));
  // Notifications name the recipient as the SMSC was given it.
  submit.SmscNumber = ToSmscAddress(aItem.DA, emiClient_->Params());
  return submit;
}

int64_t TEMIDM::RecordWindowSubmit(const TSubmitItem& aItem) {
  return history_ ? history_->RecordSubmit(HistoryRecordOf(aItem, "window")) : 0;
}

void TEMIDM::RecordSubmit(int64_t aHistoryId, bool aAccepted, TDateTime aSCTS,
                          const std::string& aError, int aTRN) {
  ++(aAccepted ? SentCount : FailedCount);
  if (history_ && aHistoryId != 0)
    history_->RecordSubmitResult(aHistoryId, aAccepted, aSCTS, aError, aTRN);
}

void TEMIDM::RecordResult(const TJobRequester& aRequester, int32_t aCode,
                          const std::string& aText, TDateTime aSCTS, int aTRN) {
  if (history_ && aRequester.HistoryId() != 0)
    history_->RecordSubmitResult(aRequester.HistoryId(), aCode == 0, aSCTS, aText, aTRN);
}

void TEMIDM::RefreshLinkState() {
  std::string text;
  const TMillis now = clock_.Now();
  const auto seconds = [](TMillis aMs) { return std::to_string((aMs + 999) / 1000); };
  bool armed;
  {
    TLockGuard g(JobsLock);
    armed = ReconnectPending;
  }
  if (ConnectBusy) {
    text = "Connecting to " + lineCom_->Address() + ":" + std::to_string(lineCom_->Port());
  } else if (ReopenBusy) {
    text = "Reconnecting";
  } else if (emiClient_->Active()) {
    const TMillis oldest = emiClient_->OldestOutstandingSince();
    if (oldest != 0 && now - oldest >= 1000)
      text = "Waiting for the SMSC (" + std::to_string((now - oldest) / 1000) + " s)";
    else
      text = "Connected to KESTRA since " + ConnectedSince.toStdString();
  } else if (armed && ReconnectTimeout != 0) {
    const TMillis left = std::max<TMillis>(0, int64_t{ReconnectTimeout} * 1000 - (now - LastOpen));
    text = "Reconnecting in " + seconds(left) + " s";
  } else if (ReconnectionOff) {
    text = "Reconnection off";
  } else {
    text = "Disconnected";
  }
  {
    TLockGuard g(JobsLock);
    LinkStateText = text;
  }
  if (form_) {
    form_->ShowLinkState(text);
    form_->UpdateButtons();
  }
}

bool TEMIDM::ReconnectArmed() const {
  TLockGuard g(JobsLock);
  return ReconnectPending;
}

void TEMIDM::ClearReconnectPending() {
  TLockGuard g(JobsLock);
  ReconnectPending = false;
}

std::vector<std::shared_ptr<IAutoObject>> TEMIDM::AutoObjectsCopy() const {
  TLockGuard g(JobsLock);
  return AutoObjects;
}

void TEMIDM::FireEach(const std::function<void(IAutoObject&)>& aFire) {
  for (const auto& object : AutoObjectsCopy()) {
    try {
      aFire(*object);
    } catch (const std::exception& e) {
      LogError(e.what());
    } catch (...) {
      LogError("Unknown exception");
    }
  }
}

void TEMIDM::NotifyActiveChanged() {
  FireEach([](IAutoObject& o) { o.FireActiveChanged(); });
}

// ---- handlers ------------------------------------------------------------

void TEMIDM::EMIClientBeforeOpen() {
  LastOpen = clock_.Now();
  const TIniFile& ini = settings_;
  ReconnectTimeout = Read(ini, settings::kReconnectTimeout);
  emiClient_->Window = ReadInRange(ini, settings::kWindow, 1, 100);
  emiClient_->MaxSubmitsPerSecond = ReadInRange(ini, settings::kMaxSubmitsPerSecond, 0, 100000);
  // A fresh connection for every session; the engine opens it once its
  // receive path is in place.
  lineCom_->Close();
}

void TEMIDM::EMIClientAfterOpen() {
  ConnectedSince = QTime::currentTime().toString(QStringLiteral("HH:mm"));
  ReconnectionOff = false;
  Log1("Connected to KESTRA");
  if (form_) form_->UpdateButtons();
  NotifyActiveChanged();
  TLockGuard g(JobsLock);
  ReconnectPending = false;
}

void TEMIDM::EMIClientAfterClose() {
  RefreshLinkState();
  NotifyActiveChanged();
}

void TEMIDM::LineComBeforeOpen() {
  lineCom_->SetAddress(Read(settings_, settings::kIP));
  lineCom_->SetPort(Read(settings_, settings::kPort));
  Log1("Socket opening " + lineCom_->Address() + ":" + std::to_string(lineCom_->Port()));
}

void TEMIDM::LineComAfterOpen() {
  Log1("Socket opened");
  const TIniFile& ini = settings_;
  TParams params;
  for (const std::string& line : ini.ReadSectionValues(settings::kConnectionSection))
    params.AddLine(line);
  if (params.Has("PASSWORD"))
    params.SetValue("PASSWORD", ScramblePassword(params.Value("PASSWORD")));
  emiClient_->SetParams(params);
  if (emiClient_->OwnAddress().empty()) RaiseEMIError(-1, "User and address is empty");

  logger_->SetLogFile(Read(ini, settings::kLogFile));
  Log1("Connecting to KESTRA under account " + Quoted(params.Value("USER")));
}

void TEMIDM::LineComBeforeClose() {
  Log1("Socket closing");
}

void TEMIDM::LineComAfterClose() {
  Log1("Socket closed");
}

void TEMIDM::EMIClientRxCommand(uint8_t aOT, const std::string& aData) {
  bool delivered = false;
  if (aOT == 52) {
    ++ReceivedCount;
    const std::unique_ptr<TRetrieveDeliverySMItem> item = ParseDeliveredMessage(aData);
    if (history_) history_->RecordReceived(*item);
    const std::string shown = item->Binary ? TextToHex(item->Msg) : item->Msg;
    Log1("Delivered: " + DateTimeOctets(item->SCTS) + "," + Quoted(item->OA) + "," +
         Quoted(item->DA) + ",RPI:" + std::to_string(item->RPI) + ", " + Quoted(shown));
    FireEach([&](IAutoObject& o) { o.FireDelivered(*item); });
    delivered = true;
  } else if (aOT == 53) {
    ++NotifiedCount;
    const std::unique_ptr<TRetrieveDeliveryNotificationItem> item =
        ParseDeliveryNotification(aData);
    if (history_) history_->RecordNotification(*item);
    const std::string reason = item->DeliveryStatus == 0 ? "OK" : ReasonText(item->ReasonCode);
    Log1("Notified: " + DateTimeOctets(item->SCTS) + "," + Quoted(item->OA) + "," +
         Quoted(item->DA) + "," + Quoted(item->Msg) +
         ", Status: " + CodeText(item->DeliveryStatus, DeliveryStatusTexts) + " (" + reason + ")");
    FireEach([&](IAutoObject& o) { o.FireDeliveryNotification(*item); });
  }
  if (form_) form_->ShowRxQueueCount(emiClient_->RxQueueCount());
  if (delivered) Timer2Timer(nullptr);
}

// ---- helpers -------------------------------------------------------------

void TEMIDM::Log1(const std::string& aLine) {
  if (form_) form_->StatusLog().AddLine(aLine);
}

void TEMIDM::LogError(const std::string& aMessage) {
  Log1("Error: " + aMessage);
}

}  // namespace qorvel
