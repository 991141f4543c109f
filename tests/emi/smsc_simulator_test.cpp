// The SMSC simulator driven by a plain socket client: what it answers, what
// it originates, and how it misbehaves on request.
#include "tools/smsc/smsc_simulator.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "emi/codec.h"
#include "emi/frame.h"

namespace qorvel {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kWait = 3000ms;  // generous: only reached when something is wrong
constexpr milliseconds kQuiet = 250ms;  // how long "nothing arrives" is watched

std::string Wrap(std::string_view aDatagram) {
  return STX + std::string(aDatagram) + ETX;
}

// The frame for a body, with the checksum worked out here.
std::string FrameOf(std::string_view aBody) {
  unsigned sum = 0;
  for (unsigned char c : aBody) sum += c;
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", sum % 256);
  return Wrap(std::string(aBody) + hex);
}

std::string Operation(int aOT, int aTRN, std::string_view aData) {
  return *ComposeFrame(aOT, aTRN, false, aData);
}

// 33 fields of a submit with the given ones filled.
std::string SubmitData(std::string_view aAdC, std::string_view aOAdC, std::string_view aNRq,
                       std::string_view aNT, std::string_view aText = "Hello") {
  std::vector<std::string> f(33);
  f[0] = aAdC;
  f[1] = aOAdC;
  f[3] = aNRq;
  f[5] = aNT;
  f[13] = "0000";
  f[18] = "3";
  f[20] = TextToHex(aText);
  return JoinFields(f);
}

std::string LoginData(std::string_view aUser, std::string_view aPassword) {
  return std::string(aUser) + "/6/5/1/" + TextToHex(aPassword) + "//0100/////";
}

// The positive result of a login or an alert: ACK and an empty system message.
const std::string kLoginAck = STX + std::string("00/00019/R/60/A//6D") + ETX;
const std::string kAlertAck = STX + std::string("00/00019/R/31/A//6B") + ETX;

// The client side of the tests: a blocking socket with timed reads.
class TPeer {
 public:
  explicit TPeer(uint16_t aPort) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(aPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~TPeer() { Close(); }
  TPeer(const TPeer&) = delete;
  TPeer& operator=(const TPeer&) = delete;

  bool Connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  void Write(std::string_view aBytes) {
    while (!aBytes.empty()) {
      ssize_t n = ::send(fd_, aBytes.data(), aBytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      ASSERT_GT(n, 0) << "write to the simulator failed";
      aBytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  // The next STX..ETX frame, or nullopt when none is complete in time.
  std::optional<std::string> ReadFrame(milliseconds aTimeout = kWait) {
    Clock::time_point end = Clock::now() + aTimeout;
    for (;;) {
      std::size_t stx = buffer_.find(STX);
      if (stx != std::string::npos) {
        std::size_t etx = buffer_.find(ETX, stx);
        if (etx != std::string::npos) {
          std::string frame = buffer_.substr(stx, etx - stx + 1);
          buffer_.erase(0, etx + 1);
          return frame;
        }
      }
      if (!Fill(end)) return std::nullopt;
    }
  }

  // Every byte that arrives within aTimeout (stops early at end of stream).
  std::string ReadFor(milliseconds aTimeout) {
    Clock::time_point end = Clock::now() + aTimeout;
    while (Fill(end)) {
    }
    return std::exchange(buffer_, std::string());
  }

  // True when the simulator closes the connection within aTimeout.
  bool WaitClosed(milliseconds aTimeout = kWait) {
    Clock::time_point end = Clock::now() + aTimeout;
    while (Fill(end)) {
    }
    return closed_;
  }

  // How many separate reads the bytes so far came in.
  int Reads() const { return reads_; }

 private:
  bool Fill(Clock::time_point aEnd) {
    if (closed_) return false;
    auto left = std::chrono::duration_cast<milliseconds>(aEnd - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) return true;
    if (ready <= 0) return false;
    char chunk[4096];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    ++reads_;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  int reads_ = 0;
  std::string buffer_;
};

TDatagram Parse(const std::string& aFrame) {
  const char* error = nullptr;
  std::optional<std::string_view> body = ValidateFrame(aFrame, error);
  TDatagram datagram;
  EXPECT_TRUE(body.has_value()) << FrameLogText(aFrame) << ": " << (error ? error : "");
  if (body) {
    EXPECT_TRUE(ParseDatagram(*body, datagram));
  }
  return datagram;
}

TMobileMessage Mobile(std::string aOA, std::string aDA, std::string aMsg) {
  TMobileMessage message;
  message.OA = std::move(aOA);
  message.DA = std::move(aDA);
  message.Msg = std::move(aMsg);
  return message;
}

TSmscConfig FixedConfig() {
  TSmscConfig config;
  config.Account = "1234";
  config.Password = "secret";
  config.Clock = [] { return CivilSeconds(2003, 5, 7, 14, 5, 59); };
  return config;
}

void LogIn(TPeer& aPeer) {
  aPeer.Write(Operation(60, 0, LoginData("1234", "secret")));
  ASSERT_EQ(aPeer.ReadFrame(), kLoginAck);
}

// A client connected and not yet logged in.
class SmscSimulatorTest : public ::testing::Test {
 protected:
  explicit SmscSimulatorTest(TSmscConfig aConfig = FixedConfig())
      : smsc_(std::move(aConfig)), peer_(smsc_.Port()) {}
  void SetUp() override {
    ASSERT_TRUE(peer_.Connected());
    ASSERT_TRUE(smsc_.WaitForConnections(1, kWait));
  }

  TSmscSimulator smsc_;
  TPeer peer_;
};

// A client that has logged in; the login is not in the records.
class SmscSessionTest : public SmscSimulatorTest {
 protected:
  void SetUp() override {
    SmscSimulatorTest::SetUp();
    LogIn(peer_);
    ASSERT_TRUE(smsc_.WaitForReceived(1, kWait));
    smsc_.ClearRecords();
  }
};

// --- Login, alert, submit ----------------------------------------------------

TEST_F(SmscSimulatorTest, LoginWithTheConfiguredAccountIsAcknowledged) {
  EXPECT_NE(smsc_.Port(), 0);
  peer_.Write(Operation(60, 0, LoginData("1234", "secret")));
  EXPECT_EQ(peer_.ReadFrame(), kLoginAck);

  std::vector<TReceivedFrame> logins = smsc_.Operations(60);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_TRUE(logins[0].Valid);
  EXPECT_EQ(logins[0].Fields.size(), 12u);
  EXPECT_EQ(logins[0].Fields[0], "1234");
  EXPECT_EQ(logins[0].Fields[4], "736563726574");
  EXPECT_EQ(logins[0].Connection, 1);
}

TEST_F(SmscSimulatorTest, WrongPasswordOrAccountIsRefusedWithCode07) {
  peer_.Write(Operation(60, 0, LoginData("1234", "Secret")));
  EXPECT_EQ(peer_.ReadFrame(), Wrap("00/00022/R/60/N/07//0A"));
  peer_.Write(Operation(60, 0, LoginData("9999", "secret")));
  EXPECT_EQ(peer_.ReadFrame(), Wrap("00/00022/R/60/N/07//0A"));
  peer_.Write(Operation(60, 0, LoginData("1234", "")));
  EXPECT_EQ(peer_.ReadFrame(), Wrap("00/00022/R/60/N/07//0A"));
}

TEST_F(SmscSimulatorTest, NothingButALoginIsServedBeforeTheLoginSucceeds) {
  struct Row {
    std::string Sent;
    std::string Expected;
  };
  const Row rows[] = {
      {Operation(31, 0, "1234/0539"), FrameOf("00/00022/R/31/N/07//")},
      {Operation(51, 4, SubmitData("0612", "1234", "1", "7")), FrameOf("04/00022/R/51/N/07//")},
      {Operation(56, 5, "x"), FrameOf("05/00022/R/56/N/07//")},
      // A refused login opens nothing.
      {Operation(60, 0, LoginData("1234", "wrong")), FrameOf("00/00022/R/60/N/07//")},
      {Operation(31, 0, "1234/0539"), FrameOf("00/00022/R/31/N/07//")},
      {Operation(60, 0, LoginData("1234", "secret")), kLoginAck},
      {Operation(31, 0, "1234/0539"), kAlertAck},
  };
  for (const Row& row : rows) {
    peer_.Write(row.Sent);
    EXPECT_EQ(peer_.ReadFrame(), row.Expected) << FrameLogText(row.Sent);
  }
  // Nothing refused was taken as a message, nor notified about.
  ASSERT_TRUE(smsc_.WaitForOperations(-1, std::size(rows), kWait));
  EXPECT_TRUE(smsc_.Submits().empty());
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);

  // The login holds for its own connection only.
  TPeer next(smsc_.Port());
  ASSERT_TRUE(smsc_.WaitForConnections(2, kWait));
  EXPECT_FALSE(smsc_.SessionOpen());
  next.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(next.ReadFrame(), FrameOf("00/00022/R/31/N/07//"));
  LogIn(next);
  EXPECT_TRUE(smsc_.SessionOpen());
}

TEST(SmscSimulatorOpenLogin, ACentreThatTrustsItsClientsServesThemWithoutLogin) {
  TSmscConfig trusting = FixedConfig();
  trusting.LoginRequired = false;
  TSmscSimulator smsc(trusting);
  TPeer peer(smsc.Port());
  peer.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer.ReadFrame(), kAlertAck);
  // It still checks a login that comes.
  peer.Write(Operation(60, 0, LoginData("1234", "wrong")));
  EXPECT_EQ(peer.ReadFrame(), FrameOf("00/00022/R/60/N/07//"));
}

TEST_F(SmscSessionTest, MalformedLoginAndUnknownOperationsAreRefused) {
  peer_.Write(Operation(60, 0, "1234/6/5/1/736563726574"));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("00/00022/R/60/N/02//"));
  peer_.Write(Operation(51, 0, "00441632960000/1234"));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("00/00022/R/51/N/02//"));
  peer_.Write(Operation(56, 3, "x"));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("03/00022/R/56/N/03//"));
}

TEST(SmscSimulatorOpenLogin, WithoutAConfiguredAccountEveryLoginIsAccepted) {
  TSmscSimulator smsc;
  TPeer peer(smsc.Port());
  ASSERT_TRUE(smsc.WaitForConnections(1, kWait));
  EXPECT_TRUE(smsc.SessionOpen());
  peer.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer.ReadFrame(), kAlertAck);
  peer.Write(Operation(60, 0, LoginData("anyone", "")));
  EXPECT_EQ(peer.ReadFrame(), kLoginAck);
}

TEST_F(SmscSessionTest, AlertIsAcknowledged) {
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(), kAlertAck);
}

TEST_F(SmscSessionTest, SubmitIsAcknowledgedWithAStampThatIdentifiesItForItsRecipient) {
  peer_.Write(Operation(51, 0, SubmitData("00441632960000", "1234", "0", "0")));
  EXPECT_EQ(peer_.ReadFrame(), Wrap("00/00047/R/51/A//00441632960000:070503140559/01"));

  // The clock stands still: a later message to the same recipient is moved
  // on by a second, one to another recipient is not.
  struct Row {
    const char* AdC;
    const char* SCTS;
  };
  const Row rows[] = {{"0612", "070503140559"},
                      {"0612", "070503140600"},
                      {"00441632960000", "070503140600"},
                      {"0612", "070503140601"}};
  for (const Row& row : rows) {
    peer_.Write(Operation(51, 0, SubmitData(row.AdC, "1234", "0", "0")));
    std::optional<std::string> ack = peer_.ReadFrame();
    ASSERT_TRUE(ack);
    EXPECT_EQ(Parse(*ack).Data, "A//" + std::string(row.AdC) + ":" + row.SCTS + "/");
  }
  std::vector<TAcceptedSubmit> submits = smsc_.Submits();
  ASSERT_EQ(submits.size(), 1 + std::size(rows));
  EXPECT_EQ(submits[0].SCTS, "070503140559");
  for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(submits[i + 1].SCTS, rows[i].SCTS);
  EXPECT_EQ(HexToText(submits[0].Fields[20]), "Hello");
  // No notification was asked for.
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);
}

// --- Notifications -----------------------------------------------------------

TEST_F(SmscSessionTest, BufferedThenTheFinalStateEachCarryTheSubmitsStamp) {
  peer_.Write(Operation(51, 0, SubmitData("00441632960000", "1234", "1", "7")));
  std::optional<std::string> ack = peer_.ReadFrame();
  ASSERT_TRUE(ack);
  std::string scts = FieldAt(Parse(*ack).Data, 2).substr(strlen("00441632960000:"));
  EXPECT_EQ(scts, "070503140559");

  // Buffered first: it comes before a message's final state, and none of the
  // messages fails here.
  const char* expectedStatus[] = {"1", "0"};
  const char* expectedReason[] = {"107", "000"};
  for (int i = 0; i < 2; ++i) {
    std::optional<std::string> frame = peer_.ReadFrame();
    ASSERT_TRUE(frame) << "notification " << i;
    TDatagram n = Parse(*frame);
    EXPECT_EQ(n.OT, 53);
    EXPECT_FALSE(n.Result);
    EXPECT_EQ(n.TRN, i);
    EXPECT_EQ(FieldCount(n.Data), 34) << n.Data;  // 33 fields and the trailing separator
    EXPECT_EQ(FieldAt(n.Data, 0), "1234");
    EXPECT_EQ(FieldAt(n.Data, 1), "00441632960000");
    EXPECT_EQ(FieldAt(n.Data, 13), "0000");
    EXPECT_EQ(FieldAt(n.Data, 14), scts);
    EXPECT_EQ(FieldAt(n.Data, 15), expectedStatus[i]);
    EXPECT_EQ(FieldAt(n.Data, 16), expectedReason[i]);
    EXPECT_EQ(FieldAt(n.Data, 17).size(), 12u);
    EXPECT_EQ(FieldAt(n.Data, 18), "3");
    EXPECT_FALSE(HexToText(FieldAt(n.Data, 20)).empty());
  }
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);
}

TEST_F(SmscSessionTest, DeliveryNotificationFollowsTheOperation53LayoutByteForByte) {
  // No originator in the submit: the notification goes to the logged-in account.
  peer_.Write(Operation(51, 0, SubmitData("0612", "", "1", "1")));
  ASSERT_TRUE(peer_.ReadFrame());
  std::optional<std::string> frame = peer_.ReadFrame();
  ASSERT_TRUE(frame);
  const std::string text = "Message for 0612, with identification 070503140559, has been delivered";
  // AdC, OAdC, 11 unused fields, RPID, SCTS, Dst, Rsn, DSCTS, MT, NB, Msg, 12 unused.
  const std::string data = "1234/0612////////////0000/070503140559/0/000/070503140559/3//" +
                           TextToHex(text) + "////////////";
  ASSERT_EQ(SplitDataFields(data + "/").size(), 33u);
  char len[6];
  std::snprintf(len, sizeof len, "%05zu", data.size() + 17);
  EXPECT_EQ(frame, FrameOf("00/" + std::string(len) + "/O/53/" + data + "/"));
}

TEST_F(SmscSessionTest, ANotificationTooLongForAFrameIsLeftOutAndServiceGoesOn) {
  const std::string longAddress(40000, '7');
  peer_.Write(Operation(51, 0, SubmitData(longAddress, "1234", "1", "1")));
  std::optional<std::string> ack = peer_.ReadFrame();
  ASSERT_TRUE(ack);
  EXPECT_EQ(FieldAt(Parse(*ack).Data, 0), "A");
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(), kAlertAck);
}

TEST(SmscSimulatorNotifications, OnlyTheRequestedNotificationsOfTheMessagesFateAreSent) {
  struct Case {
    double NotDeliveredShare;  // 0: every message delivered, 1: none
    const char* NRq;
    const char* NT;
    std::vector<std::string> Statuses;
  };
  // NT bits: 1 delivered, 2 not delivered, 4 buffered.
  const Case cases[] = {
      {0, "1", "1", {"0"}}, {0, "1", "2", {}},         {0, "1", "4", {"1"}}, {0, "1", "3", {"0"}},
      {0, "1", "6", {"1"}}, {0, "0", "7", {}},         {0, "1", "0", {}},    {1, "1", "1", {}},
      {1, "1", "2", {"2"}}, {1, "1", "7", {"1", "2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "share " << c.NotDeliveredShare << ", NRq " << c.NRq << ", NT " << c.NT);
    TSmscConfig config = FixedConfig();
    config.NotDeliveredShare = c.NotDeliveredShare;
    TSmscSimulator smsc(config);
    TPeer peer(smsc.Port());
    LogIn(peer);
    peer.Write(Operation(51, 0, SubmitData("0612", "1234", c.NRq, c.NT)));
    ASSERT_TRUE(peer.ReadFrame()) << "acknowledgement";
    std::vector<std::string> statuses;
    while (std::optional<std::string> frame = peer.ReadFrame(kQuiet)) {
      statuses.push_back(FieldAt(Parse(*frame).Data, 15));
    }
    EXPECT_EQ(statuses, c.Statuses);
  }
}

TEST(SmscSimulatorNotifications, EachMessageReachesOneFinalStateInAboutTheShareAskedFor) {
  struct Row {
    double NotDeliveredShare;
    milliseconds DelayMax;  // above the delay (0): a random one for each message
    int MinFailed, MaxFailed;
    bool InSubmitOrder;
  };
  constexpr int kMessages = 100;
  const Row rows[] = {
      {0, 0ms, 0, 0, true},
      {1, 0ms, kMessages, kMessages, true},
      {0.5, 100ms, 30, 70, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "share " << row.NotDeliveredShare);
    TSmscConfig config = FixedConfig();
    config.NotDeliveredShare = row.NotDeliveredShare;
    config.NotificationDelayMax = row.DelayMax;
    TSmscSimulator smsc(config);
    TPeer peer(smsc.Port());
    LogIn(peer);
    // All to one recipient while the clock stands still: only the stamp
    // tells the messages apart.
    std::string batch;
    for (int i = 0; i < kMessages; ++i) {
      batch += Operation(51, i, SubmitData("0612", "1234", "1", "7", "m" + std::to_string(i)));
    }
    peer.Write(batch);

    std::map<std::string, int> ackIndex;  // by SCTS
    std::map<std::string, std::vector<std::string>> statuses;
    std::vector<int> finalOrder;  // of the messages, by their acknowledgement
    for (int frames = 0; frames < 3 * kMessages; ++frames) {
      std::optional<std::string> frame = peer.ReadFrame();
      ASSERT_TRUE(frame) << "frame " << frames;
      TDatagram d = Parse(*frame);
      if (d.OT == 51) {
        std::string scts = FieldAt(d.Data, 2).substr(strlen("0612:"));
        ASSERT_TRUE(ackIndex.emplace(scts, static_cast<int>(ackIndex.size())).second)
            << "stamp given twice: " << scts;
        continue;
      }
      ASSERT_EQ(d.OT, 53);
      ASSERT_EQ(FieldAt(d.Data, 1), "0612");
      std::string scts = FieldAt(d.Data, 14);
      ASSERT_TRUE(ackIndex.contains(scts)) << "notified before acknowledged: " << scts;
      std::string status = FieldAt(d.Data, 15);
      statuses[scts].push_back(status);
      if (status != "1") finalOrder.push_back(ackIndex[scts]);
    }
    EXPECT_EQ(peer.ReadFrame(kQuiet), std::nullopt);

    int failed = 0;
    for (const auto& [scts, seen] : statuses) {
      ASSERT_EQ(seen.size(), 2u) << scts;
      EXPECT_EQ(seen[0], "1") << scts << ": buffered first";
      EXPECT_TRUE(seen[1] == "0" || seen[1] == "2") << scts << ": " << seen[1];
      failed += seen[1] == "2";
    }
    EXPECT_EQ(statuses.size(), static_cast<std::size_t>(kMessages));
    EXPECT_GE(failed, row.MinFailed);
    EXPECT_LE(failed, row.MaxFailed);
    TSmscCounts counts = smsc.Counts();
    EXPECT_EQ(counts.NotifiedFailed, failed);
    EXPECT_EQ(counts.NotifiedDelivered, kMessages - failed);
    EXPECT_EQ(std::is_sorted(finalOrder.begin(), finalOrder.end()), row.InSubmitOrder);
  }
}

TEST(SmscSimulatorNotifications, CanBeSwitchedOffOrDelayed) {
  TSmscConfig off = FixedConfig();
  off.Notifications = false;
  TSmscSimulator quiet(off);
  TPeer a(quiet.Port());
  LogIn(a);
  a.Write(Operation(51, 0, SubmitData("0612", "1234", "1", "7")));
  ASSERT_TRUE(a.ReadFrame());
  EXPECT_EQ(a.ReadFrame(kQuiet), std::nullopt);

  TSmscConfig late = FixedConfig();
  late.NotificationDelay = 150ms;
  TSmscSimulator slow(late);
  TPeer b(slow.Port());
  LogIn(b);
  b.Write(Operation(51, 0, SubmitData("0612", "1234", "1", "1")));
  ASSERT_TRUE(b.ReadFrame());
  Clock::time_point acked = Clock::now();
  // A message sent while the notification waits goes out first, and TRNs
  // count up in the order frames go out.
  slow.SendDeliver(Mobile("0612345678", "1234", "meanwhile"));
  std::optional<std::string> first = b.ReadFrame(), second = b.ReadFrame();
  ASSERT_TRUE(first && second);
  EXPECT_GE(Clock::now() - acked, 100ms);
  EXPECT_EQ(Parse(*first).OT, 52);
  EXPECT_EQ(Parse(*first).TRN, 0);
  EXPECT_EQ(Parse(*second).OT, 53);
  EXPECT_EQ(Parse(*second).TRN, 1);
}

TEST_F(SmscSimulatorTest, ClientAnswersAreRecordedAndMatchedToWhatWasSent) {
  TMobileMessage message = Mobile("0612345678", "1234", "Hi");
  smsc_.SendDeliver(message);
  std::optional<std::string> frame = peer_.ReadFrame();
  ASSERT_TRUE(frame);
  TDatagram sent = Parse(*frame);
  EXPECT_EQ(sent.OT, 52);

  peer_.Write(*ComposeFrame(52, sent.TRN, true, "A//"));
  peer_.Write(*ComposeFrame(52, sent.TRN, true, "A//"));  // once too often
  peer_.Write(*ComposeFrame(53, sent.TRN, true, "A//"));  // wrong type
  ASSERT_TRUE(smsc_.WaitForClientAnswers(3, kWait));
  std::vector<TClientAnswer> answers = smsc_.ClientAnswers();
  EXPECT_TRUE(answers[0].Matched);
  EXPECT_EQ(answers[0].Data, "A///");
  EXPECT_FALSE(answers[1].Matched);
  EXPECT_FALSE(answers[2].Matched);
  // Results are never answered.
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);
  EXPECT_TRUE(smsc_.Operations().empty());
}

// --- Originated operations ---------------------------------------------------

TEST_F(SmscSimulatorTest, MessagesFromMobilesCarryTheirFieldsAndCountTheirTRN) {
  TMobileMessage text;
  text.OA = "0612345678";
  text.DA = "1234";
  text.Msg = "Hi";
  text.PID = 539;
  text.MCLs = 1;
  text.RPI = 1;
  text.SCTS = "010203040506";
  TMobileMessage binary;
  binary.OA = "0612345678";
  binary.DA = "1234";
  binary.Msg = std::string("\x00\xFF\x10", 3);
  binary.Binary = true;
  smsc_.SendDeliver(text);
  smsc_.SendDeliver(binary);

  std::optional<std::string> first = peer_.ReadFrame();
  std::optional<std::string> second = peer_.ReadFrame();
  ASSERT_TRUE(first && second);
  TDatagram a = Parse(*first), b = Parse(*second);
  EXPECT_EQ(a.TRN, 0);
  EXPECT_EQ(b.TRN, 1);
  EXPECT_EQ(a.Data, "1234/0612345678" + std::string(12, '/') +
                        "0539/010203040506////3//4869////1/1" + std::string(8, '/'));
  EXPECT_EQ(FieldAt(b.Data, 18), "4");
  EXPECT_EQ(FieldAt(b.Data, 19), "24");
  EXPECT_EQ(FieldAt(b.Data, 20), "00FF10");
  // A message without a stamp gets the simulator's clock.
  EXPECT_EQ(FieldAt(b.Data, 14), "070503140559");
}

TEST_F(SmscSimulatorTest, KeepAliveIsAMessageWithTheConfiguredAddressesAndText) {
  smsc_.SendKeepAlive();
  std::optional<std::string> frame = peer_.ReadFrame();
  ASSERT_TRUE(frame);
  TDatagram k = Parse(*frame);
  EXPECT_EQ(k.OT, 52);
  EXPECT_EQ(FieldAt(k.Data, 0), "1234");
  EXPECT_EQ(FieldAt(k.Data, 1), "5555");
  EXPECT_EQ(HexToText(FieldAt(k.Data, 20)), "KEEPALIVE");
}

TEST_F(SmscSimulatorTest, TRNWrapsAfter99) {
  for (int i = 0; i < 99; ++i) smsc_.NextTRN();
  EXPECT_EQ(smsc_.NextTRN(), 99);
  EXPECT_EQ(smsc_.NextTRN(), 0);
}

TEST(SmscSimulatorFrames, StampsAndFieldsReadAsTheClientReadsThem) {
  EXPECT_EQ(FormatStamp(CivilSeconds(2000, 1, 2, 3, 4, 5)), "020100030405");
  EXPECT_EQ(FormatStamp(CivilSeconds(2099, 12, 31, 23, 59, 59)), "311299235959");
  // One second on from the last second of a year.
  EXPECT_EQ(FormatStamp(CivilSeconds(2003, 12, 31, 23, 59, 59) + 1), "010104000000");

  EXPECT_TRUE(SplitDataFields("").empty());
  EXPECT_EQ(SplitDataFields("A///"), (std::vector<std::string>{"A", "", ""}));
  EXPECT_EQ(SplitDataFields("a/b/"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(SplitDataFields("a"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(FieldOf({"a"}, 3), "");
  EXPECT_EQ(NakData("07"), "N/07/");
  EXPECT_EQ(SessionAckData(), "A/");
  EXPECT_EQ(MessageAckData("", "0612:070503140559"), "A//0612:070503140559");
  EXPECT_EQ(ErrorCodeText(3), "03");
}

TEST(SmscSimulatorFrames, MakeFrameRefusesWhatCannotBeComposed) {
  EXPECT_EQ(TSmscSimulator::MakeFrame(31, 0, false, ""), Wrap("00/00017/O/31//F6"));
  EXPECT_THROW(TSmscSimulator::MakeFrame(100, 0, false, ""), std::invalid_argument);
  EXPECT_THROW(TSmscSimulator::MakeFrame(52, 0, false, std::string(kMaxDataLength + 1, 'x')),
               std::invalid_argument);
}

// --- Answer rules ------------------------------------------------------------

TEST_F(SmscSessionTest, ConfiguredNakReplacesTheAnswerForItsOperationOnly) {
  smsc_.NakOperation(51, 24, 1);
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(), kAlertAck);
  peer_.Write(Operation(51, 0, SubmitData("00441632960000", "1234", "1", "7")));
  EXPECT_EQ(peer_.ReadFrame(), Wrap("00/00022/R/51/N/24//09"));
  // A refused message is not notified about.
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);
  // The rule was for one submit only.
  peer_.Write(Operation(51, 0, SubmitData("0612", "1234", "0", "0")));
  std::optional<std::string> frame = peer_.ReadFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(FieldAt(Parse(*frame).Data, 0), "A");
}

TEST_F(SmscSimulatorTest, NakCodesNeedNotBeNumbers) {
  TAnswerRule zero;
  zero.NakCode = "00";
  zero.Times = 1;
  TAnswerRule junk;
  junk.NakCode = "xx";
  junk.NakText = "why";
  junk.Times = 1;
  smsc_.AddRule(60, zero);
  smsc_.AddRule(60, junk);
  peer_.Write(Operation(60, 0, LoginData("1234", "secret")));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("00/00022/R/60/N/00//"));
  peer_.Write(Operation(60, 0, LoginData("1234", "secret")));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("00/00025/R/60/N/xx/why/"));
  peer_.Write(Operation(60, 0, LoginData("1234", "secret")));
  EXPECT_EQ(peer_.ReadFrame(), kLoginAck);
}

TEST_F(SmscSessionTest, WithheldAnswersNeverComeAndLaterOnesDo) {
  smsc_.WithholdAnswers(31, 1);
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(), kAlertAck);
  EXPECT_EQ(smsc_.Operations(31).size(), 2u);
}

TEST_F(SmscSessionTest, DelayedAnswerArrivesLateAndDoesNotHoldOthersUp) {
  smsc_.DelayAnswers(51, 300ms, 1);
  Clock::time_point start = Clock::now();
  peer_.Write(Operation(51, 0, SubmitData("0612", "1234", "1", "1")));
  peer_.Write(Operation(31, 0, "1234/0539"));
  // The alert, read after the submit, is answered first.
  EXPECT_EQ(peer_.ReadFrame(), kAlertAck);
  EXPECT_LT(Clock::now() - start, 250ms);
  std::optional<std::string> late = peer_.ReadFrame();
  ASSERT_TRUE(late);
  EXPECT_GE(Clock::now() - start, 300ms);
  EXPECT_EQ(Parse(*late).OT, 51);
  // The notification follows its acknowledgement, never precedes it.
  std::optional<std::string> notification = peer_.ReadFrame();
  ASSERT_TRUE(notification);
  EXPECT_EQ(Parse(*notification).OT, 53);
}

TEST_F(SmscSessionTest, AnswerTwiceWritesTheSameAnswerTwice) {
  smsc_.AnswerTwice(31);
  peer_.Write(Operation(31, 7, "1234/0539"));
  std::optional<std::string> first = peer_.ReadFrame();
  ASSERT_TRUE(first);
  EXPECT_EQ(first, FrameOf("07/00019/R/31/A//"));
  EXPECT_EQ(peer_.ReadFrame(), first);
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);
}

TEST_F(SmscSessionTest, BytesToSendBeforeTheAnswerComeFirst) {
  TAnswerRule rule;
  rule.SendBefore.push_back(smsc_.DeliverFrame(Mobile("0612345678", "1234", "meanwhile")));
  rule.Delay = 50ms;
  smsc_.AddRule(51, rule);
  peer_.Write(Operation(51, 0, SubmitData("0612", "1234", "0", "0")));
  std::optional<std::string> first = peer_.ReadFrame();
  std::optional<std::string> second = peer_.ReadFrame();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(Parse(*first).OT, 52);
  EXPECT_FALSE(Parse(*first).Result);
  EXPECT_EQ(Parse(*second).OT, 51);
  EXPECT_TRUE(Parse(*second).Result);
}

TEST_F(SmscSessionTest, ClearRulesRestoresTheUsualAnswers) {
  smsc_.NakOperation(31, 4);
  smsc_.ClearRules();
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(), kAlertAck);
  // A rule for no operation at all changes nothing either.
  smsc_.NakOperation(31, 4, 0);
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(), kAlertAck);
}

// --- How bytes travel --------------------------------------------------------

TEST_F(SmscSimulatorTest, FrameWrittenInPiecesIsAssembled) {
  std::string login = Operation(60, 0, LoginData("1234", "secret"));
  for (std::size_t at = 0; at < login.size(); at += 5) {
    peer_.Write(login.substr(at, 5));
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(peer_.ReadFrame(), kLoginAck);
}

TEST_F(SmscSessionTest, SeveralFramesInOneWriteAreAnsweredInOrder) {
  peer_.Write("noise" + Operation(31, 1, "1234/0539") + Operation(60, 2, LoginData("1234", "x")) +
              Operation(31, 3, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("01/00019/R/31/A//"));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("02/00022/R/60/N/07//"));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("03/00019/R/31/A//"));
  ASSERT_TRUE(smsc_.WaitForReceived(3, kWait));
  EXPECT_EQ(smsc_.Received().size(), 3u);
}

TEST_F(SmscSimulatorTest, SimulatorWritesInPiecesWithPauses) {
  std::string frame = smsc_.DeliverFrame(Mobile("0612345678", "1234", "split"));
  Clock::time_point start = Clock::now();
  smsc_.SendInPieces(frame, 10, 40ms);
  std::optional<std::string> read = peer_.ReadFrame();
  EXPECT_EQ(read, frame);
  std::size_t pieces = (frame.size() + 9) / 10;
  EXPECT_GE(Clock::now() - start, 40ms * (pieces - 1));
  EXPECT_GE(peer_.Reads(), 2);
  ASSERT_TRUE(smsc_.WaitForSent(pieces, kWait));
  EXPECT_EQ(smsc_.Sent().front(), frame.substr(0, 10));
}

TEST_F(SmscSimulatorTest, SimulatorWritesSeveralFramesAtOnce) {
  std::vector<std::string> frames = {smsc_.DeliverFrame(Mobile("06", "1234", "a")),
                                     smsc_.DeliverFrame(Mobile("06", "1234", "b")),
                                     smsc_.KeepAliveFrame()};
  smsc_.SendTogether(frames);
  ASSERT_TRUE(smsc_.WaitForSent(1, kWait));
  EXPECT_EQ(smsc_.Sent(), std::vector<std::string>{frames[0] + frames[1] + frames[2]});
  for (const std::string& expected : frames) EXPECT_EQ(peer_.ReadFrame(), expected);
}

TEST_F(SmscSimulatorTest, RawBytesGoOutUnchanged) {
  std::string raw("\x00\x02zz\x03\xFF", 6);
  smsc_.Send(raw);
  EXPECT_EQ(peer_.ReadFor(kQuiet), raw);
}

// --- Bad frames --------------------------------------------------------------

TEST_F(SmscSessionTest, BadFramesFromTheClientAreRecordedAndNotAnswered) {
  std::string good = Operation(31, 0, "1234/0539");
  std::string badSum = good;
  badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
  peer_.Write(badSum);
  peer_.Write(Wrap("00/00016/O/31/"));
  peer_.Write(FrameOf("00/00099/O/31/1234/0539/"));
  peer_.Write(FrameOf("0x/00020/O/31/A///"));
  ASSERT_TRUE(smsc_.WaitForReceived(4, kWait));
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);

  std::vector<TReceivedFrame> frames = smsc_.Received();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].Error, kBadChecksum);
  EXPECT_EQ(frames[0].Frame, badSum);
  EXPECT_EQ(frames[1].Error, kBadFormat);
  EXPECT_EQ(frames[2].Error, kBadLength);
  EXPECT_EQ(frames[3].Error, "TRN or OT is not a number");
  for (const TReceivedFrame& f : frames) EXPECT_FALSE(f.Valid);
  EXPECT_TRUE(smsc_.Operations().empty());

  // The stream goes on after them; a lower-case checksum is as good as any.
  peer_.Write(LowerCaseChecksum(FrameOf("05/00029/O/31/0123456/0539/")));
  EXPECT_EQ(peer_.ReadFrame(), FrameOf("05/00019/R/31/A//"));
}

TEST_F(SmscSessionTest, OperationsWhoseTRNOrOTCannotBeAnsweredAreNotAnswered) {
  // Valid frames whose three-digit TRN or OT no answer could repeat.
  peer_.Write(FrameOf("150/00022/O/31/1234/"));
  peer_.Write(FrameOf("01/00022/O/131/1234/"));
  ASSERT_TRUE(smsc_.WaitForOperations(-1, 2, kWait));
  EXPECT_EQ(peer_.ReadFrame(kQuiet), std::nullopt);
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(peer_.ReadFrame(), kAlertAck);
}

TEST_F(SmscSimulatorTest, BrokenFramesFromTheSimulatorFailTheirCheck) {
  const std::pair<TBadFrameKind, const char*> kinds[] = {{TBadFrameKind::Checksum, kBadChecksum},
                                                         {TBadFrameKind::Length, kBadLength},
                                                         {TBadFrameKind::Format, kBadFormat}};
  for (auto [kind, message] : kinds) {
    smsc_.SendBad(kind);
    std::optional<std::string> frame = peer_.ReadFrame();
    ASSERT_TRUE(frame);
    const char* error = nullptr;
    EXPECT_FALSE(ValidateFrame(*frame, error).has_value());
    EXPECT_STREQ(error, message);
  }
  smsc_.SendBad(TBadFrameKind::Junk);
  std::string junk = peer_.ReadFor(kQuiet);
  EXPECT_FALSE(junk.empty());
  EXPECT_EQ(junk.find(STX), std::string::npos);
  EXPECT_NE(junk.find(ETX), std::string::npos);
}

// --- Connections -------------------------------------------------------------

TEST_F(SmscSimulatorTest, DropClosesTheConnectionAndTheClientMayReconnect) {
  smsc_.Send(smsc_.KeepAliveFrame());
  smsc_.Drop();
  // What was queued before the drop still goes out.
  EXPECT_TRUE(peer_.ReadFrame());
  EXPECT_TRUE(peer_.WaitClosed());
  EXPECT_TRUE(smsc_.WaitForDisconnect(kWait));

  TPeer again(smsc_.Port());
  ASSERT_TRUE(smsc_.WaitForConnections(2, kWait));
  EXPECT_TRUE(smsc_.Connected());
  again.Write(Operation(60, 0, LoginData("1234", "secret")));
  EXPECT_EQ(again.ReadFrame(), kLoginAck);
  EXPECT_EQ(smsc_.Operations(60).back().Connection, 2);
}

TEST_F(SmscSimulatorTest, DropRuleClosesInsteadOfAnswering) {
  TAnswerRule drop;
  drop.Drop = true;
  drop.Times = 1;
  smsc_.AddRule(51, drop);
  peer_.Write(Operation(51, 0, SubmitData("0612", "1234", "1", "7")));
  EXPECT_TRUE(peer_.WaitClosed());
  EXPECT_TRUE(smsc_.Submits().empty());
}

TEST_F(SmscSimulatorTest, AnswersDueOnAClosedConnectionAreNotSentOnTheNextOne) {
  smsc_.DelayAnswers(31, 200ms);
  peer_.Write(Operation(31, 0, "1234/0539"));
  ASSERT_TRUE(smsc_.WaitForOperations(31, 1, kWait));
  peer_.Close();
  ASSERT_TRUE(smsc_.WaitForDisconnect(kWait));
  TPeer again(smsc_.Port());
  ASSERT_TRUE(smsc_.WaitForConnections(2, kWait));
  EXPECT_EQ(again.ReadFor(400ms), "");
}

TEST_F(SmscSimulatorTest, NewConnectionReplacesTheCurrentOne) {
  TPeer second(smsc_.Port());
  ASSERT_TRUE(smsc_.WaitForConnections(2, kWait));
  EXPECT_TRUE(peer_.WaitClosed());
  LogIn(second);
  second.Write(Operation(31, 0, "1234/0539"));
  EXPECT_EQ(second.ReadFrame(), kAlertAck);
}

TEST_F(SmscSimulatorTest, AClientThatStopsReadingDoesNotStallTheSimulator) {
  // Far more than the socket buffers hold while the peer reads nothing.
  smsc_.Send(std::string(16 * 1024 * 1024, 'x'));
  ASSERT_TRUE(smsc_.WaitForSent(1, kWait));
  peer_.Write(Operation(31, 0, "1234/0539"));
  EXPECT_TRUE(smsc_.WaitForOperations(31, 1, kWait));
  TPeer second(smsc_.Port());
  EXPECT_TRUE(smsc_.WaitForConnections(2, kWait));
}

TEST(SmscSimulatorLifetime, WithoutAClientSendsAreDiscardedAndStoppingIsPrompt) {
  std::vector<std::string> events;
  std::mutex eventsLock;
  TSmscConfig config;
  config.OnTraffic = [&](TSmscTraffic kind, std::string_view text) {
    std::lock_guard lock(eventsLock);
    events.push_back((kind == TSmscTraffic::Sent       ? "> "
                      : kind == TSmscTraffic::Received ? "< "
                                                       : "- ") +
                     std::string(text));
  };
  Clock::time_point start = Clock::now();
  {
    TSmscSimulator smsc(config);
    smsc.SendKeepAlive();
    EXPECT_FALSE(smsc.WaitForSent(1, 100ms));
    TPeer peer(smsc.Port());
    ASSERT_TRUE(smsc.WaitForConnections(1, kWait));
    peer.Write(Operation(31, 0, "1234/0539"));
    EXPECT_TRUE(peer.ReadFrame());
  }
  EXPECT_LT(Clock::now() - start, 2s);
  std::lock_guard lock(eventsLock);
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events[0].substr(0, 2), "- ");  // connected
  EXPECT_EQ(events[1], "< " + Operation(31, 0, "1234/0539"));
  EXPECT_EQ(events[2], "> " + kAlertAck);
}

// --- Windows of outstanding operations, faults, counts -----------------------

// A recipient of its own for each TRN, so that an answer shows which
// operation it belongs to.
std::string Recipient(int aTRN) {
  char text[16];
  std::snprintf(text, sizeof text, "06100000%02d", aTRN);
  return text;
}

// Submits with TRN aFirst on, all in one string, each with a text of its own.
std::string NumberedSubmits(int aFirst, int aCount) {
  std::string all;
  for (int trn = aFirst; trn < aFirst + aCount; ++trn) {
    all += Operation(
        51, trn, SubmitData(Recipient(trn), "1234", "0", "0", "message " + std::to_string(trn)));
  }
  return all;
}

// "OT/TRN verdict" of the next aCount frames as they come: "51/07 A", "51/08 N04".
std::vector<std::string> ReadVerdicts(TPeer& aPeer, std::size_t aCount) {
  std::vector<std::string> verdicts;
  while (verdicts.size() < aCount) {
    std::optional<std::string> frame = aPeer.ReadFrame();
    if (!frame) break;
    TDatagram d = Parse(*frame);
    char head[16];
    std::snprintf(head, sizeof head, "%02d/%02d ", d.OT, d.TRN);
    std::string verdict = FieldAt(d.Data, 0);
    if (verdict == "N") verdict += FieldAt(d.Data, 1);
    verdicts.push_back(head + verdict);
  }
  return verdicts;
}

int TRNOf(const std::string& aVerdict) {
  return std::stoi(aVerdict.substr(3, 2));
}

TEST(SmscSimulatorWindow, AFullWindowOfSubmitsInOneWriteIsAnsweredOncePerTRN) {
  struct Row {
    const char* Name;
    milliseconds LateBy;   // every answer held back this long
    milliseconds Shuffle;  // ShuffleWithin
    bool InOrder;
  };
  const Row rows[] = {
      {"answered at once", 0ms, 0ms, true},
      {"all held back together", 200ms, 0ms, true},
      {"shuffled", 0ms, 200ms, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    TSmscConfig config = FixedConfig();
    config.LateShare = row.LateBy > 0ms ? 1 : 0;
    config.LateBy = row.LateBy;
    config.ShuffleWithin = row.Shuffle;
    TSmscSimulator smsc(config);
    TPeer peer(smsc.Port());
    LogIn(peer);
    peer.Write(NumberedSubmits(0, 100));

    std::vector<int> order;
    for (int i = 0; i < 100; ++i) {
      std::optional<std::string> frame = peer.ReadFrame();
      ASSERT_TRUE(frame) << "answer " << i;
      TDatagram d = Parse(*frame);
      EXPECT_EQ(d.OT, 51);
      EXPECT_TRUE(d.Result);
      EXPECT_EQ(FieldAt(d.Data, 0), "A");
      // The answer carries its own operation's recipient, not a neighbour's.
      EXPECT_EQ(FieldAt(d.Data, 2).substr(0, 11), Recipient(d.TRN) + ":");
      order.push_back(d.TRN);
    }
    EXPECT_EQ(peer.ReadFrame(kQuiet), std::nullopt);
    std::vector<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (int trn = 0; trn < 100; ++trn) ASSERT_EQ(sorted[trn], trn) << "each TRN answered once";
    EXPECT_EQ(order == sorted, row.InOrder);
    EXPECT_EQ(smsc.Counts(), (TSmscCounts{100, 100, 0, 0}));
  }
}

TEST(SmscSimulatorWindow, AClientOverTheWindowOrTheRateIsToldToSlowDownWith04) {
  struct Row {
    int Window, MaxRate;
    milliseconds LateBy;  // every submit's answer held back this long
    int OT, Count;        // sent in one write, TRN 1 on
    std::vector<std::string> Expected;
    std::string Then;  // the answer to one more submit (TRN 9) once those came; empty: none sent
  };
  const Row rows[] = {
      // Answers given at once never fill the window.
      {1, 0, 0ms, 31, 3, {"31/01 A", "31/02 A", "31/03 A"}, "51/09 A"},
      // Held-back answers fill it, and free it once written.
      {2, 0, 300ms, 51, 3, {"51/03 N04", "51/01 A", "51/02 A"}, "51/09 A"},
      // A sliding second holds three submits.
      {0, 3, 0ms, 51, 5, {"51/01 A", "51/02 A", "51/03 A", "51/04 N04", "51/05 N04"}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("window " + std::to_string(row.Window) + ", rate " + std::to_string(row.MaxRate));
    TSmscConfig config = FixedConfig();
    config.Window = row.Window;
    config.MaxRate = row.MaxRate;
    config.LateShare = row.LateBy > 0ms ? 1 : 0;
    config.LateBy = row.LateBy;
    TSmscSimulator smsc(config);
    TPeer peer(smsc.Port());
    LogIn(peer);
    std::string batch;
    for (int trn = 1; trn <= row.Count; ++trn) {
      batch += row.OT == 51 ? NumberedSubmits(trn, 1) : Operation(31, trn, "1234/0539");
    }
    peer.Write(batch);
    EXPECT_EQ(ReadVerdicts(peer, row.Expected.size()), row.Expected);
    if (!row.Then.empty()) {
      peer.Write(NumberedSubmits(9, 1));
      EXPECT_EQ(ReadVerdicts(peer, 1), std::vector<std::string>{row.Then});
    }
    EXPECT_EQ(peer.ReadFrame(kQuiet), std::nullopt);
  }
}

TEST(SmscSimulatorWindow, TheRateLetsSubmitsThroughAgainOnceTheSecondHasPassed) {
  TSmscConfig config = FixedConfig();
  config.MaxRate = 2;
  TSmscSimulator smsc(config);
  TPeer peer(smsc.Port());
  LogIn(peer);
  peer.Write(NumberedSubmits(0, 3));
  ASSERT_EQ(ReadVerdicts(peer, 3), (std::vector<std::string>{"51/00 A", "51/01 A", "51/02 N04"}));
  // A client that keeps retrying faster than the rate must still get through:
  // refusals do not count against it.
  Clock::time_point end = Clock::now() + kWait;
  std::vector<std::string> verdict;
  int tries = 0;
  do {
    if (tries++ > 0) std::this_thread::sleep_for(50ms);
    peer.Write(NumberedSubmits(2, 1));
    verdict = ReadVerdicts(peer, 1);
  } while (verdict == std::vector<std::string>{"51/02 N04"} && Clock::now() < end);
  EXPECT_EQ(verdict, std::vector<std::string>{"51/02 A"});
  TSmscCounts counts = smsc.Counts();
  EXPECT_EQ(counts.Accepted, 3);
  EXPECT_EQ(counts.Refused, tries);
}

// The answers to 40 submits in one write, as they come.
std::vector<std::string> Fates(TSmscConfig aConfig, TSmscCounts* aCounts = nullptr) {
  TSmscSimulator smsc(std::move(aConfig));
  TPeer peer(smsc.Port());
  LogIn(peer);
  peer.Write(NumberedSubmits(0, 40));
  std::vector<std::string> verdicts = ReadVerdicts(peer, 40);
  EXPECT_EQ(verdicts.size(), 40u);
  if (aCounts) *aCounts = smsc.Counts();
  return verdicts;
}

std::set<int> RefusedTRNs(const std::vector<std::string>& aVerdicts) {
  std::set<int> refused;
  for (const std::string& v : aVerdicts) {
    if (v.substr(6) != "A") refused.insert(TRNOf(v));
  }
  return refused;
}

TEST(SmscSimulatorFaults, RefusalsAndLateAnswersFollowTheSeed) {
  TSmscConfig config = FixedConfig();
  config.Seed = 7;
  config.NakShare = 0.3;
  config.LateShare = 0.3;
  config.LateBy = 300ms;
  TSmscCounts counts;
  std::vector<std::string> first = Fates(config, &counts);

  std::set<int> refused = RefusedTRNs(first);
  EXPECT_FALSE(refused.empty());
  EXPECT_LT(refused.size(), 20u);
  for (const std::string& v : first) {
    EXPECT_TRUE(v.substr(6) == "A" || v.substr(6) == "N05") << v;
  }
  EXPECT_EQ(counts.Received, 40);
  EXPECT_EQ(counts.Refused, static_cast<int>(refused.size()));
  EXPECT_EQ(counts.Accepted, 40 - counts.Refused);
  // The answers on time come in order, then the late ones in order.
  std::size_t split = 1;
  while (split < first.size() && TRNOf(first[split]) > TRNOf(first[split - 1])) ++split;
  ASSERT_LT(split, first.size()) << "no answer came late";
  for (std::size_t i = split + 1; i < first.size(); ++i) {
    EXPECT_GT(TRNOf(first[i]), TRNOf(first[i - 1]));
  }

  EXPECT_EQ(Fates(config), first);
  // Neither shuffling the answers nor sending none late changes which
  // submits are refused.
  TSmscConfig shuffled = config;
  shuffled.ShuffleWithin = 100ms;
  EXPECT_EQ(RefusedTRNs(Fates(shuffled)), refused);
  TSmscConfig onTime = config;
  onTime.LateShare = 0;
  EXPECT_EQ(RefusedTRNs(Fates(onTime)), refused);
  TSmscConfig other = config;
  other.Seed = 8;
  EXPECT_NE(Fates(other), first);
}

TEST(SmscSimulatorFaults, DropAfterClosesOnceBeforeAnsweringThatSubmit) {
  TSmscConfig config = FixedConfig();
  config.DropAfter = 3;
  TSmscSimulator smsc(config);
  TPeer peer(smsc.Port());
  LogIn(peer);
  peer.Write(NumberedSubmits(0, 5));
  EXPECT_EQ(ReadVerdicts(peer, 3), (std::vector<std::string>{"51/00 A", "51/01 A"}));
  EXPECT_TRUE(peer.WaitClosed());
  // What came after the third in the same write was not taken either.
  EXPECT_EQ(smsc.Counts(), (TSmscCounts{3, 2, 0, 0}));
  ASSERT_TRUE(smsc.WaitForDisconnect(kWait));

  TPeer again(smsc.Port());
  LogIn(again);
  again.Write(NumberedSubmits(2, 3));
  EXPECT_EQ(ReadVerdicts(again, 3), (std::vector<std::string>{"51/02 A", "51/03 A", "51/04 A"}));
  // A client unsure of the first two sends them again: taken twice.
  again.Write(NumberedSubmits(0, 2));
  EXPECT_EQ(ReadVerdicts(again, 2), (std::vector<std::string>{"51/00 A", "51/01 A"}));
  EXPECT_EQ(smsc.Counts(), (TSmscCounts{8, 7, 0, 2}));
}

TEST_F(SmscSessionTest, DuplicatesAreAcceptedRepeatsOfRecipientAndText) {
  struct Row {
    const char* AdC;
    const char* Text;
    const char* Verdict;
    int Duplicates;  // counted so far
  };
  const Row rows[] = {
      {"0611", "one", "N24", 0},  // refused: not taken, so no original
      {"0611", "one", "A", 0},    // the first taken
      {"0622", "one", "A", 0},    // another recipient
      {"0611", "two", "A", 0},    // another text
      {"0611", "one", "A", 1},    // taken twice
      {"0611", "one", "A", 2},    // and three times
  };
  smsc_.NakOperation(51, 24, 1);
  for (const Row& row : rows) {
    peer_.Write(Operation(51, 5, SubmitData(row.AdC, "1234", "0", "0", row.Text)));
    EXPECT_EQ(ReadVerdicts(peer_, 1), std::vector<std::string>{std::string("51/05 ") + row.Verdict})
        << row.AdC << " " << row.Text;
    EXPECT_EQ(smsc_.Counts().Duplicates, row.Duplicates) << row.AdC << " " << row.Text;
  }
  EXPECT_EQ(smsc_.Counts(), (TSmscCounts{6, 5, 1, 2}));

  // Stopped, the centre reads nothing more and its counts stay readable.
  smsc_.Stop();
  EXPECT_TRUE(peer_.WaitClosed());
  EXPECT_EQ(smsc_.Counts(), (TSmscCounts{6, 5, 1, 2}));
  smsc_.ClearRecords();
  EXPECT_EQ(smsc_.Counts(), TSmscCounts{});
}

}  // namespace
}  // namespace qorvel
