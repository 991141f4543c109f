// The supervisor's session handling: connect and disconnect requests, the
// status lines of a session, automatic reconnection, keep-alive timing, a
// lost connection and shutdown.
#include <QDate>
#include <QLocale>
#include <QTime>
#include <cctype>
#include <ostream>
#include <string>
#include <thread>

#include "emi/datetime.h"
#include "supervisor_fixture.h"
#include "app/date_text.h"

namespace qorvel::testing {
namespace {

// The locale's text as the status pane gets it: blanks beyond Latin-1 (the
// narrow no-break space before "PM") as spaces.
std::string Latin1(QString aText) {
  for (QChar& c : aText)
    if (c.unicode() > 0xFF && c.isSpace()) c = u' ';
  return aText.toLatin1().toStdString();
}

TEST_F(SupervisorTest, StatusLinesOfASession) {
  auto client = std::make_shared<TFakeAutoObject>();
  dm->AddAutoObject(client);
  EXPECT_FALSE(dm->EngineActive()) << "nothing connects before the next step";
  TickConnecting();
  ASSERT_TRUE(dm->EngineActive());
  const std::string port = std::to_string(smsc.Port());
  EXPECT_EQ(form.Log1.Texts(), (std::vector<std::string>{
                                   "Socket opening 127.0.0.1:" + port,
                                   "Socket opened",
                                   "Connecting to KESTRA under account \"1234\"",
                                   "Connected to KESTRA",
                               }));
  EXPECT_EQ(client->Events, std::vector<std::string>{"active"});
  EXPECT_GT(form.Updates, 0);
  EXPECT_TRUE(dm->LinkState().starts_with("Connected to KESTRA since ")) << dm->LinkState();
  EXPECT_EQ(form.LinkShown, dm->LinkState());
  const std::string traffic = form.Log2.Chars();
  EXPECT_NE(traffic.find("\r\n01) <STX>00/00043/O/60/1234/"), std::string::npos) << traffic;
  EXPECT_NE(traffic.find("\r\n02) <STX>00/00019/R/60/A//"), std::string::npos) << traffic;
  form.Log1.Clear();

  auto submit = Post(kJobSubmit, "0612345678", "Hello", 1);
  Tick();
  ASSERT_TRUE(WaitFor([&] { return submit->Completed(); }));
  ASSERT_EQ(submit->ResultCode(), 0) << submit->ResultText();
  ASSERT_TRUE(WaitForLine("Notified: "));
  std::vector<std::string> lines = form.Log1.Texts();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Submiting \"Hello\" to \"0612345678\"");
  const std::string notifiedHead =
      "Notified: " + Latin1(DateTimeText(submit->ResultSCTS())) + ",\"#1234\",\"0612345678\",\"";
  EXPECT_TRUE(lines[1].starts_with(notifiedHead)) << lines[1];
  EXPECT_TRUE(lines[1].ends_with("\", Status: 0-delivered (OK)")) << lines[1];
  EXPECT_EQ(dm->Counts().Sent, 1);
  EXPECT_EQ(dm->Counts().Notifications, 1);
  EXPECT_EQ(dm->Counts().Queued, 0);
  form.Log1.Clear();

  TMobileMessage text;
  text.OA = "0612000001";
  text.DA = "1234";
  text.Msg = "hi there";
  text.SCTS = "070503140559";
  smsc.SendDeliver(text);
  TMobileMessage data = text;
  data.Msg = std::string("\x01\xff", 2);
  data.Binary = true;
  data.RPI = 1;
  data.SCTS = "080503000000";
  smsc.SendDeliver(data);
  ASSERT_TRUE(
      main_thread::WaitOnMainThread([&] { return form.Log1.Count("Delivered: ") == 2; }, 5s));
  EXPECT_EQ(dm->Counts().Received, 2);
  const QLocale locale = QLocale::system();
  const std::string afternoon =
      Latin1(locale.toString(QDate(2003, 5, 7), QLocale::ShortFormat) + ' ' +
             locale.toString(QTime(14, 5, 59), QLocale::LongFormat));
  const std::string midnight = Latin1(locale.toString(QDate(2003, 5, 8), QLocale::ShortFormat));
  EXPECT_EQ(form.Log1.Texts(),
            (std::vector<std::string>{
                "Delivered: " + afternoon + ",\"0612000001\",\"#1234\",RPI:0, \"hi there\"",
                "Delivered: " + midnight + ",\"0612000001\",\"#1234\",RPI:1, \"01FF\"",
            }));
  EXPECT_EQ(client->Events, (std::vector<std::string>{"active", "notified 0612345678 0",
                                                      "delivered 0612000001 hi there",
                                                      "delivered 0612000001 " + data.Msg}));
  EXPECT_NE(form.RxQueueShown, -1) << "the third panel follows the engine's queue";
  Tick();
  EXPECT_EQ(form.RxQueueShown, 0) << "once handed over, nothing waits";
  form.Log1.Clear();

  smsc.NakOperation(51, 24, 1);
  clock.Clear();
  auto retried = Post(kJobSubmit, "0612345678", "Again");
  Tick();
  ASSERT_TRUE(WaitFor([&] { return retried->Completed(); }));
  EXPECT_EQ(retried->ResultCode(), 0) << retried->ResultText();
  EXPECT_EQ(form.Log1.Texts(), (std::vector<std::string>{
                                   "Submiting \"Again\" to \"0612345678\"",
                                   "Reconnecting",
                                   "Socket closing",
                                   "Socket closed",
                                   "Socket opening 127.0.0.1:" + port,
                                   "Socket opened",
                                   "Connecting to KESTRA under account \"1234\"",
                                   "Connected to KESTRA",
                               }));
  // The pauses before the retry and before reopening are timers.
  EXPECT_TRUE(clock.Sleeps().empty());
  form.Log1.Clear();

  ini.User = "";
  WriteIni();
  dm->RequestActive(false);
  Tick();
  dm->RequestActive(true);
  TickConnecting();
  // The refused session's socket is closed at once, not left to the next one.
  EXPECT_EQ(form.Log1.Texts(), (std::vector<std::string>{
                                   "Socket closing",
                                   "Socket closed",
                                   "Socket opening 127.0.0.1:" + port,
                                   "Socket opened",
                                   "Socket closing",
                                   "Socket closed",
                                   "Error: User and address is empty",
                               }));
  EXPECT_FALSE(dm->LineCom().Active());
  EXPECT_FALSE(dm->EngineActive());
}

TEST_F(SupervisorTest, RequestsOpenAndCloseOnTheNextStep) {
  auto client = std::make_shared<TFakeAutoObject>();
  Connect();
  ASSERT_TRUE(smsc.WaitForConnections(1, 2s));

  dm->RequestActive(true);
  Tick();
  EXPECT_TRUE(dm->EngineActive()) << "a connect request while open only uses up the request";
  EXPECT_TRUE(form.Log1.Texts().empty());
  EXPECT_EQ(smsc.Connections(), 1);

  dm->AddAutoObject(client);
  dm->RequestActive(false);
  EXPECT_TRUE(dm->EngineActive());
  Tick();
  EXPECT_FALSE(dm->EngineActive());
  EXPECT_FALSE(dm->LineCom().Active()) << "the transport is closed as well";
  EXPECT_TRUE(smsc.WaitForDisconnect(2s));
  EXPECT_EQ(client->Events, std::vector<std::string>{"active"});

  // Disconnect first, then connect: a step that sees both reopens.
  Connect();
  dm->RequestActive(false);
  dm->AddAutoObject(std::make_shared<TFakeAutoObject>());
  TickConnecting();
  EXPECT_TRUE(dm->EngineActive());
  EXPECT_EQ(form.Log1.Count("Socket closed"), 1);
  EXPECT_EQ(form.Log1.Count("Connected to KESTRA"), 1);
  EXPECT_TRUE(smsc.WaitForConnections(3, 2s));
}

// A centre that writes before the client has said anything once left the
// reader waiting for the main thread while the main thread waited for the
// login answer, and the login timed out.
TEST_F(SupervisorTest, ACentreThatSpeaksFirstStillGetsItsLogin) {
  TSmscConfig config = SmscConfig();
  config.KeepAliveOnAccept = true;
  TSmscSimulator greeting(config);
  ini.Port = greeting.Port();
  WriteIni();
  for (int i = 0; i < 5; ++i) {
    Connect();
    ASSERT_TRUE(dm->EngineActive());
    dm->RequestActive(false);
    Tick();
  }
  EXPECT_EQ(greeting.Operations(60).size(), 5u);
  EXPECT_EQ(form.Log1.Count("Error: "), 0);
}

// An SMSC that keeps the login waiting holds nothing up: jobs wait in the
// queue, and a disconnect request ends the connect without an error.
TEST_F(SupervisorTest, ADisconnectRequestEndsAConnectThatWaits) {
  dm->EMIClient().RecTimeout = 60000;
  smsc.WithholdAnswers(60);
  dm->RequestActive(true);
  Tick();
  ASSERT_TRUE(WaitFor([&] { return !smsc.Operations(60).empty(); }));
  EXPECT_TRUE(dm->Connecting());
  Tick();
  EXPECT_EQ(dm->LinkState(), "Connecting to 127.0.0.1:" + std::to_string(smsc.Port()));
  auto submit = Post(kJobSubmit);
  Tick();
  EXPECT_FALSE(submit->Completed()) << "a job waits for the connect";
  EXPECT_EQ(form.Log1.Count("Submiting"), 0);

  dm->RequestActive(false);
  Tick();
  EXPECT_FALSE(dm->Connecting());
  EXPECT_EQ(dm->LinkState(), "Disconnected");
  EXPECT_FALSE(dm->EngineActive());
  EXPECT_FALSE(dm->LineCom().Active());
  EXPECT_EQ(form.Log1.Count("Error: "), 0);
  EXPECT_TRUE(smsc.WaitForDisconnect(2s));
  Tick();
  ASSERT_TRUE(submit->Completed());
  EXPECT_EQ(submit->ResultText(), "Connection is inactive");
}

struct TReconnectCase {
  int ReconnectTimeout;
  bool Armed;
};

void PrintTo(const TReconnectCase& c, std::ostream* os) {
  *os << "ReconnectTimeout " << c.ReconnectTimeout << (c.Armed ? ", armed" : ", not armed");
}

class SupervisorReconnect : public SupervisorTest,
                            public ::testing::WithParamInterface<TReconnectCase> {};

TEST_P(SupervisorReconnect, AFailedReopenArmsReconnectionUnlessTheTimeoutIsZero) {
  const TReconnectCase c = GetParam();
  Connect();
  ini.Port = DeadPort();
  ini.ReconnectTimeout = c.ReconnectTimeout;
  WriteIni();
  dm->LineCom().CloseSocket();
  TickConnecting();
  EXPECT_EQ(form.Log1.Count("Connection lost"), 1);
  EXPECT_EQ(form.Log1.Count("Cannot connect to socket. I'll try reconnect."), 1);
  EXPECT_EQ(form.Log1.Count("Error: "), 1);
  EXPECT_FALSE(dm->EngineActive());
  EXPECT_FALSE(dm->LineCom().Active());
  EXPECT_EQ(dm->ReconnectArmed(), c.Armed);
  EXPECT_EQ(dm->LinkState(), c.Armed ? "Reconnecting in 1 s" : "Reconnection off");
  ASSERT_EQ(form.Log1.Count("Socket opening"), 1);

  Tick();
  EXPECT_EQ(form.Log1.Count("Socket opening"), 1) << "no attempt right after the last one";
  if (!c.Armed) {
    clock.Skip(600'000);
    Tick();
    EXPECT_EQ(form.Log1.Count("Socket opening"), 1);
    return;
  }

  clock.Skip(1001);
  TickConnecting();
  ASSERT_EQ(form.Log1.Count("Socket opening"), 2) << "the next attempt once the time-out passed";
  EXPECT_TRUE(dm->ReconnectArmed()) << "a failed automatic attempt stays armed";

  ini.Port = smsc.Port();
  WriteIni();
  clock.Skip(1001);
  TickConnecting();
  EXPECT_TRUE(dm->EngineActive());
  EXPECT_FALSE(dm->ReconnectArmed());
  EXPECT_EQ(form.Log1.Count("Socket opening"), 3);
}

INSTANTIATE_TEST_SUITE_P(Timeouts, SupervisorReconnect,
                         ::testing::Values(TReconnectCase{1, true}, TReconnectCase{0, false}),
                         [](const auto& info) {
                           return "Timeout" + std::to_string(info.param.ReconnectTimeout);
                         });

TEST_F(SupervisorTest, ALostConnectionIsReopenedByTheNextStep) {
  Connect();
  ASSERT_TRUE(smsc.WaitForConnections(1, 2s));
  smsc.Drop();
  // The transport notices the hang-up by itself where it can; closing the
  // socket stands in for that here.
  if (!main_thread::WaitOnMainThread([&] { return !dm->LineCom().SocketConnected(); }, 1s))
    dm->LineCom().CloseSocket();
  TickConnecting();
  EXPECT_EQ(form.Log1.Count("Connection lost"), 1);
  EXPECT_TRUE(dm->EngineActive());
  EXPECT_TRUE(smsc.WaitForConnections(2, 2s));
  EXPECT_EQ(smsc.Operations(60).size(), 2u) << "logged in again";
}

struct TKeepAliveCase {
  std::string Interval;
  bool Refuse;
  size_t Alerts;
  int Connections;
};

void PrintTo(const TKeepAliveCase& c, std::ostream* os) {
  *os << "interval \"" << c.Interval << "\"" << (c.Refuse ? ", refused" : "") << ", alerts "
      << c.Alerts << ", connections " << c.Connections;
}

class SupervisorKeepAlive : public SupervisorTest,
                            public ::testing::WithParamInterface<TKeepAliveCase> {};

TEST_P(SupervisorKeepAlive, QuietSessionIsTestedAfterTheInterval) {
  const TKeepAliveCase c = GetParam();
  ini.Extra = "SMT_KEEPALIVE_INTERVAL=" + c.Interval + "\n";
  WriteIni();
  Connect();
  if (c.Refuse) smsc.NakOperation(31, 2, 1);
  clock.Skip(1300);
  Tick();
  // The keep-alive is a request: its answer, and a reconnection after a
  // refusal, come after the step.
  WaitFor([&] { return smsc.Operations(31).size() >= c.Alerts && smsc.Connections() >= c.Connections; });
  WaitFor([&] { return dm->EngineActive(); });
  EXPECT_EQ(smsc.Operations(31).size(), c.Alerts);
  EXPECT_EQ(smsc.Connections(), c.Connections);
  EXPECT_TRUE(dm->EngineActive());
}

INSTANTIATE_TEST_SUITE_P(Intervals, SupervisorKeepAlive,
                         ::testing::Values(TKeepAliveCase{"1", false, 1, 1},
                                           TKeepAliveCase{"1", true, 1, 2},
                                           TKeepAliveCase{"0", false, 0, 1},
                                           TKeepAliveCase{"abc", false, 0, 1}),
                         [](const auto& info) {
                           std::string name = "Interval_";
                           for (char c : info.param.Interval)
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return info.param.Refuse ? name + "_Refused" : name;
                         });

TEST_F(SupervisorTest, ShutdownClosesSilentlyAndReleasesAWaitingCaller) {
  auto client = std::make_shared<TFakeAutoObject>();
  dm->AddAutoObject(client);
  TickConnecting();
  ASSERT_TRUE(dm->EngineActive());
  client->Events.clear();
  form.Log1.Clear();

  auto requester = Post(kJobSubmit);
  bool returned = false;
  std::thread caller([&] { returned = requester->Wait(10000); });
  dm->SetForm(nullptr);
  dm.reset();
  caller.join();
  EXPECT_TRUE(returned);
  EXPECT_EQ(requester->ResultCode(), -1);
  EXPECT_EQ(requester->ResultText(), "Object destroyed");
  EXPECT_TRUE(client->Events.empty()) << "no events at shutdown";
  EXPECT_EQ(client.use_count(), 1) << "the supervisor let go of the object";
  EXPECT_TRUE(smsc.WaitForDisconnect(2s));
  EXPECT_EQ(EMIDM, nullptr);
}

}  // namespace
}  // namespace qorvel::testing
