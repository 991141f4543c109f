#include "tools/smsc/smsc_simulator.h"

#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "emi/codec.h"

namespace qorvel {

namespace {

constexpr int kLoginOT = 60;
constexpr int kAlertOT = 31;
constexpr int kSubmitOT = 51;
constexpr int kDeliverOT = 52;
constexpr int kNotificationOT = 53;

constexpr int kSyntaxError = 2;
constexpr int kNotSupported = 3;
constexpr int kNotAllowed = 4;
constexpr int kCallBarred = 5;
constexpr int kAuthenticationFailure = 7;

const char* StatusText(TDeliveryStatus aStatus) {
  switch (aStatus) {
    case TDeliveryStatus::Delivered:
      return "has been delivered";
    case TDeliveryStatus::Buffered:
      return "has been buffered";
    case TDeliveryStatus::NotDelivered:
      return "could not be delivered";
  }
  return "";
}

}  // namespace

class TSmscSimulator::TReceiver : public TFrameAssembler::Sink {
 public:
  explicit TReceiver(TSmscSimulator& aOwner) : owner_(aOwner) {}
  void OnFrame(std::string_view frame) override { owner_.OnFrameRead(frame); }
  void OnBadFrame(std::string_view message) override { owner_.OnBadFrameRead(message); }
  void OnDatagram(std::string_view body) override { owner_.OnDatagramRead(body); }

 private:
  TSmscSimulator& owner_;
};

TSmscSimulator::TSmscSimulator(TSmscConfig aConfig)
    : config_(std::move(aConfig)), listen_(ListenTcp(config_.Address, config_.Port)) {
  port_ = BoundPort(listen_.Get());
  thread_ = std::thread([this] { Run(); });
}

TSmscSimulator::~TSmscSimulator() {
  Stop();
}

void TSmscSimulator::Stop() {
  {
    TLockGuard lock(mu_);
    stop_ = true;
  }
  wake_.Notify();
  if (thread_.joinable()) thread_.join();
}

// --- Behaviour --------------------------------------------------------------

void TSmscSimulator::AddRule(int aOT, TAnswerRule aRule) {
  if (aRule.Times == 0) return;
  TLockGuard lock(mu_);
  rules_[aOT].push_back(std::move(aRule));
}

void TSmscSimulator::ClearRules() {
  TLockGuard lock(mu_);
  rules_.clear();
}

void TSmscSimulator::NakOperation(int aOT, int aCode, int aTimes) {
  TAnswerRule rule;
  rule.NakCode = ErrorCodeText(aCode);
  rule.Times = aTimes;
  AddRule(aOT, std::move(rule));
}

void TSmscSimulator::SetNotDeliveredShare(double aShare) {
  TLockGuard g(mu_);
  notDeliveredShare_ = aShare;
}

void TSmscSimulator::DelayAnswers(int aOT, std::chrono::milliseconds aDelay, int aTimes) {
  TAnswerRule rule;
  rule.Delay = aDelay;
  rule.Times = aTimes;
  AddRule(aOT, std::move(rule));
}

void TSmscSimulator::WithholdAnswers(int aOT, int aTimes) {
  TAnswerRule rule;
  rule.Withhold = true;
  rule.Times = aTimes;
  AddRule(aOT, std::move(rule));
}

void TSmscSimulator::AnswerTwice(int aOT, int aTimes) {
  TAnswerRule rule;
  rule.Copies = 2;
  rule.Times = aTimes;
  AddRule(aOT, std::move(rule));
}

std::optional<TAnswerRule> TSmscSimulator::TakeRule(int aOT) {
  auto it = rules_.find(aOT);
  if (it == rules_.end() || it->second.empty()) return std::nullopt;
  TAnswerRule& rule = it->second.front();
  TAnswerRule taken = rule;
  if (rule.Times > 0 && --rule.Times == 0) it->second.pop_front();
  return taken;
}

// --- Frames the simulator originates ----------------------------------------

std::string TSmscSimulator::MakeFrame(int aOT, int aTRN, bool aResult, std::string_view aData) {
  std::optional<std::string> frame = ComposeFrame(aOT, aTRN, aResult, aData);
  if (!frame) {
    const char* why = ComposeFrameError(aOT, aTRN, aData);
    throw std::invalid_argument(why ? why : "frame cannot be composed");
  }
  return *frame;
}

int TSmscSimulator::TakeTRN() {
  int trn = trn_;
  trn_ = (trn_ + 1) % 100;
  return trn;
}

int TSmscSimulator::NextTRN() {
  TLockGuard lock(mu_);
  return TakeTRN();
}

std::string TSmscSimulator::OperationFrame(int aOT, std::string_view aData) {
  int trn = TakeTRN();
  std::string frame = MakeFrame(aOT, trn, false, aData);
  awaitingAnswer_.emplace(aOT, trn);
  return frame;
}

std::string TSmscSimulator::DeliverFrame(const TMobileMessage& aMessage) {
  TLockGuard lock(mu_);
  TMobileMessage message = aMessage;
  if (message.SCTS.empty()) message.SCTS = FormatStamp(NextStamp(message.OA));
  return OperationFrame(kDeliverOT, DeliverData(message));
}

std::string TSmscSimulator::KeepAliveFrame() {
  TMobileMessage message;
  message.OA = config_.KeepAliveOA;
  message.DA = config_.KeepAliveDA;
  message.Msg = config_.KeepAliveText;
  return DeliverFrame(message);
}

TCivilSeconds TSmscSimulator::NextStamp(const std::string& aAddress) {
  const TCivilSeconds now = config_.Clock();
  // A stamp older than the clock can no longer collide; forgetting them keeps
  // a run over many recipients small. Pruning at a doubling size keeps the
  // cost per stamp constant when every one is recent.
  if (lastStamps_.size() >= pruneStampsAt_) {
    std::erase_if(lastStamps_, [now](const auto& entry) { return entry.second < now; });
    pruneStampsAt_ = std::max<std::size_t>(1024, 2 * lastStamps_.size());
  }
  auto [it, added] = lastStamps_.try_emplace(aAddress, now);
  if (!added) it->second = std::max(now, it->second + 1);
  return it->second;
}

void TSmscSimulator::Queue(TOutgoing aItem) {
  aItem.Seq = ++seq_;
  auto later = [](const TOutgoing& a, const TOutgoing& b) {
    return a.Due != b.Due ? a.Due < b.Due : a.Seq < b.Seq;
  };
  outbox_.insert(std::upper_bound(outbox_.begin(), outbox_.end(), aItem, later), std::move(aItem));
}

void TSmscSimulator::Send(std::string aBytes, std::chrono::milliseconds aDelay) {
  {
    TLockGuard lock(mu_);
    TOutgoing item;
    item.Due = TClock::now() + aDelay;
    item.Bytes = std::move(aBytes);
    Queue(std::move(item));
  }
  wake_.Notify();
}

void TSmscSimulator::SendTogether(const std::vector<std::string>& aFrames) {
  std::string all;
  for (const std::string& frame : aFrames) all += frame;
  Send(std::move(all));
}

void TSmscSimulator::SendInPieces(std::string_view aBytes, std::size_t aPieceSize,
                                  std::chrono::milliseconds aPause) {
  if (aPieceSize == 0) aPieceSize = 1;
  {
    TLockGuard lock(mu_);
    TClock::time_point due = TClock::now();
    for (std::size_t at = 0; at < aBytes.size(); at += aPieceSize) {
      TOutgoing item;
      item.Due = due;
      item.Bytes = std::string(aBytes.substr(at, aPieceSize));
      Queue(std::move(item));
      due += aPause;
    }
  }
  wake_.Notify();
}

void TSmscSimulator::SendDeliver(const TMobileMessage& aMessage) {
  Send(DeliverFrame(aMessage));
}

void TSmscSimulator::SendKeepAlive() {
  Send(KeepAliveFrame());
}

void TSmscSimulator::SendBad(TBadFrameKind aKind) {
  TMobileMessage message;
  message.OA = "0612345678";
  message.DA = config_.Account;
  message.Msg = "bad";
  // A broken frame is not an operation the client can acknowledge, so it takes
  // no TRN from the sequence.
  Send(BadFrame(aKind, MakeFrame(kDeliverOT, 99, false, DeliverData(message))));
}

void TSmscSimulator::Drop(std::chrono::milliseconds aDelay) {
  {
    TLockGuard lock(mu_);
    TOutgoing item;
    item.Due = TClock::now() + aDelay;
    item.Drop = true;
    Queue(std::move(item));
  }
  wake_.Notify();
}

// --- The simulator's thread -------------------------------------------------

void TSmscSimulator::Emit(TSmscTraffic aKind, std::string_view aText) const {
  if (!config_.OnTraffic) return;
  try {
    config_.OnTraffic(aKind, aText);
  } catch (...) {
    // An observer's failure must not stop the centre.
  }
}

void TSmscSimulator::Run() {
  try {
    Serve();
  } catch (const std::exception& e) {
    Emit(TSmscTraffic::Event, std::string("simulator stopped: ") + e.what());
  } catch (...) {
    Emit(TSmscTraffic::Event, "simulator stopped");
  }
  if (client_.Valid()) CloseClient("simulator stopping");
}

void TSmscSimulator::Serve() {
  for (;;) {
    {
      TLockGuard lock(mu_);
      if (stop_) return;
    }
    std::optional<std::chrono::milliseconds> wait;
    if (!closeWhenFlushed_) wait = UntilNextDue();
    pollfd fds[3] = {{wake_.ReadFd(), POLLIN, 0}, {listen_.Get(), POLLIN, 0}, {-1, POLLIN, 0}};
    nfds_t count = 2;
    if (client_.Valid()) {
      fds[2].fd = client_.Get();
      if (!unsent_.empty()) fds[2].events |= POLLOUT;
      count = 3;
    }
    int timeout = wait ? static_cast<int>(std::min<int64_t>(wait->count(), 1000)) : 1000;
    int ready = ::poll(fds, count, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    if (fds[0].revents) wake_.Drain();
    if (fds[1].revents & POLLIN) AcceptClient();
    // A client accepted just now replaces the one polled: its readiness says
    // nothing about the new descriptor.
    const bool samePolled = count == 3 && client_.Valid() && client_.Get() == fds[2].fd;
    if (samePolled && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) ReadClient();
    if (samePolled && client_.Valid() && (fds[2].revents & POLLOUT)) Flush();
    WriteDue();
  }
}

std::optional<std::chrono::milliseconds> TSmscSimulator::UntilNextDue() const {
  TLockGuard lock(mu_);
  if (outbox_.empty()) return std::nullopt;
  auto left = outbox_.front().Due - TClock::now();
  if (left <= TClock::duration::zero()) return std::chrono::milliseconds(0);
  // Rounded up, so that the write is never attempted before it is due.
  return std::chrono::ceil<std::chrono::milliseconds>(left);
}

void TSmscSimulator::AcceptClient() {
  TFileDescriptor fd = AcceptConnection(listen_.Get());
  if (!fd.Valid()) return;
  if (client_.Valid()) CloseClient("replaced by a new connection");
  ::fcntl(fd.Get(), F_SETFL, ::fcntl(fd.Get(), F_GETFL) | O_NONBLOCK);
  client_ = std::move(fd);
  hangingUp_ = false;
  assembler_.Clear();
  pendingFrame_.reset();
  int number;
  {
    TLockGuard lock(mu_);
    number = ++connections_;
    current_ = number;
    loggedIn_ = false;
  }
  changed_.notify_all();
  Emit(TSmscTraffic::Event, "client connected (connection " + std::to_string(number) + ")");
  if (config_.KeepAliveOnAccept) SendKeepAlive();
}

void TSmscSimulator::CloseClient(std::string_view aWhy) {
  client_.Reset();
  unsent_.clear();
  closeWhenFlushed_ = false;
  hangingUp_ = false;
  assembler_.Clear();
  pendingFrame_.reset();
  {
    TLockGuard lock(mu_);
    current_ = 0;
    loggedIn_ = false;
  }
  changed_.notify_all();
  Emit(TSmscTraffic::Event, std::string("connection closed: ") + std::string(aWhy));
}

void TSmscSimulator::ReadClient() {
  std::string chunk;
  switch (ReadSome(client_.Get(), chunk)) {
    case TReadResult::Data: {
      TReceiver receiver(*this);
      assembler_.Feed(chunk, receiver);
      return;
    }
    case TReadResult::Closed:
      CloseClient("the client closed it");
      return;
    case TReadResult::Failed:
      CloseClient("read failed");
      return;
  }
}

void TSmscSimulator::WriteDue() {
  std::vector<std::string> taken;
  {
    TLockGuard lock(mu_);
    TClock::time_point now = TClock::now();
    while (!closeWhenFlushed_ && !outbox_.empty() && outbox_.front().Due <= now) {
      TOutgoing item = std::move(outbox_.front());
      outbox_.pop_front();
      // An answer belongs to the connection its operation came on.
      if (!client_.Valid() || (item.Connection != 0 && item.Connection != current_)) continue;
      if (item.Drop) {
        closeWhenFlushed_ = true;
        break;
      }
      if (item.LateOT >= 0) {
        // A client's over-long addresses can make a notification too long
        // for a frame: it is not sent, and the centre goes on.
        if (ComposeFrameError(item.LateOT, 0, item.Bytes) != nullptr) continue;
        item.Bytes = OperationFrame(item.LateOT, item.Bytes);
      }
      if (item.Final == TDeliveryStatus::Delivered) ++counts_.NotifiedDelivered;
      if (item.Final == TDeliveryStatus::NotDelivered) ++counts_.NotifiedFailed;
      unsent_ += item.Bytes;
      sent_.push_back(item.Bytes);
      taken.push_back(std::move(item.Bytes));
    }
  }
  if (!taken.empty()) changed_.notify_all();
  for (const std::string& bytes : taken) Emit(TSmscTraffic::Sent, bytes);
  Flush();
}

void TSmscSimulator::Flush() {
  if (!client_.Valid()) return;
  if (!unsent_.empty() && WriteSome(client_.Get(), unsent_) == TWriteResult::Failed) {
    CloseClient("write failed");
    return;
  }
  if (unsent_.empty() && closeWhenFlushed_) CloseClient("dropped on purpose");
}

// --- Reading and answering --------------------------------------------------

void TSmscSimulator::OnFrameRead(std::string_view aFrame) {
  if (hangingUp_) return;
  pendingFrame_ = std::string(aFrame);
  Emit(TSmscTraffic::Received, aFrame);
}

void TSmscSimulator::OnBadFrameRead(std::string_view aMessage) {
  if (hangingUp_) return;
  TReceivedFrame frame;
  frame.Frame = pendingFrame_.value_or(std::string());
  pendingFrame_.reset();
  frame.Error = std::string(aMessage);
  Emit(TSmscTraffic::Event, "rejected: " + frame.Error);
  {
    TLockGuard lock(mu_);
    frame.Connection = current_;
    received_.push_back(std::move(frame));
  }
  changed_.notify_all();
}

void TSmscSimulator::OnDatagramRead(std::string_view aBody) {
  // A centre that is closing the connection processes nothing that follows
  // on it, not even what came in the same read.
  if (hangingUp_) return;
  TReceivedFrame frame;
  frame.Frame = pendingFrame_.value_or(std::string());
  pendingFrame_.reset();
  TDatagram datagram;
  if (ParseDatagram(aBody, datagram)) {
    frame.Valid = true;
    frame.OT = datagram.OT;
    frame.TRN = datagram.TRN;
    frame.Result = datagram.Result;
    frame.Data = std::move(datagram.Data);
    frame.Fields = SplitDataFields(frame.Data);
  } else {
    frame.Error = "TRN or OT is not a number";
    Emit(TSmscTraffic::Event, "rejected: " + frame.Error);
  }
  {
    TLockGuard lock(mu_);
    frame.Connection = current_;
    if (frame.Valid && frame.Result) {
      TClientAnswer answer{frame.OT, frame.TRN, frame.Data, false};
      auto it = awaitingAnswer_.find({frame.OT, frame.TRN});
      if (it != awaitingAnswer_.end()) {
        awaitingAnswer_.erase(it);
        answer.Matched = true;
      }
      answers_.push_back(std::move(answer));
    } else if (frame.Valid) {
      Answer(frame);
    }
    received_.push_back(std::move(frame));
  }
  changed_.notify_all();
}

void TSmscSimulator::Answer(const TReceivedFrame& aFrame) {
  TClock::time_point now = TClock::now();
  bool refuse = false, late = false;
  TFate fate;
  if (aFrame.OT == kSubmitOT) {
    ++counts_.Received;
    // Both drawn for every submit, so that one share does not move the other.
    refuse = Draw(faults_) < config_.NakShare;
    late = Draw(faults_) < config_.LateShare;
    fate = DrawFate();
    if (++submitsRead_ == config_.DropAfter) {
      hangingUp_ = true;
      TOutgoing item;
      item.Due = now;
      item.Connection = aFrame.Connection;
      item.Drop = true;
      Queue(std::move(item));
      return;
    }
  }
  // A header that reads as a TRN or OT beyond two digits cannot be repeated
  // in an answer; composing one would throw and stop the centre.
  if (ComposeFrameError(aFrame.OT, aFrame.TRN, {}) != nullptr) return;
  TAnswerRule how;
  TClock::duration shuffle{0};
  if (Overloaded(aFrame, now)) {
    // Said at once: holding it back would only keep the window full.
    how.NakCode = ErrorCodeText(kNotAllowed);
  } else {
    how = TakeRule(aFrame.OT).value_or(TAnswerRule{});
    if (refuse && !how.NakCode) how.NakCode = ErrorCodeText(kCallBarred);
    if (late) how.Delay += config_.LateBy;
    if (config_.ShuffleWithin > decltype(config_.ShuffleWithin)::zero()) {
      auto within = std::chrono::duration_cast<std::chrono::microseconds>(config_.ShuffleWithin);
      shuffle = std::chrono::microseconds(shuffle_() % (within.count() + 1));
    }
  }
  for (const std::string& bytes : how.SendBefore) {
    TOutgoing item;
    item.Due = now;
    item.Connection = aFrame.Connection;
    item.Bytes = bytes;
    Queue(std::move(item));
  }
  if (how.Withhold) return;
  TClock::time_point due = now + how.Delay + shuffle;
  if (how.Drop) {
    TOutgoing item;
    item.Due = due;
    item.Connection = aFrame.Connection;
    item.Drop = true;
    item.Answers = true;
    Queue(std::move(item));
    return;
  }
  std::optional<TCivilSeconds> acceptedSCTS;
  std::string data =
      how.NakCode ? NakData(*how.NakCode, how.NakText) : DefaultAnswer(aFrame, acceptedSCTS);
  std::string frame = MakeFrame(aFrame.OT, aFrame.TRN, true, data);
  for (int copy = 0; copy < std::max(how.Copies, 1); ++copy) {
    TOutgoing item;
    item.Due = due;
    item.Connection = aFrame.Connection;
    item.Bytes = frame;
    item.Answers = copy == 0;
    Queue(std::move(item));
  }
  CountAnswer(aFrame, acceptedSCTS.has_value());
  // Queued after the acknowledgement, so never written ahead of it.
  if (acceptedSCTS) QueueNotifications(aFrame, *acceptedSCTS, due, fate);
}

bool TSmscSimulator::Overloaded(const TReceivedFrame& aFrame, TClock::time_point aNow) {
  if (config_.Window > 0) {
    // An answer due by now has been given, even if the socket has not taken
    // it yet: operations answered at once never fill the window.
    auto outstanding = std::count_if(outbox_.begin(), outbox_.end(), [&](const TOutgoing& item) {
      return item.Answers && item.Connection == aFrame.Connection && item.Due > aNow;
    });
    if (outstanding >= config_.Window) return true;
  }
  if (aFrame.OT != kSubmitOT || config_.MaxRate <= 0) return false;
  // Only submits let through count, so a client that retries at once is
  // served again a second after its last accepted burst.
  while (!admitted_.empty() && aNow - admitted_.front() >= std::chrono::seconds(1)) {
    admitted_.pop_front();
  }
  if (admitted_.size() >= static_cast<std::size_t>(config_.MaxRate)) return true;
  admitted_.push_back(aNow);
  return false;
}

void TSmscSimulator::CountAnswer(const TReceivedFrame& aFrame, bool aAccepted) {
  if (aFrame.OT != kSubmitOT) return;
  if (!aAccepted) {
    ++counts_.Refused;
    return;
  }
  ++counts_.Accepted;
  // Only a submit with every field is accepted; no address holds a "/".
  const std::vector<std::string>& f = aFrame.Fields;
  if (!acceptedTexts_.insert(f[0] + "/" + f[18] + "/" + f[20]).second) ++counts_.Duplicates;
}

double TSmscSimulator::Draw(std::mt19937_64& aGenerator) {
  // From the generator's bits alone, unlike the standard distributions, so
  // that a seed means the same with every library.
  return static_cast<double>(aGenerator() >> 11) * 0x1.0p-53;
}

TSmscSimulator::TFate TSmscSimulator::DrawFate() {
  TFate fate;
  fate.Delivered = Draw(fates_) >= notDeliveredShare_;
  fate.NotificationDelay = config_.NotificationDelay;
  // Drawn whether or not the range is used, so that widening it changes no
  // message's final state.
  const uint64_t spread = fates_();
  if (config_.NotificationDelayMax > config_.NotificationDelay) {
    auto range = std::chrono::duration_cast<std::chrono::microseconds>(
        config_.NotificationDelayMax - config_.NotificationDelay);
    fate.NotificationDelay +=
        std::chrono::microseconds(static_cast<int64_t>(spread % (range.count() + 1)));
  }
  return fate;
}

std::string TSmscSimulator::DefaultAnswer(const TReceivedFrame& aFrame,
                                          std::optional<TCivilSeconds>& aAcceptedSCTS) {
  const std::vector<std::string>& f = aFrame.Fields;
  if (aFrame.OT != kLoginOT && !MayExchange())
    return NakData(ErrorCodeText(kAuthenticationFailure));
  switch (aFrame.OT) {
    case kLoginOT: {
      if (f.size() != kLoginFieldCount) return NakData(ErrorCodeText(kSyntaxError));
      bool accepted = config_.Account.empty() ||
                      (f[0] == config_.Account && HexToText(f[4]) == config_.Password);
      if (!accepted) return NakData(ErrorCodeText(kAuthenticationFailure));
      loggedIn_ = true;
      return SessionAckData();
    }
    case kAlertOT:
      return SessionAckData();
    case kSubmitOT: {
      if (f.size() != kSubmitFieldCount) return NakData(ErrorCodeText(kSyntaxError));
      aAcceptedSCTS = NextStamp(f[0]);
      std::string scts = FormatStamp(*aAcceptedSCTS);
      submits_.push_back({f, scts, aFrame.Connection});
      return MessageAckData({}, f[0] + ":" + scts);
    }
    default:
      return NakData(ErrorCodeText(kNotSupported));
  }
}

bool TSmscSimulator::MayExchange() const {
  return loggedIn_ || config_.Account.empty() || !config_.LoginRequired;
}

void TSmscSimulator::QueueNotifications(const TReceivedFrame& aSubmit, TCivilSeconds aSCTS,
                                        TClock::time_point aAfter, const TFate& aFate) {
  const std::vector<std::string>& f = aSubmit.Fields;
  if (!config_.Notifications || f[3] != "1") return;
  int bits = ReadInteger(f[5]);
  const TDeliveryStatus final =
      aFate.Delivered ? TDeliveryStatus::Delivered : TDeliveryStatus::NotDelivered;
  const std::string scts = FormatStamp(aSCTS);
  const TCivilSeconds reached =
      std::max(config_.Clock(), aSCTS) +
      std::chrono::duration_cast<std::chrono::seconds>(aFate.NotificationDelay).count();
  // A message is buffered before it reaches its final state, so that
  // notification goes first.
  for (TDeliveryStatus status : {TDeliveryStatus::Buffered, final}) {
    if ((bits & NotificationBit(status)) == 0) continue;
    TNotification n;
    // A client that logged in may leave its own address out of the submit:
    // the centre knows it by its account.
    n.AdC = f[1].empty() ? config_.Account : f[1];
    n.OAdC = f[0];
    n.RPID = f[13];
    n.SCTS = scts;
    n.DSCTS = FormatStamp(reached);
    n.Dst = status;
    n.Rsn = 0;
    if (status == TDeliveryStatus::Buffered) n.Rsn = config_.BufferedReason;
    if (status == TDeliveryStatus::NotDelivered) n.Rsn = config_.NotDeliveredReason;
    n.Text = "Message for " + f[0] + ", with identification " + scts + ", " + StatusText(status);
    TOutgoing item;
    item.Due = aAfter + aFate.NotificationDelay;
    item.Connection = aSubmit.Connection;
    item.LateOT = kNotificationOT;
    if (status != TDeliveryStatus::Buffered) item.Final = status;
    item.Bytes = NotificationData(n);
    Queue(std::move(item));
  }
}

// --- Records ----------------------------------------------------------------

int TSmscSimulator::Connections() const {
  TLockGuard lock(mu_);
  return connections_;
}

bool TSmscSimulator::Connected() const {
  TLockGuard lock(mu_);
  return current_ != 0;
}

bool TSmscSimulator::SessionOpen() const {
  TLockGuard lock(mu_);
  return current_ != 0 && MayExchange();
}

std::vector<TReceivedFrame> TSmscSimulator::Received() const {
  TLockGuard lock(mu_);
  return received_;
}

std::vector<TReceivedFrame> TSmscSimulator::Operations(int aOT) const {
  TLockGuard lock(mu_);
  std::vector<TReceivedFrame> result;
  for (const TReceivedFrame& frame : received_) {
    if (frame.Valid && !frame.Result && (aOT < 0 || frame.OT == aOT)) result.push_back(frame);
  }
  return result;
}

std::vector<TClientAnswer> TSmscSimulator::ClientAnswers() const {
  TLockGuard lock(mu_);
  return answers_;
}

std::vector<TAcceptedSubmit> TSmscSimulator::Submits() const {
  TLockGuard lock(mu_);
  return submits_;
}

std::vector<std::string> TSmscSimulator::Sent() const {
  TLockGuard lock(mu_);
  return sent_;
}

TSmscCounts TSmscSimulator::Counts() const {
  TLockGuard lock(mu_);
  return counts_;
}

void TSmscSimulator::ClearRecords() {
  TLockGuard lock(mu_);
  received_.clear();
  answers_.clear();
  submits_.clear();
  sent_.clear();
  counts_ = {};
  acceptedTexts_.clear();
}

bool TSmscSimulator::WaitUntil(std::chrono::milliseconds aTimeout,
                               const std::function<bool()>& aDone) const {
  TLockGuard lock(mu_);
  // The condition variable unlocks and relocks mu_ itself while it waits.
  return changed_.wait_for(mu_, aTimeout, aDone);
}

bool TSmscSimulator::WaitForConnections(int aCount, std::chrono::milliseconds aTimeout) const {
  return WaitUntil(aTimeout, [&]() NO_THREAD_SAFETY_ANALYSIS { return connections_ >= aCount; });
}

bool TSmscSimulator::WaitForDisconnect(std::chrono::milliseconds aTimeout) const {
  return WaitUntil(aTimeout, [&]() NO_THREAD_SAFETY_ANALYSIS { return current_ == 0; });
}

bool TSmscSimulator::WaitForReceived(std::size_t aCount, std::chrono::milliseconds aTimeout) const {
  return WaitUntil(aTimeout,
                   [&]() NO_THREAD_SAFETY_ANALYSIS { return received_.size() >= aCount; });
}

bool TSmscSimulator::WaitForOperations(int aOT, std::size_t aCount,
                                       std::chrono::milliseconds aTimeout) const {
  return WaitUntil(aTimeout, [&]() NO_THREAD_SAFETY_ANALYSIS {
    return static_cast<std::size_t>(
               std::count_if(received_.begin(), received_.end(), [&](const TReceivedFrame& frame) {
                 return frame.Valid && !frame.Result && (aOT < 0 || frame.OT == aOT);
               })) >= aCount;
  });
}

bool TSmscSimulator::WaitForClientAnswers(std::size_t aCount,
                                          std::chrono::milliseconds aTimeout) const {
  return WaitUntil(aTimeout, [&]() NO_THREAD_SAFETY_ANALYSIS { return answers_.size() >= aCount; });
}

bool TSmscSimulator::WaitForSent(std::size_t aCount, std::chrono::milliseconds aTimeout) const {
  return WaitUntil(aTimeout, [&]() NO_THREAD_SAFETY_ANALYSIS { return sent_.size() >= aCount; });
}

}  // namespace qorvel
