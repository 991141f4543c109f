// The built program itself, started by the session bus after "/REGSERVER",
// against the simulator. The bus must look for activation files under a
// throw-away XDG_DATA_HOME: ctest sets one before starting the bus.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QFile>
#include <QProcess>
#include <memory>
#include <vector>

#include "config/config.h"
#include "temp_dir.h"
#include "automation/bus_client.h"
#include "automation/start_mode.h"
#include "emi/codec.h"
#include "tools/smsc/smsc_simulator.h"

namespace qorvel::test {
namespace {

int RunProgram(const QStringList& aArgs) {
  QProcess p;
  p.start(QStringLiteral(QORVEL_PROGRAM), aArgs);
  p.waitForFinished(30000);
  return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

bool NameServed() {
  return QDBusConnection::sessionBus().interface()->isServiceRegistered(
      QLatin1String(kBusServiceName));
}

// The program with the dispositions a desktop session gives it, whatever this
// test program inherited (a runner under nohup ignores SIGHUP, a shell's
// background job SIGINT, and children keep both).
void StartWithDefaultSignals(QProcess& aProcess, const QStringList& aArgs) {
  aProcess.setChildProcessModifier([] {
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
      signal(s, SIG_DFL);
      sigaddset(&mask, s);
    }
    sigprocmask(SIG_UNBLOCK, &mask, nullptr);
  });
  aProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  aProcess.start(QStringLiteral(QORVEL_PROGRAM), aArgs);
}

// Until the bus name is served by aProcess itself, not by one that is going.
bool ServedBy(const QProcess& aProcess) {
  return WaitFor(
      [&] {
        const QDBusReply<uint> pid =
            QDBusConnection::sessionBus().interface()->servicePid(QLatin1String(kBusServiceName));
        return pid.isValid() && static_cast<qint64>(pid.value()) == aProcess.processId();
      },
      15000);
}

std::string IniFor(const TSmscSimulator& aSmsc, const std::string& aLogFile) {
  return "[EMI]\nIP=127.0.0.1\nPort=" + std::to_string(aSmsc.Port()) + "\nLogFile=" + aLogFile +
         "\n[EMI.Connection]\nUser=1234\nPassword=" + ScramblePassword("pw") + "\n";
}

TEST(Program, RegisteredItStartsThroughTheBusServesAndEndsWithItsLastObject) {
  if (qEnvironmentVariableIsEmpty("XDG_DATA_HOME")) {
    GTEST_SKIP() << "XDG_DATA_HOME must name a throw-away folder";
  }
  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  config.Notifications = false;
  TSmscSimulator smsc(config);
  qorvel::testing::TTempDir dir;
  const std::string ini = dir.File("EMI.INI");
  qorvel::testing::WriteText(
      ini, "[EMI]\nIP=127.0.0.1\nPort=" + std::to_string(smsc.Port()) +
               "\n[EMI.Connection]\nUser=1234\nPassword=" + ScramblePassword("pw") + "\n");
  const QString iniSwitch = QStringLiteral("-I:") + QString::fromStdString(ini);
  ASSERT_EQ(RunProgram({iniSwitch, QStringLiteral("/REGSERVER")}), 0);
  ASSERT_TRUE(QFile::exists(ActivationFilePath()));
  ASSERT_FALSE(NameServed());

  // gdbus's object goes with gdbus, and the program with its last object.
  QProcess gdbus;
  gdbus.start(QStringLiteral("gdbus"),
              {"call", "--session", "--dest", kBusServiceName, "--object-path", kFactoryPath,
               "--method", "Qorvel.ClassFactory.CreateInstance"});
  ASSERT_TRUE(gdbus.waitForFinished(30000));
  EXPECT_TRUE(gdbus.readAllStandardOutput().startsWith("(objectpath '/Qorvel/AutoEMI/1',)"))
      << gdbus.readAllStandardError().toStdString();
  EXPECT_TRUE(WaitFor([] { return !NameServed(); }, 15000)) << "still running";

  TBusClient client(QStringLiteral("client"));
  const QString path = client.Create();
  ASSERT_FALSE(path.isEmpty());
  QDBusReply<uint> pid =
      QDBusConnection::sessionBus().interface()->servicePid(QLatin1String(kBusServiceName));
  ASSERT_TRUE(pid.isValid());
  ASSERT_TRUE(smsc.WaitForConnections(1, std::chrono::seconds(10)));
  QDBusMessage r =
      client.Object(path, QStringLiteral("Submit"),
                    {QStringLiteral("0612345678"), QByteArray("\x00\xff", 2), true,
                     QVariant::fromValue<short>(255), QVariant::fromValue<short>(0),
                     QVariant::fromValue<short>(0), QVariant::fromValue<short>(0), 0.0});
  ASSERT_EQ(r.type(), QDBusMessage::ReplyMessage) << r.errorMessage().toStdString();
  ASSERT_EQ(smsc.Submits().size(), 1u);
  EXPECT_EQ(r.arguments().value(0).toDouble(), StampToDateTime(smsc.Submits()[0].SCTS));
  EXPECT_EQ(smsc.Submits()[0].Fields[20], "00FF");

  EXPECT_EQ(client.Object(path, QStringLiteral("Release")).type(), QDBusMessage::ReplyMessage);
  EXPECT_TRUE(WaitFor([&] { return kill(static_cast<pid_t>(pid.value()), 0) != 0; }, 15000))
      << "the program did not end after the last release";

  EXPECT_EQ(RunProgram({QStringLiteral("/UNREGSERVER")}), 0);
  EXPECT_FALSE(QFile::exists(ActivationFilePath()));
}

// A client that comes while the previous one's instance is ending is served in
// full, by that instance or by a new one, but never by an object that dies
// under it.
TEST(Program, BackToBackActivationsServeEveryClient) {
  if (qEnvironmentVariableIsEmpty("XDG_DATA_HOME")) {
    GTEST_SKIP() << "XDG_DATA_HOME must name a throw-away folder";
  }
  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  config.Notifications = false;
  TSmscSimulator smsc(config);
  qorvel::testing::TTempDir dir;
  qorvel::testing::WriteText(dir.File("EMI.INI"), IniFor(smsc, dir.File("traffic.log")));
  const QString iniSwitch = QStringLiteral("-I:") + QString::fromStdString(dir.File("EMI.INI"));
  ASSERT_EQ(RunProgram({iniSwitch, QStringLiteral("/REGSERVER")}), 0);

  // Each client's connection is up before the previous one lets go, so that
  // its CreateInstance follows the last Release at once.
  constexpr int kClients = 12;
  std::vector<std::unique_ptr<TBusClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TBusClient>(QStringLiteral("client%1").arg(i)));
  }
  int served = 0;
  for (int i = 0; i < kClients; ++i) {
    SCOPED_TRACE(i);
    TBusClient& client = *clients[i];
    const QString path = client.Create(true);
    ASSERT_FALSE(path.isEmpty());
    QDBusMessage r = client.Object(
        path, QStringLiteral("Submit"),
        {QStringLiteral("0612345678"), QByteArray::number(i), false,
         QVariant::fromValue<short>(255), QVariant::fromValue<short>(0),
         QVariant::fromValue<short>(0), QVariant::fromValue<short>(0), 0.0});
    EXPECT_EQ(r.type(), QDBusMessage::ReplyMessage) << r.errorMessage().toStdString();
    served += r.type() == QDBusMessage::ReplyMessage;
    EXPECT_EQ(client.Object(path, QStringLiteral("Release")).type(), QDBusMessage::ReplyMessage);
  }
  EXPECT_EQ(served, kClients);
  EXPECT_EQ(smsc.Counts().Accepted, kClients);
  EXPECT_TRUE(WaitFor([] { return !NameServed(); }, 15000)) << "still running";
  EXPECT_EQ(RunProgram({QStringLiteral("/UNREGSERVER")}), 0);
}

// Started by the bus where there is no screen (an ssh session), the program
// serves without a window, its status lines on stderr; started by a person
// there, it says why it cannot open its window.
TEST(Program, WithoutAScreenItServesTheBusWithoutAWindow) {
  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  config.Notifications = false;
  TSmscSimulator smsc(config);
  qorvel::testing::TTempDir dir;
  qorvel::testing::WriteText(dir.File("EMI.INI"), IniFor(smsc, dir.File("traffic.log")));
  const QString iniSwitch = QStringLiteral("-I:") + QString::fromStdString(dir.File("EMI.INI"));
  QProcessEnvironment noScreen = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    noScreen.remove(QLatin1String(name));
  }

  QProcess byHand;
  byHand.setProcessEnvironment(noScreen);
  byHand.start(QStringLiteral(QORVEL_PROGRAM), {iniSwitch});
  ASSERT_TRUE(byHand.waitForFinished(30000));
  EXPECT_EQ(byHand.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(byHand.exitCode(), 1);
  EXPECT_TRUE(byHand.readAllStandardError().contains("no display")) << "no reason given";

  QProcess program;
  program.setProcessEnvironment(noScreen);
  program.start(QStringLiteral(QORVEL_PROGRAM), {iniSwitch, QStringLiteral("/AUTOMATION")});
  ASSERT_TRUE(program.waitForStarted(30000));
  ASSERT_TRUE(ServedBy(program)) << program.readAllStandardError().toStdString();
  TBusClient client(QStringLiteral("client"));
  const QString path = client.Create(true);
  ASSERT_FALSE(path.isEmpty());
  QDBusMessage r = client.Object(
      path, QStringLiteral("Submit"),
      {QStringLiteral("0612345678"), QByteArray("headless"), false,
       QVariant::fromValue<short>(255), QVariant::fromValue<short>(0),
       QVariant::fromValue<short>(0), QVariant::fromValue<short>(0), 0.0});
  EXPECT_EQ(r.type(), QDBusMessage::ReplyMessage) << r.errorMessage().toStdString();
  EXPECT_EQ(client.Object(path, QStringLiteral("Release")).type(), QDBusMessage::ReplyMessage);
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_EQ(smsc.Counts().Accepted, 1);
  EXPECT_TRUE(program.readAllStandardError().contains("qorvel: Automation on: Qorvel.AutoEMI"));
}

// A bus-started program whose bus goes away (its session ended under it)
// ends too: no release can come any more.
TEST(Program, ABusStartedProgramEndsWithItsBus) {
  QProcess daemon;
  daemon.start(QStringLiteral("dbus-daemon"),
               {QStringLiteral("--session"), QStringLiteral("--nofork"),
                QStringLiteral("--print-address=1")});
  ASSERT_TRUE(daemon.waitForReadyRead(10000)) << "no dbus-daemon";
  const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
  qorvel::testing::TTempDir dir;
  qorvel::testing::WriteText(dir.File("EMI.INI"), "[EMI]\nLogFile=\n[History]\nFile=\n");
  QProcess program;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
  program.setProcessEnvironment(env);
  program.start(QStringLiteral(QORVEL_PROGRAM),
                {QStringLiteral("-I:") + QString::fromStdString(dir.File("EMI.INI")),
                 QStringLiteral("/AUTOMATION")});
  ASSERT_TRUE(program.waitForStarted(30000));
  {
    QDBusConnection other = QDBusConnection::connectToBus(address, QStringLiteral("other"));
    EXPECT_TRUE(WaitFor(
        [&] { return other.interface()->isServiceRegistered(QLatin1String(kBusServiceName)); },
        15000))
        << "the program did not come up on its bus";
  }
  QDBusConnection::disconnectFromBus(QStringLiteral("other"));
  daemon.kill();
  daemon.waitForFinished(10000);
  EXPECT_TRUE(program.waitForFinished(15000)) << "still running without its bus";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
}

// The bus sends SIGTERM at logout. The program goes down as when its window
// closes: a caller waiting on a submit is answered rather than dropped (the
// operation no longer holds the main thread, so the answer is the program's
// end), the traffic log holds the submit, and the status is 0.
TEST(Program, SigtermEndsItAsClosingTheWindowDoes) {
  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  config.Notifications = false;
  TSmscSimulator smsc(config);
  qorvel::testing::TTempDir dir;
  const std::string log = dir.File("traffic.log");
  qorvel::testing::WriteText(dir.File("EMI.INI"), IniFor(smsc, log));
  QProcess program;
  StartWithDefaultSignals(program,
                          {QStringLiteral("-I:") + QString::fromStdString(dir.File("EMI.INI"))});
  ASSERT_TRUE(program.waitForStarted(30000));
  ASSERT_TRUE(ServedBy(program)) << "the program did not come up on the bus";

  TBusClient client(QStringLiteral("client"));
  const QString path = client.Create();
  ASSERT_FALSE(path.isEmpty());
  ASSERT_TRUE(WaitFor([&] { return smsc.SessionOpen(); }, 15000));
  // The signal comes while the program's main thread waits for this answer.
  smsc.DelayAnswers(51, std::chrono::milliseconds(1000), 1);
  QDBusPendingCall submit =
      client.AsyncCall(path, QLatin1String(kObjectInterface), QStringLiteral("Submit"),
                       {QStringLiteral("0612345678"), QByteArray("\x00\xff", 2), true,
                        QVariant::fromValue<short>(255), QVariant::fromValue<short>(0),
                        QVariant::fromValue<short>(0), QVariant::fromValue<short>(0), 0.0});
  ASSERT_TRUE(smsc.WaitForOperations(51, 1, std::chrono::seconds(15)));
  ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), SIGTERM), 0);

  ASSERT_TRUE(WaitFor([&] { return submit.isFinished(); }, 30000));
  const QDBusMessage reply = submit.reply();
  EXPECT_TRUE(reply.type() == QDBusMessage::ReplyMessage ||
              reply.errorMessage() == QLatin1String("Object destroyed"))
      << reply.errorName().toStdString() << ": " << reply.errorMessage().toStdString();
  ASSERT_TRUE(program.waitForFinished(30000));
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_FALSE(NameServed());
  const std::string traffic = qorvel::testing::ReadText(log);
  EXPECT_NE(traffic.find("/O/51/0612345678/"), std::string::npos) << traffic;
}

TEST(Program, SigintAndSighupEndItWithStatusZero) {
  for (int signal : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    qorvel::testing::TTempDir dir;
    // Nothing to connect to: the program is only started and ended.
    qorvel::testing::WriteText(dir.File("EMI.INI"), "[EMI]\nLogFile=\n");
    QProcess program;
    StartWithDefaultSignals(program,
                            {QStringLiteral("-I:") + QString::fromStdString(dir.File("EMI.INI"))});
    ASSERT_TRUE(program.waitForStarted(30000));
    ASSERT_TRUE(ServedBy(program));
    ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), signal), 0);
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
  }
}

}  // namespace
}  // namespace qorvel::test
