// The automation objects on a real session bus (run under dbus-run-session),
// driven by clients of their own connections and by gdbus, against a fake
// supervisor whose jobs the tests finish by hand.
#include <gtest/gtest.h>
#include <cmath>

#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QProcess>
#include <QStandardPaths>
#include <atomic>

#include "automation/automation_server.h"
#include "automation/bus_client.h"
#include "automation/bus_names.h"
#include "automation/fake_supervisor.h"

namespace qorvel::test {

class TSignalRecorder : public QObject {
  Q_OBJECT
 public:
  std::vector<QDBusMessage> Signals;
 public slots:
  void Record(const QDBusMessage& aMessage) { Signals.push_back(aMessage); }
};

namespace {

const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kIface = QLatin1String(kObjectInterface);

class BusServer : public testing::Test {
 protected:
  void SetUp() override {
    if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus";
    TAutomationServer::TOptions options;
    options.Log = [this](const std::string& aLine) { log_ += aLine + "\n"; };
    options.OnLastRelease = [this] { ++lastReleases_; };
    server_ =
        std::make_unique<TAutomationServer>(supervisor_, QDBusConnection::sessionBus(), options);
    ASSERT_TRUE(server_->Start()) << log_;
    // QtDBus starts dispatching the default session connection from the
    // main thread's event loop, which the program runs and a test must spin.
    QCoreApplication::processEvents();
  }
  void TearDown() override { server_.reset(); }

  TFakeSupervisor supervisor_;
  std::string log_;
  int lastReleases_ = 0;
  std::unique_ptr<TAutomationServer> server_;
};

TEST_F(BusServer, EachCreateInstanceMakesAnObjectThatOnlyItsCreatorMayUse) {
  TBusClient owner(QStringLiteral("owner")), other(QStringLiteral("other"));
  QString a = owner.Create(), b = owner.Create();
  ASSERT_TRUE(a.startsWith(QLatin1String(kObjectPathPrefix))) << a.toStdString();
  EXPECT_NE(a, b);
  EXPECT_EQ(supervisor_.LiveObjects(), 2u);
  EXPECT_EQ(supervisor_.ConnectRequests(), 2);

  const QString denied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
  EXPECT_EQ(other.Object(a, QStringLiteral("Submit"), SubmitArgs("1", "x")).errorName(), denied);
  EXPECT_EQ(other.Object(a, QStringLiteral("TestConnection")).errorName(), denied);
  EXPECT_EQ(other.Object(a, QStringLiteral("Advise")).errorName(), denied);
  EXPECT_EQ(other.Object(a, QStringLiteral("Release")).errorName(), denied);
  EXPECT_EQ(other
                .Call(a, kProperties, QStringLiteral("Set"),
                      {kIface, QStringLiteral("Active"), QVariant::fromValue(QDBusVariant(true))})
                .errorName(),
            denied);
  EXPECT_EQ(other.Call(a, kProperties, QStringLiteral("Get"), {kIface, QStringLiteral("Active")})
                .errorName(),
            denied);
  EXPECT_EQ(supervisor_.Posted(), 0);
  EXPECT_TRUE(supervisor_.ActiveRequests().empty());
  EXPECT_EQ(server_->ObjectCount(), 2);

  EXPECT_EQ(owner.Object(a, QStringLiteral("Release")).type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(owner.Object(a, QStringLiteral("Release")).errorName(),
            QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"));
  EXPECT_EQ(lastReleases_, 0);
  owner.Object(b, QStringLiteral("Release"));
  EXPECT_TRUE(WaitFor([&] { return lastReleases_ == 1; }));
  EXPECT_EQ(supervisor_.LiveObjects(), 0u);
}

TEST_F(BusServer, SubmitRepliesWhenItsJobIsDoneWithTheOctetsIntact) {
  TBusClient client(QStringLiteral("client"));
  QString path = client.Create();
  const QByteArray octets("\x00\x7f\x80\xff\xc3(", 6);  // not UTF-8, with a NUL
  QDBusPendingCall call =
      client.AsyncCall(path, kIface, QStringLiteral("Submit"),
                       SubmitArgs(QStringLiteral("+31612345678"), octets, false, 256, 0, 0.5));
  auto job = supervisor_.TakeJob();
  ASSERT_TRUE(job.Item);
  EXPECT_EQ(job.Name, "SUBMIT");
  EXPECT_EQ(job.Item->DA, "+31612345678");
  EXPECT_EQ(job.Item->Msg, std::string(octets.constData(), 6));
  EXPECT_EQ(job.Item->MCLs, 0);
  EXPECT_EQ(job.Item->VP, 0.5);
  QCoreApplication::processEvents();
  EXPECT_FALSE(call.isFinished());
  job.Item->Requester->Complete(0, "", 46293.5);
  call.waitForFinished();
  QDBusReply<double> scts = call.reply();
  ASSERT_TRUE(scts.isValid()) << scts.error().message().toStdString();
  EXPECT_EQ(scts.value(), 46293.5);

  // A failure is the error with its text, and the object stays usable.
  call = client.AsyncCall(path, kIface, QStringLiteral("Submit"), SubmitArgs("1", "x"));
  supervisor_.TakeJob().Item->Requester->Complete(-1, "Connection is inactive");
  call.waitForFinished();
  EXPECT_EQ(call.error().name(), QLatin1String(kErrorUnexpected));
  EXPECT_EQ(call.error().message(), QStringLiteral("Connection is inactive"));
  call = client.AsyncCall(path, kIface, QStringLiteral("Submit"), SubmitArgs("1", "y"));
  supervisor_.TakeJob().Item->Requester->Complete(0, "", 3.0);
  call.waitForFinished();
  EXPECT_EQ(QDBusReply<double>(call.reply()).value(), 3.0);
}

TEST_F(BusServer, ArgumentsOfTheWrongKindAreRefusedBeforeAnyJob) {
  TBusClient client(QStringLiteral("client"));
  QString path = client.Create();
  const QString invalid = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
  // A character that is not one octet cannot be an address.
  EXPECT_EQ(
      client.Object(path, QStringLiteral("Submit"), SubmitArgs(QStringLiteral("1\u20ac"), "x"))
          .errorName(),
      invalid);
  QVariantList textForBody = SubmitArgs("1", "x");
  textForBody[1] = QStringLiteral("x");
  EXPECT_EQ(client.Object(path, QStringLiteral("Submit"), textForBody).errorName(), invalid);
  // Values that would shift a field of the frame, or be cut to another one.
  for (const QString& da : {QStringLiteral("06/12"), QStringLiteral("abc12"),
                            QStringLiteral("06\u0003"), QStringLiteral("12345678901234567")}) {
    const QDBusMessage refused = client.Object(path, QStringLiteral("Submit"), SubmitArgs(da, "x"));
    EXPECT_EQ(refused.errorName(), invalid) << da.toStdString();
    EXPECT_TRUE(refused.errorMessage().startsWith(QStringLiteral("DA "))) << da.toStdString();
  }
  const QDBusMessage huge =
      client.Object(path, QStringLiteral("Submit"), SubmitArgs("1", QByteArray(1 << 20, 'x')));
  EXPECT_EQ(huge.errorName(), invalid);
  EXPECT_TRUE(huge.errorMessage().startsWith(QStringLiteral("Msg is too long for one frame")));
  for (double vp : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e308, -1.0})
    EXPECT_EQ(client.Object(path, QStringLiteral("Submit"), SubmitArgs("1", "x", false, 255, 0, vp))
                  .errorName(),
              invalid)
        << vp;

  EXPECT_EQ(client
                .Call(path, kProperties, QStringLiteral("Set"),
                      {kIface, QStringLiteral("Active"),
                       QVariant::fromValue(QDBusVariant(QStringLiteral("yes")))})
                .errorName(),
            invalid);
  EXPECT_EQ(client
                .Call(path, kProperties, QStringLiteral("Set"),
                      {kIface, QStringLiteral("PhoneNumber"),
                       QVariant::fromValue(QDBusVariant(QStringLiteral("1")))})
                .errorName(),
            QStringLiteral("org.freedesktop.DBus.Error.PropertyReadOnly"));
  EXPECT_EQ(client.Object(path, QStringLiteral("Frobnicate")).errorName(),
            QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
  EXPECT_EQ(supervisor_.Posted(), 0);
  EXPECT_TRUE(supervisor_.ActiveRequests().empty());
}

TEST_F(BusServer, TestConnectionIsFalseAtOnceOfflineAndWaitsForItsJobOnline) {
  TBusClient client(QStringLiteral("client"));
  QString path = client.Create();
  QDBusMessage offline = client.Object(path, QStringLiteral("TestConnection"));
  ASSERT_EQ(offline.type(), QDBusMessage::ReplyMessage);
  EXPECT_FALSE(offline.arguments().at(0).toBool());
  EXPECT_EQ(supervisor_.Posted(), 0);

  supervisor_.SetEngineActive(true);
  QDBusPendingCall first = client.AsyncCall(path, kIface, QStringLiteral("TestConnection"));
  QDBusPendingCall second = client.AsyncCall(path, kIface, QStringLiteral("TestConnection"));
  auto job1 = supervisor_.TakeJob();
  auto job2 = supervisor_.TakeJob();
  ASSERT_TRUE(job1.Item && job2.Item);
  EXPECT_EQ(job1.Name, "TEST");
  job1.Item->Requester->Complete(0, "");
  first.waitForFinished();
  EXPECT_TRUE(QDBusReply<bool>(first.reply()).value());
  EXPECT_FALSE(second.isFinished());
  job2.Item->Requester->Complete(-1, "no answer");
  second.waitForFinished();
  EXPECT_TRUE(QDBusReply<bool>(second.reply()).isValid());
  EXPECT_FALSE(QDBusReply<bool>(second.reply()).value());
}

TEST_F(BusServer, PropertiesReadTheSupervisorAndActiveLeavesRequests) {
  TBusClient client(QStringLiteral("client"));
  QString path = client.Create();
  supervisor_.SetOwnAddress("06\xe9");
  supervisor_.SetEngineActive(true);
  QDBusMessage all = client.Call(path, kProperties, QStringLiteral("GetAll"), {kIface});
  ASSERT_EQ(all.type(), QDBusMessage::ReplyMessage) << all.errorMessage().toStdString();
  QVariantMap values = qdbus_cast<QVariantMap>(all.arguments().at(0));
  EXPECT_TRUE(values.value(QStringLiteral("Active")).toBool());
  EXPECT_EQ(values.value(QStringLiteral("PhoneNumber")).toString(), QString::fromLatin1("06\xe9"));
  EXPECT_EQ(values.value(QStringLiteral("LinkState")).toString(),
            QStringLiteral("Reconnecting in 8 s"));
  const QDBusArgument countsArgument =
      values.value(QStringLiteral("Counts")).value<QDBusArgument>();
  EXPECT_EQ(countsArgument.currentSignature(), QStringLiteral("a{sx}"));
  const auto counts = qdbus_cast<QMap<QString, qlonglong>>(countsArgument);
  EXPECT_EQ(counts.value(QStringLiteral("sent")), 3);
  EXPECT_EQ(counts.value(QStringLiteral("failed")), 1);
  EXPECT_EQ(counts.value(QStringLiteral("received")), 4);
  EXPECT_EQ(counts.value(QStringLiteral("notifications")), 1);
  EXPECT_EQ(counts.value(QStringLiteral("queued")), 5);
  QDBusMessage phone = client.Call(path, kProperties, QStringLiteral("Get"),
                                   {kIface, QStringLiteral("PhoneNumber")});
  EXPECT_EQ(phone.arguments().at(0).value<QDBusVariant>().variant().toString(),
            QString::fromLatin1("06\xe9"));
  for (bool value : {false, true}) {
    QDBusMessage set =
        client.Call(path, kProperties, QStringLiteral("Set"),
                    {kIface, QStringLiteral("Active"), QVariant::fromValue(QDBusVariant(value))});
    EXPECT_EQ(set.type(), QDBusMessage::ReplyMessage) << set.errorMessage().toStdString();
  }
  EXPECT_EQ(supervisor_.ActiveRequests(), (std::vector<bool>{false, true}));
}

TEST_F(BusServer, EventsGoToTheAdvisedSinkOnlyWithExactOctets) {
  TBusClient a(QStringLiteral("a")), b(QStringLiteral("b"));
  QString pathA = a.Create(), pathB = b.Create();
  TSignalRecorder atA, atB, bWatchingA;
  a.Listen(pathA, &atA);
  b.Listen(pathB, &atB);
  b.Listen(pathA, &bWatchingA);
  EXPECT_EQ(a.Object(pathA, QStringLiteral("Advise")).type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(a.Object(pathA, QStringLiteral("Advise")).errorName(),
            QLatin1String(kErrorCannotConnect));

  TRetrieveDeliverySMItem delivered;
  delivered.OA = "06\xe9";
  delivered.DA = "1234";
  delivered.Msg = std::string("\x00\x01\x7f\x80\xfe\xff", 6);
  delivered.Binary = true;
  delivered.MCLs = 255;
  delivered.PID = 0x7f;
  delivered.RPI = 1;
  delivered.SCTS = 46293.25;
  delivered.VP = 0.5;
  EXPECT_EQ(supervisor_.FireAll([&](IAutoObject& o) { o.FireDelivered(delivered); }), 0);
  TRetrieveDeliveryNotificationItem notified;
  notified.OA = "1234";
  notified.DA = "0612";
  notified.Msg = "3039";
  notified.DeliveryStatus = 2;
  notified.ReasonCode = 108;
  notified.DSCTS = 46293.5;
  supervisor_.FireAll([&](IAutoObject& o) { o.FireDeliveryNotification(notified); });
  supervisor_.FireAll([&](IAutoObject& o) { o.FireActiveChanged(); });

  ASSERT_TRUE(WaitFor([&] { return atA.Signals.size() == 3; })) << atA.Signals.size();
  const QDBusMessage& d = atA.Signals[0];
  EXPECT_EQ(d.member(), QStringLiteral("OnDelivered"));
  EXPECT_EQ(d.signature(), QStringLiteral("dssaybnnnd"));
  QVariantList args = d.arguments();
  EXPECT_EQ(args[0].toDouble(), 46293.25);
  EXPECT_EQ(args[1].toString(), QString::fromLatin1("06\xe9"));
  EXPECT_EQ(args[3].toByteArray(), QByteArray("\x00\x01\x7f\x80\xfe\xff", 6));
  EXPECT_TRUE(args[4].toBool());
  EXPECT_EQ(args[5].value<short>(), 255);
  EXPECT_EQ(args[6].value<short>(), 0x7f);
  EXPECT_EQ(args[8].toDouble(), 0.5);
  const QDBusMessage& n = atA.Signals[1];
  EXPECT_EQ(n.member(), QStringLiteral("OnDeliveredNotification"));
  EXPECT_EQ(n.signature(), QStringLiteral("dssaynnnd"));
  EXPECT_EQ(n.arguments()[3].toByteArray(), QByteArray("3039"));
  EXPECT_EQ(n.arguments()[5].value<short>(), 2);
  EXPECT_EQ(n.arguments()[6].value<short>(), 108);
  EXPECT_EQ(atA.Signals[2].member(), QStringLiteral("OnActiveChanged"));
  EXPECT_EQ(atA.Signals[2].arguments().size(), 0);

  // Give stray signals a moment to arrive before declaring there are none.
  WaitFor([] { return false; }, 300);
  EXPECT_TRUE(atB.Signals.empty());
  EXPECT_TRUE(bWatchingA.Signals.empty());

  EXPECT_EQ(a.Object(pathA, QStringLiteral("Unadvise")).type(), QDBusMessage::ReplyMessage);
  supervisor_.FireAll([&](IAutoObject& o) { o.FireActiveChanged(); });
  EXPECT_EQ(a.Object(pathA, QStringLiteral("Advise")).type(), QDBusMessage::ReplyMessage);
  supervisor_.FireAll([&](IAutoObject& o) { o.FireActiveChanged(); });
  ASSERT_TRUE(WaitFor([&] { return atA.Signals.size() == 4; }));
  WaitFor([] { return false; }, 200);
  EXPECT_EQ(atA.Signals.size(), 4u);
}

TEST_F(BusServer, AClientThatLeavesTheBusReleasesItsObjectsAndEndsItsCalls) {
  auto client = std::make_unique<TBusClient>(QStringLiteral("leaver"));
  TBusClient stays(QStringLiteral("stays"));
  QString kept = stays.Create();
  QString path = client->Create();
  client->Create();
  client->Object(path, QStringLiteral("Advise"));
  client->AsyncCall(path, kIface, QStringLiteral("Submit"), SubmitArgs("1", "x"));
  auto job = supervisor_.TakeJob();
  ASSERT_TRUE(job.Item);
  ASSERT_EQ(server_->ObjectCount(), 3);
  client.reset();
  // The server forgets the objects before it destroys them, outside its lock:
  // wait for the destruction too, not just for the count.
  ASSERT_TRUE(WaitFor([&] {
    return server_->ObjectCount() == 1 && supervisor_.LiveObjects() == 1u &&
           job.Item->Requester->Completed();
  }));
  EXPECT_EQ(job.Item->Requester->ResultText(), "Object destroyed");
  EXPECT_EQ(lastReleases_, 0);
  stays.Leave();
  EXPECT_TRUE(WaitFor([&] { return lastReleases_ == 1; }));
  EXPECT_EQ(supervisor_.LiveObjects(), 0u);
}

// Without a store the history is still there to be found, and says it is off.
TEST_F(BusServer, WithoutAStoreTheHistorySaysItIsOff) {
  TBusClient client(QStringLiteral("reader"));
  const QString history = QLatin1String(kHistoryPath);
  const QString iface = QLatin1String(kHistoryInterface);
  const QVariantList calls[] = {{QStringLiteral("Query"), QVariant::fromValue(QVariantMap()),
                                 QVariant::fromValue<qlonglong>(0), QVariant::fromValue<uint>(10)},
                                {QStringLiteral("Count"), QVariant::fromValue(QVariantMap())},
                                {QStringLiteral("Story"), QVariant::fromValue<qlonglong>(1)}};
  for (const QVariantList& call : calls) {
    const QDBusMessage reply = client.Call(history, iface, call[0].toString(), call.mid(1));
    EXPECT_EQ(reply.errorName(), QLatin1String(kErrorUnexpected))
        << call[0].toString().toStdString();
    EXPECT_EQ(reply.errorMessage(), QStringLiteral("History is off"));
  }
  const QDBusMessage state = client.Call(history, iface, QStringLiteral("State"));
  EXPECT_EQ(state.arguments(), (QVariantList{QString(), QString()})) << "no file, no trouble";
  const QDBusMessage xml = client.Call(QLatin1String(kFactoryPath),
                                       QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                       QStringLiteral("Introspect"));
  EXPECT_TRUE(
      xml.arguments().value(0).toString().contains(QStringLiteral("<node name=\"History\"/>")));
}

TEST_F(BusServer, ASecondProgramCannotTakeTheNameAndSaysSo) {
  TFakeSupervisor other;
  std::string log;
  TAutomationServer second(
      other, QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("second")),
      {[&](const std::string& l) { log += l; }, {}});
  EXPECT_FALSE(second.Start());
  EXPECT_EQ(log, "Automation off: Qorvel.AutoEMI is served by another program");
  QDBusConnection::disconnectFromBus(QStringLiteral("second"));
  EXPECT_EQ(log_, "Automation on: Qorvel.AutoEMI\n");
}

TEST(AutomationServer, WithoutASessionBusTheProgramRunsWithoutAutomationAndSaysSo) {
  TFakeSupervisor supervisor;
  std::string log;
  TAutomationServer server(supervisor, QDBusConnection(QStringLiteral("no such connection")),
                           {[&](const std::string& l) { log += l; }, {}});
  EXPECT_FALSE(server.Start());
  EXPECT_FALSE(server.Running());
  EXPECT_EQ(log, "Automation off: no session bus");
}

// gdbus is a client written by others: it reads our introspection to type
// its arguments, and meets the same ownership rules.
TEST_F(BusServer, GdbusFindsTheInterfacesAndIsRefusedOnAnotherClientsObject) {
  TBusClient owner(QStringLiteral("owner"));
  QString path = owner.Create();
  auto gdbus = [](const QStringList& aArgs, QString* aErr = nullptr) {
    QProcess p;
    p.start(QStringLiteral("gdbus"), aArgs);
    // Our own connections are served on the automation thread, so the main
    // thread may wait here.
    p.waitForFinished(20000);
    if (aErr) *aErr = QString::fromUtf8(p.readAllStandardError());
    return QString::fromUtf8(p.readAllStandardOutput());
  };
  if (QStandardPaths::findExecutable(QStringLiteral("gdbus")).isEmpty()) GTEST_SKIP() << "no gdbus";
  const QStringList dest = {QStringLiteral("--session"), QStringLiteral("--dest"),
                            QLatin1String(kBusServiceName)};
  QString created = gdbus(QStringList{QStringLiteral("call")} + dest +
                          QStringList{QStringLiteral("--object-path"), QStringLiteral("/Qorvel"),
                                      QStringLiteral("--method"),
                                      QStringLiteral("Qorvel.ClassFactory.CreateInstance")});
  EXPECT_TRUE(created.startsWith(QStringLiteral("(objectpath '/Qorvel/AutoEMI/")))
      << created.toStdString();

  QString xml = gdbus(QStringList{QStringLiteral("introspect")} + dest +
                      QStringList{QStringLiteral("--object-path"), path, QStringLiteral("--xml")});
  EXPECT_TRUE(xml.contains(QStringLiteral("<method name=\"Submit\">")))
      << xml.toStdString() << path.toStdString();
  EXPECT_TRUE(xml.contains(QStringLiteral("<signal name=\"OnDeliveredNotification\">")));
  EXPECT_TRUE(
      xml.contains(QStringLiteral("<property name=\"Active\" type=\"b\" access=\"readwrite\"")));

  QString err;
  gdbus(QStringList{QStringLiteral("call")} + dest +
            QStringList{QStringLiteral("--object-path"), path, QStringLiteral("--method"),
                        QStringLiteral("Qorvel.IAutoEMI.TestConnection")},
        &err);
  EXPECT_TRUE(err.contains(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")))
      << err.toStdString();
  EXPECT_EQ(server_->ObjectCount(), 1) << "gdbus's own object goes with its connection";
}

}  // namespace
}  // namespace qorvel::test

#include "bus_server_test.moc"
