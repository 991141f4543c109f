// The automation server in front of the real supervisor, against the SMSC
// simulator on 127.0.0.1, under a session bus of the test's own. The clients
// are connections of this process, qorvelctl and the Python example.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusReply>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>

#include "app/history_events.h"
#include "app/message_store.h"
#include "app/supervisor_fixture.h"
#include "automation/automation_server.h"
#include "automation/bus_client.h"
#include "config/config.h"
#include "emi/codec.h"
#include "main/program_automation.h"
#include "temp_dir.h"
#include "tools/smsc/smsc_simulator.h"

namespace qorvel::test {

class TEventRecorder : public QObject {
  Q_OBJECT
 public:
  std::vector<QDBusMessage> Signals;
  int Count(const char* aName) const {
    int n = 0;
    for (const auto& s : Signals) n += s.member() == QLatin1String(aName) ? 1 : 0;
    return n;
  }
 public slots:
  void Record(const QDBusMessage& aMessage) { Signals.push_back(aMessage); }
};

namespace {

// The supervisor as the automation server sees it, with an eye on the objects
// it hands out, so that a test can wait for a client to have advised one.
// Called on the server's thread and on this one.
class TObjectSpy final : public IAutoSupervisor {
 public:
  explicit TObjectSpy(IAutoSupervisor& aReal) : real_(aReal) {}
  // Live objects that have a sink.
  int Advised() const EXCLUDES(lock_) {
    TLockGuard g(lock_);
    int n = 0;
    for (const auto& weak : objects_) {
      const auto object = weak.lock();
      n += object && object->Advised() ? 1 : 0;
    }
    return n;
  }

  void AddAutoObject(std::shared_ptr<IAutoObject> aObject) override EXCLUDES(lock_) {
    {
      TLockGuard g(lock_);
      objects_.push_back(std::dynamic_pointer_cast<TAutoEMI>(aObject));
    }
    real_.AddAutoObject(std::move(aObject));
  }
  void RemoveAutoObject(const IAutoObject* aObject) override { real_.RemoveAutoObject(aObject); }
  void RequestActive(bool aActive) override { real_.RequestActive(aActive); }
  void PostJob(std::string aName, std::unique_ptr<TSubmitItem> aItem) override {
    real_.PostJob(std::move(aName), std::move(aItem));
  }
  bool EngineActive() const override { return real_.EngineActive(); }
  std::string OwnAddress() const override { return real_.OwnAddress(); }
  TTrafficCounts Counts() const override { return real_.Counts(); }
  std::string LinkState() const override { return real_.LinkState(); }

 private:
  IAutoSupervisor& real_;
  mutable TMutex lock_;
  std::vector<std::weak_ptr<TAutoEMI>> objects_ GUARDED_BY(lock_);
};

const QString kIface = QLatin1String(kObjectInterface);
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

QString BuildTool(const char* aName) {
  return QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/") +
         QLatin1String(aName);
}

// From a connection of its own, sends what looks like Qorvel's notification
// (delivery status 2, from "forged") on the path of every object there is,
// then makes a call: the bus has passed them on before the events Qorvel
// sends after it.
void ForgeNotifications() {
  TBusClient forger(QStringLiteral("forger"));
  const QString children =
      forger
          .Call(QStringLiteral("/Qorvel/AutoEMI"),
                QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"))
          .arguments()
          .value(0)
          .toString();
  static const QRegularExpression kChild(QStringLiteral("<node name=\"(\\d+)\"/>"));
  int forged = 0;
  for (const auto& m : kChild.globalMatch(children)) {
    QDBusMessage fake = QDBusMessage::createSignal(QLatin1String(kObjectPathPrefix) + m.captured(1),
                                                   QLatin1String(kEventsInterface),
                                                   QStringLiteral("OnDeliveredNotification"));
    fake.setArguments({1.0, QStringLiteral("forged"), QStringLiteral("0612345678"), QByteArray("x"),
                       QVariant::fromValue<short>(0), QVariant::fromValue<short>(2),
                       QVariant::fromValue<short>(0), 1.0});
    ASSERT_TRUE(forger.Bus().send(fake));
    ++forged;
  }
  ASSERT_GE(forged, 1) << children.toStdString();
  forger.Call(QStringLiteral("/Qorvel"), QStringLiteral("org.freedesktop.DBus.Peer"),
              QStringLiteral("Ping"));
}

// Runs a program to its end while the event loop (and so the supervisor) goes
// on; its stdout, with its exit code in aCode.
QString RunToEnd(const QString& aProgram, const QStringList& aArgs, int* aCode = nullptr,
                 QString* aErr = nullptr, const QByteArray& aInput = {}) {
  QProcess p;
  p.start(aProgram, aArgs);
  p.waitForStarted();
  p.write(aInput);
  p.closeWriteChannel();
  WaitFor([&] { return p.state() == QProcess::NotRunning; }, 60000);
  if (aCode) *aCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  if (aErr) *aErr = QString::fromUtf8(p.readAllStandardError());
  return QString::fromUtf8(p.readAllStandardOutput());
}

class SupervisedBus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus";
    qorvel::testing::WriteText(dir_.File("EMI.INI"),
                               "[EMI]\nIP=127.0.0.1\nPort=" + std::to_string(smsc_.Port()) +
                                   "\nReconnectTimeout=0\n[EMI.Connection]\nUser=1234\nPassword=" +
                                   ScramblePassword("pw") + "\n");
    history_ = std::make_unique<TMessageStore>(dir_.File("history.db"), THistoryLimits{},
                                               historyEvents_.StoreHandlers());
    dm_ = std::make_unique<TEMIDM>(TIniFile(dir_.File("EMI.INI")), SystemClock());
    dm_->SetForm(&form_);
    dm_->SetHistory(history_.get());
    spy_ = std::make_unique<TObjectSpy>(*dm_);
    StartServer();
  }
  void TearDown() override {
    server_.reset();
    spy_.reset();
    if (dm_) dm_->SetForm(nullptr);
    dm_.reset();
    history_.reset();
  }

  // Takes the bus name, as a Qorvel that starts.
  void StartServer() {
    server_ = std::make_unique<TProgramAutomation>(
        *spy_, Mode(), [this](const std::string& l) { form_.Log1.AddLine(l); }, history_.get(),
        &historyEvents_);
    ASSERT_TRUE(server_->Running());
    QCoreApplication::processEvents();
  }

  virtual TStartMode Mode() const { return TStartMode::User; }

  static QString Run(const QString& aProgram, const QStringList& aArgs, int* aCode = nullptr,
                     QString* aErr = nullptr, const QByteArray& aInput = {}) {
    return RunToEnd(aProgram, aArgs, aCode, aErr, aInput);
  }

  static TSmscConfig SmscConfig() {
    TSmscConfig c;
    c.Account = "1234";
    c.Password = "pw";
    return c;
  }

  TSmscSimulator smsc_{SmscConfig()};
  qorvel::testing::TTempDir dir_;
  qorvel::testing::TFakeForm form_;
  THistoryEvents historyEvents_;
  std::unique_ptr<TMessageStore> history_;
  std::unique_ptr<TEMIDM> dm_;
  std::unique_ptr<TObjectSpy> spy_;
  std::unique_ptr<TProgramAutomation> server_;
};

TEST_F(SupervisedBus, CreatingAnObjectConnectsAndSubmitReturnsTheSimulatorsStamp) {
  TBusClient client(QStringLiteral("client"));
  QString path = client.Create();
  ASSERT_FALSE(path.isEmpty());
  ASSERT_TRUE(WaitFor([&] { return dm_->EngineActive(); }))
      << ::testing::PrintToString(form_.Log1.Texts());

  // MCLs 256 keeps its low octet, 0; VP 0.5 is twelve hours.
  const QByteArray data("\x00\x80\xff", 3);
  QDBusPendingCall call =
      client.AsyncCall(path, kIface, QStringLiteral("Submit"),
                       SubmitArgs(QStringLiteral("0612345678"), data, true, 256, 0, 0.5));
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(WaitFor([&] { return call.isFinished(); }));
  QDBusReply<double> scts = call.reply();
  ASSERT_TRUE(scts.isValid()) << scts.error().message().toStdString();
  auto submits = smsc_.Submits();
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_EQ(scts.value(), StampToDateTime(submits[0].SCTS));
  const auto& f = submits[0].Fields;
  EXPECT_EQ(f[20], "0080FF");
  EXPECT_EQ(f[24], "0");
  // The validity stamp is local time, twelve hours on, to the minute.
  std::time_t due = before + 12 * 3600;
  std::tm local{};
  localtime_r(&due, &local);
  char expect[16];
  std::strftime(expect, sizeof expect, "%d%m%y%H", &local);
  EXPECT_EQ(f[12].substr(0, 8), expect) << f[12];

  // Asked without blocking: the supervisor runs on this very thread.
  QDBusPendingCall alive = client.AsyncCall(path, kIface, QStringLiteral("TestConnection"));
  ASSERT_TRUE(WaitFor([&] { return alive.isFinished(); }));
  EXPECT_TRUE(QDBusReply<bool>(alive.reply()).value());
  QDBusMessage phone = client.Call(path, kProperties, QStringLiteral("Get"),
                                   {kIface, QStringLiteral("PhoneNumber")});
  EXPECT_EQ(phone.arguments().value(0).value<QDBusVariant>().variant().toString(),
            QStringLiteral("1234"));
}

TEST_F(SupervisedBus, SubmitWhileNotConnectedFailsAndTheObjectStaysUsable) {
  TBusClient client(QStringLiteral("client"));
  QString path = client.Create();
  // Active := false before the next step takes back the creation's request.
  client.Call(path, kProperties, QStringLiteral("Set"),
              {kIface, QStringLiteral("Active"), QVariant::fromValue(QDBusVariant(false))});
  QDBusMessage test = client.Object(path, QStringLiteral("TestConnection"));
  ASSERT_EQ(test.type(), QDBusMessage::ReplyMessage);
  EXPECT_FALSE(test.arguments().value(0).toBool());
  QDBusPendingCall call = client.AsyncCall(path, kIface, QStringLiteral("Submit"),
                                           SubmitArgs(QStringLiteral("1"), "x"));
  ASSERT_TRUE(WaitFor([&] { return call.isFinished(); }));
  EXPECT_EQ(call.error().name(), QLatin1String(kErrorUnexpected));
  EXPECT_EQ(call.error().message(), QStringLiteral("Connection is inactive"));
  EXPECT_FALSE(dm_->EngineActive());
  EXPECT_EQ(smsc_.Connections(), 0);

  client.Call(path, kProperties, QStringLiteral("Set"),
              {kIface, QStringLiteral("Active"), QVariant::fromValue(QDBusVariant(true))});
  ASSERT_TRUE(WaitFor([&] { return dm_->EngineActive(); }));
  call = client.AsyncCall(path, kIface, QStringLiteral("Submit"),
                          SubmitArgs(QStringLiteral("1"), "y"));
  ASSERT_TRUE(WaitFor([&] { return call.isFinished(); }));
  EXPECT_TRUE(QDBusReply<double>(call.reply()).isValid()) << call.error().message().toStdString();
}

TEST_F(SupervisedBus, MobilesMessagesNotificationsAndConnectionChangesReachTheSink) {
  TBusClient a(QStringLiteral("a")), b(QStringLiteral("b"));
  QString pathA = a.Create(), pathB = b.Create();
  TEventRecorder atA, atB;
  a.Listen(pathA, &atA);
  b.Listen(pathB, &atB);
  a.Object(pathA, QStringLiteral("Advise"));
  ASSERT_TRUE(WaitFor([&] { return atA.Count("OnActiveChanged") == 1; }));

  TMobileMessage mobile;
  mobile.OA = "0612345678";
  mobile.DA = "1234";
  mobile.Msg = std::string("\x00\x01\xc3\x28\x80\xff", 6);
  mobile.Binary = true;
  mobile.MCLs = 1;
  smsc_.SendDeliver(mobile);
  ASSERT_TRUE(WaitFor([&] { return atA.Count("OnDelivered") == 1; }));
  const QDBusMessage* delivered = nullptr;
  for (const auto& s : atA.Signals) {
    if (s.member() == QLatin1String("OnDelivered")) delivered = &s;
  }
  ASSERT_NE(delivered, nullptr);
  EXPECT_EQ(delivered->arguments()[1].toString(), QStringLiteral("0612345678"));
  EXPECT_EQ(delivered->arguments()[3].toByteArray(), QByteArray("\x00\x01\xc3\x28\x80\xff", 6));
  EXPECT_TRUE(delivered->arguments()[4].toBool());
  EXPECT_EQ(delivered->arguments()[5].value<short>(), 1);

  QDBusPendingCall call = a.AsyncCall(pathA, kIface, QStringLiteral("Submit"),
                                      SubmitArgs(QStringLiteral("0699"), "hi", false, 255, 1));
  ASSERT_TRUE(WaitFor([&] { return atA.Count("OnDeliveredNotification") == 1; }));
  EXPECT_TRUE(call.isFinished());

  a.Call(pathA, kProperties, QStringLiteral("Set"),
         {kIface, QStringLiteral("Active"), QVariant::fromValue(QDBusVariant(false))});
  ASSERT_TRUE(WaitFor([&] { return atA.Count("OnActiveChanged") == 2; }));
  EXPECT_TRUE(atB.Signals.empty()) << "b never advised";
}

TEST_F(SupervisedBus, QorvelctlSubmitsTestsSwitchesAndWatches) {
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  int code = -1;
  QString err;
  QString out = Run(ctl, {"connect"}, &code, &err);
  EXPECT_EQ(code, 0) << err.toStdString();
  EXPECT_TRUE(dm_->EngineActive());
  out = Run(ctl, {"status"}, &code);
  EXPECT_TRUE(
      out.startsWith(QStringLiteral("connected: yes\nown number: 1234\n"
                                    "link: Connected to KESTRA since ")))
      << out.toStdString();
  EXPECT_TRUE(out.endsWith(
      QStringLiteral("\nsent: 0\nfailed: 0\nreceived: 0\nnotifications: 0\nqueued: 0\n"
                     "history: ") +
      QString::fromStdString(dir_.File("history.db")) + QLatin1Char('\n')))
      << out.toStdString();
  out = Run(ctl, {"test"}, &code);
  EXPECT_EQ(out, QStringLiteral("alive\n"));
  EXPECT_EQ(code, 0);

  QProcess watch;
  watch.start(ctl, {"watch", "--json"});
  ASSERT_TRUE(watch.waitForStarted());
  ASSERT_TRUE(WaitFor([&] { return spy_->Advised() == 1; }));

  // Watch must not take it for one of Qorvel's.
  ForgeNotifications();

  out = Run(ctl,
            {"submit", "0612", "--hex", "00FF41", "--class", "1", "--notify", "delivered,buffered",
             "--validity", "12"},
            &code, &err);
  EXPECT_EQ(code, 0) << err.toStdString();
  auto submits = smsc_.Submits();
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_EQ(submits[0].Fields[20], "00FF41");
  EXPECT_EQ(submits[0].Fields[24], "1");
  EXPECT_EQ(submits[0].Fields[5], "5");
  EXPECT_EQ(out.trimmed(), QDateTime(QDate(1899, 12, 30), QTime(0, 0))
                               .addMSecs(qRound64(StampToDateTime(submits[0].SCTS) * 86400000.0))
                               .toString(Qt::ISODate));

  TMobileMessage mobile;
  mobile.OA = "0655";
  mobile.DA = "1234";
  mobile.Msg = "Hi \xe9";
  smsc_.SendDeliver(mobile);
  QByteArray lines;
  ASSERT_TRUE(WaitFor([&] {
    lines += watch.readAllStandardOutput();
    return lines.contains("OnDelivered\"");
  })) << lines.toStdString();
  EXPECT_TRUE(lines.contains("\"Msg\":\"Hi \xc3\xa9\"")) << lines.toStdString();
  EXPECT_TRUE(lines.contains("\"OA\":\"0655\""));
  EXPECT_FALSE(lines.contains("forged")) << lines.toStdString();
  watch.terminate();
  WaitFor([&] { return watch.state() == QProcess::NotRunning; });
  EXPECT_EQ(watch.exitCode(), 0);

  out = Run(ctl, {"disconnect"}, &code, &err);
  EXPECT_EQ(code, 0) << err.toStdString();
  EXPECT_FALSE(dm_->EngineActive());
  out = Run(ctl, {"submit", "0612"}, &code, &err);
  EXPECT_EQ(code, 1);
  EXPECT_TRUE(err.startsWith(QStringLiteral("qorvelctl: submit takes NUMBER and TEXT")));
}

// Help is asked only before a command's first argument; after "--", and for
// what is no option of submit, an argument is the message's text.
TEST_F(SupervisedBus, QorvelctlTakesHelpOnlyInFrontAndTextAfterTheOptions) {
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  struct TRow {
    QStringList Args;
    int Code;
    const char* Out;  // how stdout begins
    const char* Err;  // how stderr begins; "" for nothing at all
    QByteArray Sent;  // the text the SMSC got; none when null
  };
  const TRow rows[] = {
      {{"submit", "0612", "-h"}, 0, "", "", "-h"},
      {{"submit", "0612", "--", "-h"}, 0, "", "", "-h"},
      {{"submit", "0612", "--", "--help"}, 0, "", "", "--help"},
      {{"submit", "-h"}, 0, "usage: qorvelctl COMMAND", "", {}},
      {{"--help", "submit", "0612", "hi"}, 0, "usage: qorvelctl COMMAND", "", {}},
      {{"submit", "0612", "--clas", "1", "hi"},
       1,
       "",
       "qorvelctl: submit takes NUMBER and TEXT (--clas is no option of submit)\n",
       {}},
      {{"connect", "--wait"}, 1, "", "qorvelctl: --wait needs a value\n", {}},
      {{"test", "--wait"}, 1, "", "qorvelctl: --wait needs a value\n", {}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Args.join(QLatin1Char(' ')).toStdString());
    smsc_.ClearRecords();
    int code = -1;
    QString err;
    const QString out = Run(ctl, row.Args, &code, &err);
    EXPECT_EQ(code, row.Code) << err.toStdString();
    EXPECT_EQ(out.toStdString().substr(0, std::strlen(row.Out)), row.Out);
    if (*row.Err) {
      EXPECT_EQ(err.toStdString().substr(0, std::strlen(row.Err)), row.Err);
    } else {
      EXPECT_EQ(err.toStdString(), "");
    }
    const auto submits = smsc_.Submits();
    if (row.Sent.isNull()) {
      EXPECT_TRUE(submits.empty());
    } else {
      ASSERT_EQ(submits.size(), 1u);
      EXPECT_EQ(submits[0].Fields[20], row.Sent.toHex().toUpper().toStdString());
    }
  }
}

// qorvelctl test on a Qorvel that is still logging in, as one the bus has
// just started: it waits for the connection, up to --wait.
struct TLoginRow {
  const char* Name;
  bool Answered;  // late; otherwise never
  QStringList Args;
  const char* Out;
  int Code;
};

void PrintTo(const TLoginRow& aRow, std::ostream* aOut) {
  *aOut << aRow.Name;
}

class QorvelctlTest : public SupervisedBus, public ::testing::WithParamInterface<TLoginRow> {};

TEST_P(QorvelctlTest, WaitsForTheLoginUpToItsBound) {
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  if (GetParam().Answered) {
    smsc_.DelayAnswers(60, std::chrono::milliseconds(1000), 1);
  } else {
    smsc_.WithholdAnswers(60);
  }
  int code = -1;
  QString err;
  EXPECT_EQ(Run(ctl, GetParam().Args, &code, &err).toStdString(), GetParam().Out);
  EXPECT_EQ(code, GetParam().Code);
  EXPECT_EQ(err.toStdString(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Login, QorvelctlTest,
    ::testing::Values(TLoginRow{"Late", true, {"test"}, "alive\n", 0},
                      TLoginRow{"Never", false, {"test", "--wait", "1"}, "not alive\n", 2}),
    [](const auto& aInfo) { return std::string(aInfo.param.Name); });

// Qorvel goes away under a watch (its bus name has no owner any more) and
// comes back: watch --once ends, watch without it carries on with a new
// object.
TEST_F(SupervisedBus, QorvelctlWatchNoticesQorvelGoingAndFollowsItBack) {
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  for (const bool once : {true, false}) {
    SCOPED_TRACE(once ? "--once" : "without --once");
    if (!server_) StartServer();
    QProcess watch;
    watch.start(ctl, once ? QStringList{"watch", "--once"} : QStringList{"watch"});
    ASSERT_TRUE(WaitFor([&] { return spy_->Advised() == 1; }));
    server_.reset();
    if (once) {
      ASSERT_TRUE(WaitFor([&] { return watch.state() == QProcess::NotRunning; }));
      EXPECT_EQ(watch.exitStatus(), QProcess::NormalExit);
      EXPECT_EQ(watch.exitCode(), 1);
      EXPECT_EQ(watch.readAllStandardError().toStdString(), "qorvelctl: Qorvel went away\n");
      continue;
    }
    QByteArray err;
    ASSERT_TRUE(WaitFor([&] {
      err += watch.readAllStandardError();
      return err.contains("went away");
    })) << err.toStdString();
    StartServer();
    ASSERT_TRUE(WaitFor([&] { return spy_->Advised() == 1; }));
    // Its new object asked for the connection; the message must find it.
    ASSERT_TRUE(WaitFor([&] { return dm_->EngineActive() && smsc_.SessionOpen(); }));
    TMobileMessage mobile;
    mobile.OA = "0655";
    mobile.DA = "1234";
    mobile.Msg = "again";
    smsc_.SendDeliver(mobile);
    QByteArray out;
    ASSERT_TRUE(WaitFor([&] {
      out += watch.readAllStandardOutput();
      return out.contains("text=\"again\"");
    })) << out.toStdString();
    watch.terminate();
    ASSERT_TRUE(WaitFor([&] { return watch.state() == QProcess::NotRunning; }));
    EXPECT_EQ(watch.exitCode(), 0);
    err += watch.readAllStandardError();
    EXPECT_EQ(err.toStdString(),
              "qorvelctl: Qorvel went away; waiting for it to come back\n"
              "qorvelctl: Qorvel is back; watching again\n");
  }
}

// The simulator's time stamp as qorvelctl prints it.
QString StampText(const std::string& aStamp) {
  return QDateTime(QDate(1899, 12, 30), QTime(0, 0))
      .addMSecs(qRound64(StampToDateTime(aStamp) * 86400000.0))
      .toString(Qt::ISODate);
}

std::vector<QJsonObject> JsonLines(const QString& aOut) {
  std::vector<QJsonObject> objects;
  for (const QString& line : aOut.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
    QJsonParseError error{};
    QJsonDocument d = QJsonDocument::fromJson(line.toUtf8(), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    objects.push_back(d.object());
  }
  return objects;
}

TEST_F(SupervisedBus, QorvelctlSendsAFileAndReportsEveryLineInOrder) {
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  const std::string file = dir_.File("messages.csv");
  qorvel::testing::WriteText(file,
                             "0612000001,Hello\n"
                             "0612000002,\"a \"\"b\"\", c\"\r\n"
                             "\n"
                             "06x,not a number\n"
                             "0612000003,third");
  int code = -1;
  QString err;
  QString out = Run(ctl,
                    {"send", "--json", "--window", "2", "--class", "1", "--notify", "delivered",
                     QString::fromStdString(file)},
                    &code, &err);
  EXPECT_EQ(code, 1) << err.toStdString();
  EXPECT_TRUE(err.isEmpty()) << err.toStdString();

  // Exactly the valid lines reached the SMSC, once each, with the options.
  auto submits = smsc_.Submits();
  ASSERT_EQ(submits.size(), 3u);
  std::map<std::string, const TAcceptedSubmit*> byNumber;
  for (const auto& s : submits) byNumber[s.Fields[0]] = &s;
  ASSERT_EQ(byNumber.size(), 3u);
  ASSERT_TRUE(byNumber.count("0612000001") && byNumber.count("0612000002") &&
              byNumber.count("0612000003"));
  EXPECT_EQ(byNumber["0612000001"]->Fields[20], "48656C6C6F");
  EXPECT_EQ(byNumber["0612000002"]->Fields[20],
            QByteArray("a \"b\", c").toHex().toUpper().toStdString());
  EXPECT_EQ(byNumber["0612000003"]->Fields[20], "7468697264");
  for (const auto& s : submits) {
    EXPECT_EQ(s.Fields[24], "1");
    EXPECT_EQ(s.Fields[5], "1");
  }

  const std::vector<QJsonObject> lines = JsonLines(out);
  ASSERT_EQ(lines.size(), 5u) << out.toStdString();
  const int expectLine[] = {1, 2, 4, 5};
  const char* expectNumber[] = {"0612000001", "0612000002", "06x", "0612000003"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(lines[i].value("line").toInt(), expectLine[i]) << out.toStdString();
    EXPECT_EQ(lines[i].value("number").toString(), QLatin1String(expectNumber[i]));
    if (i == 2) {
      EXPECT_FALSE(lines[i].contains("scts"));
      EXPECT_EQ(lines[i].value("error").toString(),
                QStringLiteral("number: \"06x\" is not 1 to 16 digits after an optional + or #"));
    } else {
      EXPECT_FALSE(lines[i].contains("error")) << out.toStdString();
      EXPECT_EQ(lines[i].value("scts").toString(), StampText(byNumber[expectNumber[i]]->SCTS));
    }
  }
  const QJsonObject summary = lines[4];
  EXPECT_EQ(summary.value("sent").toInt(), 3) << out.toStdString();
  EXPECT_EQ(summary.value("failed").toInt(), 1);
  EXPECT_TRUE(summary.value("rate").isDouble());
  EXPECT_GT(summary.value("rate").toDouble(), 0);
  EXPECT_TRUE(summary.value("elapsed").isDouble());
  EXPECT_GT(summary.value("elapsed").toDouble(), 0);
  EXPECT_FALSE(summary.contains("unsent"));
  EXPECT_FALSE(summary.contains("interrupted"));

  // From standard input, as hex: only the failed line and the summary, and
  // status 0 once nothing fails.
  smsc_.ClearRecords();
  out = Run(ctl, {"send", "--hex", "-"}, &code, &err, "0612000004,00ff41\n0612000005,0G\n");
  EXPECT_EQ(code, 1) << err.toStdString();
  QStringList human = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(human.size(), 2) << out.toStdString();
  EXPECT_EQ(human[0],
            QStringLiteral("line 2 (0612000005): text: \"0G\" is not pairs of hex digits"));
  EXPECT_TRUE(human[1].startsWith(QStringLiteral("sent 1, failed 1 of 2 in ")))
      << out.toStdString();
  submits = smsc_.Submits();
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_EQ(submits[0].Fields[0], "0612000004");
  EXPECT_EQ(submits[0].Fields[18], "4");
  EXPECT_EQ(submits[0].Fields[20], "00FF41");

  out = Run(ctl, {"send", "-"}, &code, &err, "0612000006,fine\n");
  EXPECT_EQ(code, 0) << err.toStdString();
  EXPECT_TRUE(out.startsWith(QStringLiteral("sent 1, failed 0 of 1 in "))) << out.toStdString();
  EXPECT_EQ(out.count(QLatin1Char('\n')), 1) << out.toStdString();

  out = Run(ctl, {"send", "--window", "0", "-"}, &code, &err);
  EXPECT_EQ(code, 1);
  EXPECT_TRUE(err.startsWith(QStringLiteral("qorvelctl: --window takes a number from 1 to 1000")))
      << err.toStdString();
  EXPECT_EQ(smsc_.Submits().size(), 2u);
}

TEST_F(SupervisedBus, QorvelctlSendReportsTheMessageTheSmscRefusedAndGoesOn) {
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  // Both the first attempt and the one retry after the reconnection.
  smsc_.NakOperation(51, 4, 2);
  int code = -1;
  QString err;
  QString out = Run(ctl, {"send", "--json", "--window", "1", "-"}, &code, &err,
                    "0612000001,refused\n0612000002,accepted\n");
  EXPECT_EQ(code, 1) << err.toStdString();
  const std::vector<QJsonObject> lines = JsonLines(out);
  ASSERT_EQ(lines.size(), 3u) << out.toStdString();
  EXPECT_EQ(lines[0].value("line").toInt(), 1);
  EXPECT_FALSE(lines[0].value("error").toString().isEmpty()) << out.toStdString();
  EXPECT_EQ(lines[1].value("line").toInt(), 2);
  EXPECT_TRUE(lines[1].contains("scts")) << out.toStdString();
  EXPECT_EQ(lines[2].value("sent").toInt(), 1);
  EXPECT_EQ(lines[2].value("failed").toInt(), 1);
  auto submits = smsc_.Submits();
  ASSERT_EQ(submits.size(), 1u);
  EXPECT_EQ(submits[0].Fields[0], "0612000002");
}

// With --wait-delivery, send follows each accepted message to its final
// status as the history records the simulator's notifications.
TEST_F(SupervisedBus, QorvelctlSendWaitsForDelivery) {
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  struct TCase {
    QStringList Options;
    QByteArray Input;
    int Code;
    const char* Delivery;  // of every accepted message
    int Delivered, NotDelivered, Pending;
  };
  const TCase cases[] = {
      // Asked for nothing, it asks for delivered and not-delivered, and the
      // simulator's first notification is final.
      {{"--wait-delivery", "60"}, "0612000001,one\n0612000002,two\n", 0, "delivered", 2, 0, 0},
      // A failed submit keeps its status 1.
      {{"--wait-delivery", "60", "--notify", "not-delivered"},
       "0612000003,three\n06x,bad\n",
       1,
       "not delivered",
       0,
       1,
       0},
      // Buffered is no final status: it is still pending when the wait ends.
      {{"--wait-delivery", "1", "--notify", "buffered"}, "0612000004,four\n", 3, "pending", 0, 0, 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Options.join(QLatin1Char(' ')).toStdString());
    int code = -1;
    QString err;
    // Every message meets the fate the case expects of it.
    smsc_.SetNotDeliveredShare(c.NotDelivered > 0 ? 1.0 : 0.0);
    const QString out =
        Run(ctl, QStringList{"send", "--json", "-"} + c.Options, &code, &err, c.Input);
    EXPECT_EQ(code, c.Code) << err.toStdString();
    const std::vector<QJsonObject> lines = JsonLines(out);
    ASSERT_FALSE(lines.empty()) << err.toStdString();
    const QJsonObject totals = lines.back();
    EXPECT_EQ(totals.value("delivered").toInt(), c.Delivered) << out.toStdString();
    EXPECT_EQ(totals.value("not_delivered").toInt(), c.NotDelivered);
    EXPECT_EQ(totals.value("pending").toInt(), c.Pending);
    // Each accepted line's id, as send reported it, is that message's row in
    // the history, and its delivery is reported under the same id.
    std::map<int, qint64> sentIds;
    int reported = 0;
    for (const QJsonObject& line : lines) {
      if (line.contains("scts")) {
        const qint64 id = line.value("id").toInteger();
        std::optional<THistoryStory> story = history_->Story(id);
        ASSERT_TRUE(story.has_value()) << id;
        EXPECT_EQ(QString::fromStdString(story->Row.Number), line.value("number").toString());
        sentIds[line.value("line").toInt()] = id;
      } else if (line.contains("delivery")) {
        ++reported;
        EXPECT_EQ(line.value("delivery").toString(), QLatin1String(c.Delivery));
        EXPECT_EQ(line.value("id").toInteger(), sentIds[line.value("line").toInt()]);
      }
    }
    EXPECT_EQ(reported, c.Delivered + c.NotDelivered + c.Pending);
    EXPECT_EQ(static_cast<int>(sentIds.size()), reported);
  }
}

// Interrupted, it sends nothing more but waits for the calls in flight: what
// it reports as sent is exactly what the SMSC accepted.
TEST_F(SupervisedBus, QorvelctlSendInterruptedReportsWhatWasSent) {
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  const std::string file = dir_.File("many.csv");
  std::string text;
  for (int i = 0; i < 200; ++i)
    text += "06120" + std::to_string(10000 + i) + ",number " + std::to_string(i) + "\n";
  qorvel::testing::WriteText(file, text);
  QProcess send;
  send.start(ctl, {"send", "--json", "--window", "3", QString::fromStdString(file)});
  ASSERT_TRUE(send.waitForStarted());
  ASSERT_TRUE(WaitFor([&] { return smsc_.Submits().size() >= 2; }, 30000));
  send.terminate();
  ASSERT_TRUE(WaitFor([&] { return send.state() == QProcess::NotRunning; }, 30000));
  EXPECT_EQ(send.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(send.exitCode(), 1);
  const QString err = QString::fromUtf8(send.readAllStandardError());
  EXPECT_TRUE(err.startsWith(QStringLiteral("qorvelctl: interrupted, no more messages go out")))
      << err.toStdString();
  const std::vector<QJsonObject> lines = JsonLines(QString::fromUtf8(send.readAllStandardOutput()));
  ASSERT_FALSE(lines.empty());
  const QJsonObject summary = lines.back();
  const auto submits = smsc_.Submits();
  int reportedSent = 0;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_EQ(lines[i].value("line").toInt(), static_cast<int>(i) + 1);
    EXPECT_TRUE(lines[i].contains("scts"));
    ++reportedSent;
  }
  EXPECT_EQ(reportedSent, static_cast<int>(submits.size()));
  EXPECT_EQ(summary.value("sent").toInt(), static_cast<int>(submits.size()));
  EXPECT_EQ(summary.value("failed").toInt(), 0);
  EXPECT_EQ(summary.value("unsent").toInt(), 200 - static_cast<int>(submits.size()));
  EXPECT_TRUE(summary.value("interrupted").toBool());
  EXPECT_LT(submits.size(), 200u);
}

// The Python example as its user runs it: it hears only Qorvel's own
// notification, and says in one line what went wrong.
TEST_F(SupervisedBus, ThePythonExampleSubmitsHearsOnlyQorvelAndSaysWhatFailed) {
  const QString python = QStringLiteral("/usr/bin/python3");
  const QString example = QStringLiteral(QORVEL_SOURCE_DIR "/examples/qorvel_submit.py");
  if (!QFile::exists(python) ||
      QProcess::execute(python, {"-c", "from gi.repository import Gio"}) != 0) {
    GTEST_SKIP() << "python3-gi is not installed";
  }
  struct TRow {
    const char* Name;
    QString Number, Text;
    std::function<void(TSmscSimulator&)> Before;
    bool Forge;  // a forged notification while the submit waits
    int Code;
    const char* Err;  // the whole of stderr
    std::size_t Submits;
  };
  const auto nothing = [](TSmscSimulator&) {};
  const TRow rows[] = {
      {"accepted", "0612345678", "Hello", nothing, false, 0, "", 1},
      {"forged", "0612345678", "Hello",
       [](TSmscSimulator& s) { s.DelayAnswers(51, std::chrono::milliseconds(1000), 1); }, true, 0,
       "", 1},
      {"not Latin-1", "0612345678", QStringLiteral("\u20acuro"), nothing, false, 1,
       "qorvel_submit.py: TEXT: \"\u20ac\" (U+20AC) is no Latin-1 character\n", 0},
      {"refused by the SMSC", "0612345678", "Hello",
       [](TSmscSimulator& s) { s.NakOperation(51, 5); }, false, 1,
       "qorvel_submit.py: Submit failed: 05-Call barring active\n", 0},
      {"refused by Qorvel", "06x", "Hello", nothing, false, 1,
       "qorvel_submit.py: Submit failed: DA may hold only digits, after a leading \"+\" or \"#\" "
       "(org.freedesktop.DBus.Error.InvalidArgs)\n",
       0},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    smsc_.ClearRules();
    smsc_.ClearRecords();
    row.Before(smsc_);
    QProcess p;
    p.start(python, {example, row.Number, row.Text});
    if (row.Forge) {
      ASSERT_TRUE(WaitFor([&] { return smsc_.Operations(51).size() == 1; }));
      ForgeNotifications();
    }
    ASSERT_TRUE(WaitFor([&] { return p.state() == QProcess::NotRunning; }, 60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), row.Code) << out.toStdString();
    EXPECT_EQ(QString::fromUtf8(p.readAllStandardError()).toStdString(), row.Err);
    if (row.Code == 0) {
      EXPECT_TRUE(out.startsWith(QStringLiteral("accepted, SCTS "))) << out.toStdString();
      EXPECT_TRUE(out.contains(QStringLiteral("notification for 0612345678: status 0, reason 0")))
          << out.toStdString();
    }
    EXPECT_EQ(smsc_.Submits().size(), row.Submits);
  }
}

// A Qorvel of another make on the bus: it answers CreateInstance and the
// properties with the values given, whatever their type.
class TOtherQorvel final : public QDBusVirtualObject {
 public:
  QVariant Created = QVariant::fromValue(QDBusObjectPath(QStringLiteral("/Qorvel/AutoEMI/1")));
  QVariantMap All{{QStringLiteral("Active"), true}, {QStringLiteral("PhoneNumber"), QString()}};
  QVariant Active = QVariant::fromValue(QDBusVariant(true));  // what Get answers

  bool handleMessage(const QDBusMessage& aMessage, const QDBusConnection& aBus) override {
    const QString member = aMessage.member();
    QVariantList answer;
    if (member == QLatin1String("CreateInstance")) {
      answer = {Created};
    } else if (member == QLatin1String("GetAll")) {
      answer = {All};
    } else if (member == QLatin1String("Get")) {
      answer = {Active};
    } else if (member != QLatin1String("Set")) {
      return false;
    }
    QDBusMessage reply = aMessage.createReply();
    reply.setArguments(answer);
    aBus.send(reply);
    return true;
  }
  QString introspect(const QString&) const override { return {}; }
};

// What qorvelctl does with answers of the wrong type: it names them, rather
// than crash or print what Qorvel did not say.
TEST(QorvelOfAnotherMake, QorvelctlNamesAnAnswerOfTheWrongType) {
  if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus";
  const QString ctl = BuildTool("qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  QDBusArgument textCounts;
  textCounts.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
  textCounts.beginMapEntry();
  textCounts << QStringLiteral("sent") << QStringLiteral("1");
  textCounts.endMapEntry();
  textCounts.endMap();
  struct TRow {
    QStringList Args;
    std::function<void(TOtherQorvel&)> Make;
    const char* Err;
  };
  const TRow rows[] = {
      {{"status"},
       [&](TOtherQorvel& q) {
         q.All.insert(QStringLiteral("Counts"), QVariant::fromValue(textCounts));
       },
       "qorvelctl: Qorvel's Counts is \"a{ss}\", not \"a{sx}\"\n"},
      {{"status"},
       [](TOtherQorvel& q) { q.Created = QStringLiteral("/Qorvel/AutoEMI/1"); },
       "qorvelctl: Qorvel answered CreateInstance with \"s\", not \"o\"\n"},
      {{"connect", "--wait", "1"},
       [](TOtherQorvel& q) { q.Active = QVariant::fromValue(QDBusVariant(QStringLiteral("yes"))); },
       "qorvelctl: Qorvel's Active is \"s\", not \"b\"\n"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Err);
    TOtherQorvel other;
    row.Make(other);
    TBusClient host(QStringLiteral("other-qorvel"));
    ASSERT_TRUE(host.Bus().registerVirtualObject(QLatin1String(kFactoryPath), &other,
                                                 QDBusConnection::SubPath));
    ASSERT_TRUE(host.Bus().registerService(QLatin1String(kBusServiceName)));
    int code = -1;
    QString err;
    const QString out = RunToEnd(ctl, row.Args, &code, &err);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err.toStdString(), row.Err);
    EXPECT_EQ(out.toStdString(), "");
    host.Bus().unregisterObject(QLatin1String(kFactoryPath), QDBusConnection::UnregisterTree);
  }
}

class TCountingSink : public IAutoEMIEvents {
 public:
  explicit TCountingSink(bool aFail) : fail_(aFail) {}
  void OnDelivered(TDateTime, const std::string&, const std::string&, const std::string&, bool,
                   int16_t, int16_t, int16_t, TDateTime) override {
    if (fail_) throw std::runtime_error("Cannot send OnDelivered to :1.99");
    ++Delivered;
  }
  void OnActiveChanged() override {}
  void OnDeliveredNotification(TDateTime, const std::string&, const std::string&,
                               const std::string&, int16_t, int16_t, int16_t, TDateTime) override {}
  std::atomic<int> Delivered{0};

 private:
  bool fail_;
};

// The first object's client fails; the objects after it still hear the event,
// and the failure is reported in the status log.
TEST_F(SupervisedBus, OneFailingClientCostsTheOthersNothing) {
  IAutoSupervisor& link = *dm_;
  auto failing = TAutoEMI::Create(link);
  auto healthy = TAutoEMI::Create(link);
  auto bad = std::make_shared<TCountingSink>(true);
  auto good = std::make_shared<TCountingSink>(false);
  failing->Advise(bad);
  healthy->Advise(good);
  ASSERT_TRUE(WaitFor([&] { return dm_->EngineActive(); }));
  TMobileMessage mobile;
  mobile.OA = "0612";
  mobile.DA = "1234";
  mobile.Msg = "hello";
  smsc_.SendDeliver(mobile);
  ASSERT_TRUE(WaitFor([&] { return good->Delivered == 1; }));
  EXPECT_EQ(form_.Log1.Count("Error: Cannot send OnDelivered to :1.99"), 1)
      << ::testing::PrintToString(form_.Log1.Texts());
  failing->Destroy();
  healthy->Destroy();
}

class StartedByTheBus : public SupervisedBus {
 protected:
  TStartMode Mode() const override { return TStartMode::Automation; }
};

TEST_F(StartedByTheBus, TheProgramEndsWhenTheLastObjectIsReleased) {
  TBusClient a(QStringLiteral("a")), b(QStringLiteral("b"));
  QString first = a.Create();
  b.Create();
  QEventLoop loop;
  bool ended = false;
  QTimer::singleShot(0, [&] {
    a.Object(first, QStringLiteral("Release"));
    // One object is left: the program must go on.
    WaitFor([] { return false; }, 300);
    EXPECT_FALSE(ended);
    b.Leave();
  });
  QTimer::singleShot(10000, &loop, [&] { loop.exit(1); });
  ended = loop.exec() == 0;
  EXPECT_TRUE(ended) << "no quit after the last release";
  EXPECT_EQ(server_->ObjectCount(), 0);
}

}  // namespace
}  // namespace qorvel::test

#include "supervised_bus_test.moc"
