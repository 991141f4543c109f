#pragma once
// An SMSC on a TCP port for tests and demonstrations: it speaks EMI frames,
// answers logins (60), alerts (31) and submits (51), originates messages from
// mobiles (52) and delivery notifications (53), and can be told to misbehave
// in the ways a real centre does (refusals, slow or missing answers, split or
// bundled writes, broken frames, dropped connections).
//
// A client may keep many operations outstanding: each is answered with its
// own TRN and OT, in the order they arrive unless answers are shuffled. The
// centre can limit how many it holds at once and how many submits it takes a
// second, and counts what became of every submit, so that a client's claim to
// have sent each message exactly once can be checked against it.
//
// With an account configured, a connection must log in before anything else:
// every other operation is refused with NAK 07 until a login is accepted.
//
// Threads: the constructor binds the port and starts one thread that owns the
// sockets: it accepts, reads, answers and writes everything. Every public
// member may be called from any thread; writes are queued for that thread, so
// the Send calls return at once and keep their order. The destructor stops
// and joins the thread and closes the sockets.
//
// One client at a time: a new connection replaces the current one (a client
// that reconnects after a failure is served at once).
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "connect/thread_annotations.h"
#include "emi/frame.h"
#include "tools/smsc/smsc_frames.h"
#include "tools/smsc/smsc_socket.h"

namespace qorvel {

enum class TSmscTraffic { Sent, Received, Event };

struct TSmscConfig {
  std::string Address = "127.0.0.1";
  uint16_t Port = 0;  // 0: the system chooses; Port() tells
  // The login that operation 60 must carry; an empty Account accepts every
  // login and asks for none.
  std::string Account;
  std::string Password;
  // With an account: refuse other operations until the connection has logged
  // in. Off, the centre trusts every connection, as some do by address.
  bool LoginRequired = true;
  // Local time for the time stamps; tests fix it.
  std::function<TCivilSeconds()> Clock = LocalCivilNow;
  // Each accepted message reaches one final state, delivered or not
  // delivered, notified when the submit's NT asks for it; a "buffered"
  // notification, when asked for, comes before it.
  bool Notifications = true;
  // A message's notifications follow its acknowledgement by this much; with
  // NotificationDelayMax above it, by a time drawn between the two for each
  // message, so that notifications overtake one another.
  std::chrono::milliseconds NotificationDelay{0};
  std::chrono::milliseconds NotificationDelayMax{0};
  double NotDeliveredShare = 0;  // the share of messages not delivered, drawn (see Seed)
  int BufferedReason = 107;      // Rsn of a "buffered" notification
  int NotDeliveredReason = 108;  // Rsn of a "not delivered" one
  // The centre's own keep-alive: an operation 52 with these addresses and text.
  std::string KeepAliveOA = "5555";
  std::string KeepAliveDA = "1234";
  std::string KeepAliveText = "KEEPALIVE";
  // Writes that keep-alive the moment a connection is accepted, before
  // reading anything: some centres greet first.
  bool KeepAliveOnAccept = false;
  // Every frame written or read (as bytes) and every connection event (as a
  // sentence). Called on the simulator's thread with no lock held.
  std::function<void(TSmscTraffic, std::string_view)> OnTraffic;

  // Each answer held back by a random time up to this, so that operations
  // read together are answered in a shuffled order; zero answers them in the
  // order they arrive.
  std::chrono::milliseconds ShuffleWithin{0};
  // The most operations a connection may have outstanding (read, answer not
  // yet written); one more is refused at once with NAK 04. Only answers held
  // back (by a rule, LateShare or ShuffleWithin) stay outstanding for long.
  // Zero: no limit.
  int Window = 0;
  // The most submits let through in any one second (a sliding second, over
  // every connection); the others are refused with NAK 04. Zero: no limit.
  int MaxRate = 0;
  // Faults for the submits. Two numbers are drawn from Seed for every submit
  // read, so that the n-th submit meets the same fate whatever the timing;
  // its final state and notification delay are drawn alongside, from a
  // sequence of their own, so that they move no refusal.
  uint64_t Seed = 1;
  // The share refused with NAK 05 (call barring): a refusal of that message
  // alone, which neither slowing down nor rewriting it would change.
  double NakShare = 0;
  double LateShare = 0;  // the share answered LateBy late
  std::chrono::milliseconds LateBy{0};
  // The connection is closed once, after the DropAfter-th submit has been
  // read and before it is answered; nothing more is read from it, and answers
  // still held back for it are lost. Zero: never.
  int DropAfter = 0;
};

// What became of the submits read. Received - Accepted - Refused were never
// answered (withheld, dropped, or three-digit headers).
struct TSmscCounts {
  int Received = 0;  // valid operations 51 read
  // Answered with an ACK. The message counts as taken when the answer is
  // decided: a late ACK lost with its connection still counts.
  int Accepted = 0;
  int Refused = 0;  // answered with a NAK, whatever the reason
  // Accepted ones whose recipient and text (AdC, MT, Msg) repeat those of an
  // earlier accepted submit: the same message taken twice.
  int Duplicates = 0;
  // Notifications of a final state written to the client: "buffered" ones
  // are not final, and one lost with its connection was never written.
  int NotifiedDelivered = 0;
  int NotifiedFailed = 0;
  bool operator==(const TSmscCounts&) const = default;
};

// How to answer the next operations of one type, instead of the usual way.
struct TAnswerRule {
  std::optional<std::string> NakCode;  // answer "N/<code>/<text>"; any text, even not a number
  std::string NakText;
  std::chrono::milliseconds Delay{0};   // answer this much later (a late answer)
  bool Withhold = false;                // no answer at all
  bool Drop = false;                    // close the connection instead of answering
  int Copies = 1;                       // the answer written this many times
  std::vector<std::string> SendBefore;  // bytes written as soon as the operation is read
  int Times = -1;                       // operations it serves; negative: until cleared
};

struct TReceivedFrame {
  std::string Frame;  // as read; empty for an over-long partial frame
  bool Valid = false;
  std::string Error;  // the rejection message when not valid
  int OT = -1, TRN = -1;
  bool Result = false;
  std::string Data;                 // the data part as parsed (ends with "/")
  std::vector<std::string> Fields;  // Data split into fields
  int Connection = 0;               // 1 for the first accepted connection
};

// A submit the simulator accepted, with the time stamp its acknowledgement gave.
struct TAcceptedSubmit {
  std::vector<std::string> Fields;
  // DDMMYYhhmmss; with the recipient (AdC) it identifies the message, so no
  // two messages to one recipient share it.
  std::string SCTS;
  int Connection = 0;
};

// A result the client sent; Matched when it answers an operation the
// simulator had sent (same TRN and OT) and that was still unanswered.
struct TClientAnswer {
  int OT = -1, TRN = -1;
  std::string Data;
  bool Matched = false;
};

class TSmscSimulator {
 public:
  // Binds and starts serving; raises std::system_error when the port cannot be bound.
  explicit TSmscSimulator(TSmscConfig aConfig = {});
  ~TSmscSimulator();
  TSmscSimulator(const TSmscSimulator&) = delete;
  TSmscSimulator& operator=(const TSmscSimulator&) = delete;
  // Stops serving and closes the sockets; the records stay readable. Call it
  // from one thread; the destructor calls it.
  void Stop() EXCLUDES(mu_);

  uint16_t Port() const { return port_; }
  const TSmscConfig& Config() const { return config_; }

  // --- Behaviour -----------------------------------------------------------
  // Rules for one type serve in the order they were added.
  void AddRule(int aOT, TAnswerRule aRule) EXCLUDES(mu_);
  void ClearRules() EXCLUDES(mu_);
  void NakOperation(int aOT, int aCode, int aTimes = -1);
  // From now on, this share (0 to 1) of accepted messages is not delivered.
  void SetNotDeliveredShare(double aShare) EXCLUDES(mu_);
  void DelayAnswers(int aOT, std::chrono::milliseconds aDelay, int aTimes = -1);
  void WithholdAnswers(int aOT, int aTimes = -1);
  void AnswerTwice(int aOT, int aTimes = -1);

  // --- Frames the simulator originates --------------------------------------
  // The TRN of the next operation (00 to 99, then 00 again).
  int NextTRN() EXCLUDES(mu_);
  // A frame; raises std::invalid_argument when it cannot be composed.
  static std::string MakeFrame(int aOT, int aTRN, bool aResult, std::string_view aData);
  // Operations 52 with the next TRN; the client's acknowledgement is expected.
  std::string DeliverFrame(const TMobileMessage& aMessage) EXCLUDES(mu_);
  std::string KeepAliveFrame() EXCLUDES(mu_);

  // Writes to whichever client is connected when the write is due; with no
  // client, the bytes are discarded.
  void Send(std::string aBytes, std::chrono::milliseconds aDelay = {}) EXCLUDES(mu_);
  // One write of every frame.
  void SendTogether(const std::vector<std::string>& aFrames) EXCLUDES(mu_);
  // aBytes in writes of aPieceSize bytes, aPause apart.
  void SendInPieces(std::string_view aBytes, std::size_t aPieceSize,
                    std::chrono::milliseconds aPause) EXCLUDES(mu_);
  void SendDeliver(const TMobileMessage& aMessage);
  void SendKeepAlive();
  void SendBad(TBadFrameKind aKind);
  // Closes the client's connection after the writes queued before it.
  void Drop(std::chrono::milliseconds aDelay = {}) EXCLUDES(mu_);

  // --- What happened --------------------------------------------------------
  int Connections() const EXCLUDES(mu_);  // accepted so far
  bool Connected() const EXCLUDES(mu_);
  // A client is connected and may exchange messages: it has logged in, or
  // needs no login.
  bool SessionOpen() const EXCLUDES(mu_);
  std::vector<TReceivedFrame> Received() const EXCLUDES(mu_);
  // Valid operations (not results) of type aOT; every type when aOT is negative.
  std::vector<TReceivedFrame> Operations(int aOT = -1) const EXCLUDES(mu_);
  std::vector<TClientAnswer> ClientAnswers() const EXCLUDES(mu_);
  std::vector<TAcceptedSubmit> Submits() const EXCLUDES(mu_);
  std::vector<std::string> Sent() const EXCLUDES(mu_);  // each write, in order
  TSmscCounts Counts() const EXCLUDES(mu_);
  // Forgets what was recorded, counts included (not the connection count,
  // nor the submits DropAfter counts).
  void ClearRecords() EXCLUDES(mu_);

  // Each waits until the count is reached or aTimeout passes; true when reached.
  bool WaitForConnections(int aCount, std::chrono::milliseconds aTimeout) const EXCLUDES(mu_);
  bool WaitForDisconnect(std::chrono::milliseconds aTimeout) const EXCLUDES(mu_);
  bool WaitForReceived(std::size_t aCount, std::chrono::milliseconds aTimeout) const EXCLUDES(mu_);
  bool WaitForOperations(int aOT, std::size_t aCount, std::chrono::milliseconds aTimeout) const
      EXCLUDES(mu_);
  bool WaitForClientAnswers(std::size_t aCount, std::chrono::milliseconds aTimeout) const
      EXCLUDES(mu_);
  bool WaitForSent(std::size_t aCount, std::chrono::milliseconds aTimeout) const EXCLUDES(mu_);

 private:
  using TClock = std::chrono::steady_clock;
  struct TOutgoing {
    TClock::time_point Due;
    uint64_t Seq = 0;
    int Connection = 0;  // 0: whichever is connected when due
    bool Drop = false;
    std::string Bytes;
    // An operation whose frame is made when it is written, so that it takes
    // its TRN in the order frames go out, not the order they were queued.
    int LateOT = -1;
    // Answers an operation (or closes instead): the operation is outstanding
    // until it is written.
    bool Answers = false;
    // A notification of this final state, counted once written.
    std::optional<TDeliveryStatus> Final;
  };
  // Drawn for every submit read.
  struct TFate {
    bool Delivered = true;
    TClock::duration NotificationDelay{0};
  };
  class TReceiver;

  void Run();
  void Serve();
  void AcceptClient();
  void ReadClient();
  void CloseClient(std::string_view aWhy);
  void WriteDue();
  void Flush();
  std::optional<std::chrono::milliseconds> UntilNextDue() const EXCLUDES(mu_);

  void OnFrameRead(std::string_view aFrame);
  void OnBadFrameRead(std::string_view aMessage) EXCLUDES(mu_);
  void OnDatagramRead(std::string_view aBody) EXCLUDES(mu_);
  void Answer(const TReceivedFrame& aFrame) REQUIRES(mu_);
  // Whether the client must slow down: aFrame would exceed the window or the
  // rate. Lets a submit through the rate when not.
  bool Overloaded(const TReceivedFrame& aFrame, TClock::time_point aNow) REQUIRES(mu_);
  void CountAnswer(const TReceivedFrame& aFrame, bool aAccepted) REQUIRES(mu_);
  static double Draw(std::mt19937_64& aGenerator);  // in [0, 1)
  TFate DrawFate() REQUIRES(mu_);
  // The answer's data; sets aAcceptedSCTS for an accepted submit.
  std::string DefaultAnswer(const TReceivedFrame& aFrame,
                            std::optional<TCivilSeconds>& aAcceptedSCTS) REQUIRES(mu_);
  bool MayExchange() const REQUIRES(mu_);
  void QueueNotifications(const TReceivedFrame& aSubmit, TCivilSeconds aSCTS,
                          TClock::time_point aAfter, const TFate& aFate) REQUIRES(mu_);
  std::optional<TAnswerRule> TakeRule(int aOT) REQUIRES(mu_);
  void Queue(TOutgoing aItem) REQUIRES(mu_);
  int TakeTRN() REQUIRES(mu_);
  // The clock's second, moved past the last stamp given for a message to or
  // from aAddress, so that address and stamp identify the message.
  TCivilSeconds NextStamp(const std::string& aAddress) REQUIRES(mu_);
  std::string OperationFrame(int aOT, std::string_view aData) REQUIRES(mu_);
  void Emit(TSmscTraffic aKind, std::string_view aText) const;
  bool WaitUntil(std::chrono::milliseconds aTimeout, const std::function<bool()>& aDone) const
      EXCLUDES(mu_);

  const TSmscConfig config_;
  TFileDescriptor listen_;
  uint16_t port_ = 0;
  TWakePipe wake_;

  // Simulator thread only.
  TFileDescriptor client_;
  TFrameAssembler assembler_;
  std::optional<std::string> pendingFrame_;
  // Bytes handed over for the client that its socket has not taken yet: the
  // thread never blocks on a client that stops reading.
  std::string unsent_;
  bool closeWhenFlushed_ = false;  // a drop waits for the writes before it
  bool hangingUp_ = false;         // what the client writes now is ignored

  mutable TMutex mu_;
  mutable std::condition_variable_any changed_;
  bool stop_ GUARDED_BY(mu_) = false;
  int connections_ GUARDED_BY(mu_) = 0;
  int current_ GUARDED_BY(mu_) = 0;               // the connected client's number, 0 for none
  bool loggedIn_ GUARDED_BY(mu_) = false;         // the current connection's login was accepted
  std::deque<TOutgoing> outbox_ GUARDED_BY(mu_);  // sorted by (Due, Seq)
  uint64_t seq_ GUARDED_BY(mu_) = 0;
  std::map<int, std::deque<TAnswerRule>> rules_ GUARDED_BY(mu_);
  int trn_ GUARDED_BY(mu_) = 0;
  std::map<std::string, TCivilSeconds> lastStamps_ GUARDED_BY(mu_);  // by address
  std::size_t pruneStampsAt_ GUARDED_BY(mu_) = 1024;
  std::multiset<std::pair<int, int>> awaitingAnswer_ GUARDED_BY(mu_);  // (OT, TRN)
  std::vector<TReceivedFrame> received_ GUARDED_BY(mu_);
  std::vector<TClientAnswer> answers_ GUARDED_BY(mu_);
  std::vector<TAcceptedSubmit> submits_ GUARDED_BY(mu_);
  std::vector<std::string> sent_ GUARDED_BY(mu_);
  TSmscCounts counts_ GUARDED_BY(mu_);
  std::set<std::string> acceptedTexts_ GUARDED_BY(mu_);      // AdC, MT and Msg of each
  int submitsRead_ GUARDED_BY(mu_) = 0;                      // ever, for DropAfter
  std::deque<TClock::time_point> admitted_ GUARDED_BY(mu_);  // submits let through, last second
  std::mt19937_64 faults_ GUARDED_BY(mu_) = std::mt19937_64(config_.Seed);
  // Apart from faults_, so that shuffling does not change which submits fail.
  std::mt19937_64 shuffle_ GUARDED_BY(mu_) = std::mt19937_64(config_.Seed + 1);
  std::mt19937_64 fates_ GUARDED_BY(mu_) = std::mt19937_64(config_.Seed + 2);
  double notDeliveredShare_ GUARDED_BY(mu_) = config_.NotDeliveredShare;

  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace qorvel
