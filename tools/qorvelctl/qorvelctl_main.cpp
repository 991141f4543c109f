// qorvelctl: drives a running Qorvel over the session bus, or starts one
// through bus activation when it is installed and not running.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusSignature>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

#include "automation/bus_names.h"
#include "tools/qorvelctl/history.h"
#include "tools/qorvelctl/message_input.h"
#include "tools/qorvelctl/qorvelctl.h"

namespace qorvelctl {

using qorvel::kBusServiceName;
using qorvel::kFactoryInterface;
using qorvel::kFactoryPath;
using qorvel::kObjectInterface;

constexpr char kProperties[] = "org.freedesktop.DBus.Properties";

constexpr char kUsage[] =
    "usage: qorvelctl COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  submit NUMBER TEXT      submit a short message and print the SMSC's time stamp\n"
    "  submit NUMBER --hex HEX submit 8-bit data given as hex digits\n"
    "  send FILE               submit the message of each line of FILE (-: standard\n"
    "                          input); print the lines that failed and a summary\n"
    "  test                    once Qorvel is connected, test the connection:\n"
    "                          prints \"alive\" (exit 0) or \"not alive\" (exit 2)\n"
    "  status                  print whether Qorvel is connected and its own number\n"
    "  connect                 ask Qorvel to connect and wait until it is\n"
    "  disconnect              ask Qorvel to disconnect and wait until it is\n"
    "  watch                   print each event of Qorvel (of no other sender) as\n"
    "                          it comes, one line each, until interrupted; when\n"
    "                          Qorvel goes away, say so on stderr and go on once\n"
    "                          it is back\n"
    "  decode [FILE]           print the EMI frames of a log (FILE, or -: standard\n"
    "                          input, the default) field by field; lines without\n"
    "                          a frame are skipped. Needs no running Qorvel\n"
    "  history                 list the messages Qorvel has kept, newest first:\n"
    "                          id, time, direction, number, status, SCTS, text\n"
    "  show ID                 print everything Qorvel has kept of one message\n"
    "\n"
    "Options of submit and send:\n"
    "  --class N               message class 0 to 3 (default: none)\n"
    "  --pid N                 protocol identifier 0 to 255 (default 0)\n"
    "  --notify LIST           ask for notifications, a comma-separated list of\n"
    "                          delivered, not-delivered, buffered\n"
    "  --validity HOURS        validity period in hours (default: the SMSC's)\n"
    "  --reply-path            request a reply path\n"
    "Options of submit:\n"
    "  --hex HEX               the message is 8-bit data, these octets\n"
    "Options of send:\n"
    "  --hex                   every text is 8-bit data, given as hex digits\n"
    "  --window N              Submit calls in flight at once, 1 to 1000 (default 10)\n"
    "  --json                  one JSON object per message line, in the order of\n"
    "                          the lines, then one with the totals\n"
    "  --wait-delivery SECONDS then wait up to SECONDS for the notifications and\n"
    "                          report each message delivered, not delivered or\n"
    "                          still pending (asks for delivered and not-delivered\n"
    "                          notifications unless --notify says otherwise)\n"
    "Options of history:\n"
    "  --since T               from T on: a local date-time (2024-05-02T10:15) or\n"
    "                          a span ago (45s, 30m, 1h, 2d, 1w)\n"
    "  --number N              numbers starting with N (+ and 00 alike)\n"
    "  --status S              submitted, accepted, failed, buffered, delivered,\n"
    "                          not-delivered, received or unmatched\n"
    "  --limit N               at most N messages, 1 to 10000 (default 50)\n"
    "Options of test, connect and disconnect:\n"
    "  --wait SECONDS          how long to wait for the connection, or the change\n"
    "                          (default 20; 0: do not wait); test says \"not\n"
    "                          alive\" when there is none by then\n"
    "Options of watch:\n"
    "  --once                  end with status 1 when Qorvel goes away\n"
    "Options of watch, decode, history and show:\n"
    "  --json                  one JSON object per line\n"
    "Of every command:\n"
    "  -h, --help              this text; only as the first argument or right\n"
    "                          after the command\n"
    "  --                      ends the options: what follows is NUMBER, TEXT or\n"
    "                          FILE even when it begins with -\n"
    "\n"
    "NUMBER is 1 to 16 digits after an optional + (international) or # (taken as\n"
    "it is). TEXT is sent as the octets of the argument, unchanged: at most 160,\n"
    "or 140 of 8-bit data; one that begins with - but is no option of submit is\n"
    "text too (\"submit 0612345678 -h\" sends \"-h\"). Dates print as local time.\n"
    "Like every client, qorvelctl's object asks Qorvel to connect. Errors go to\n"
    "stderr with exit status 1.\n"
    "\n"
    "A line of FILE is NUMBER,TEXT; a text that holds a comma or a quote goes in\n"
    "quotes, its quotes doubled: 0612345678,\"a \"\"b\"\", c\". The text's octets are\n"
    "sent as they stand in the file. Blank lines are skipped; a wrong line is\n"
    "reported with its number and counted as failed, and the others still go.\n"
    "When stderr, or else stdout, is a terminal, send shows its progress there.\n"
    "The first interrupt (Ctrl-C) sends no more and waits for the answers to the\n"
    "calls in flight, which Qorvel has taken already; a second leaves without\n"
    "them (abandoned), and Qorvel drops those it has not sent. An error of the\n"
    "bus rather than of Qorvel (no Qorvel, no answer in time) stops the same way.\n"
    "send exits with status 1 when a message failed, was abandoned or was not\n"
    "sent. Its rate counts the messages the SMSC accepted, per second from the\n"
    "first call to the last answer. With --wait-delivery it exits with status 3\n"
    "when all were sent but one was not delivered or is still pending.\n";

[[noreturn]] void Fail(const QString& aWhy) {
  std::fprintf(stderr, "qorvelctl: %s\n", aWhy.toLocal8Bit().constData());
  std::exit(1);
}

[[noreturn]] void Usage(const QString& aWhy) {
  std::fprintf(stderr, "qorvelctl: %s\n\n%s", aWhy.toLocal8Bit().constData(), kUsage);
  std::exit(1);
}

namespace {

// The answer of aService, an error included.
QDBusMessage Ask(const QString& aService, const QString& aPath, const char* aInterface,
                 const char* aMember, const QVariantList& aArgs = {}) {
  QDBusMessage m = QDBusMessage::createMethodCall(aService, aPath, QLatin1String(aInterface),
                                                  QLatin1String(aMember));
  m.setArguments(aArgs);
  return QDBusConnection::sessionBus().call(m, QDBus::Block, kCallTimeout);
}

}  // namespace

namespace {
QString server;
}  // namespace

QString Server() {
  return server.isEmpty() ? QLatin1String(kBusServiceName) : server;
}

QDBusMessage Call(const QString& aPath, const char* aInterface, const char* aMember,
                  const QVariantList& aArgs) {
  QDBusMessage reply = Ask(Server(), aPath, aInterface, aMember, aArgs);
  if (reply.type() == QDBusMessage::ErrorMessage) Fail(reply.errorMessage());
  return reply;
}

QString SignatureOf(const QVariant& aValue) {
  if (aValue.metaType() == QMetaType::fromType<QDBusArgument>()) {
    return aValue.value<QDBusArgument>().currentSignature();
  }
  return QString::fromLatin1(QDBusMetaType::typeToSignature(aValue.metaType()));
}

QVariant AnswerOf(const QDBusMessage& aReply, const char* aMember, const char* aSignature) {
  if (aReply.signature() != QLatin1String(aSignature)) {
    Fail(QStringLiteral("Qorvel answered %1 with \"%2\", not \"%3\"")
             .arg(QLatin1String(aMember), aReply.signature(), QLatin1String(aSignature)));
  }
  return aReply.arguments().value(0);
}

QString CreateObject() {
  server.clear();
  const QDBusMessage reply = Call(QLatin1String(kFactoryPath), kFactoryInterface, "CreateInstance");
  const QString path = AnswerOf(reply, "CreateInstance", "o").value<QDBusObjectPath>().path();
  server = reply.service();
  return path;
}

namespace {

// A property's value, after checking that it is of type aSignature.
QVariant Checked(const QVariant& aValue, const char* aName, const char* aSignature) {
  if (!aValue.isValid()) Fail(QStringLiteral("Qorvel gave no %1").arg(QLatin1String(aName)));
  const QString signature = SignatureOf(aValue);
  if (signature != QLatin1String(aSignature)) {
    Fail(QStringLiteral("Qorvel's %1 is \"%2\", not \"%3\"")
             .arg(QLatin1String(aName), signature, QLatin1String(aSignature)));
  }
  return aValue;
}

QVariant Property(const QString& aPath, const char* aName, const char* aSignature) {
  const QVariant value = AnswerOf(
      Call(aPath, kProperties, "Get", {QLatin1String(kObjectInterface), QLatin1String(aName)}),
      "Get", "v");
  return Checked(value.value<QDBusVariant>().variant(), aName, aSignature);
}

}  // namespace

QString DateText(double aDays) {
  if (aDays == 0) return QStringLiteral("-");
  QDateTime base(QDate(1899, 12, 30), QTime(0, 0));
  return base.addMSecs(static_cast<qint64>(aDays * 86400000.0 + (aDays < 0 ? -0.5 : 0.5)))
      .toString(Qt::ISODate);
}

int ToNumber(const QString& aText, const QString& aOption, int aMin, int aMax) {
  bool ok = false;
  int value = aText.toInt(&ok);
  if (!ok || value < aMin || value > aMax) {
    Usage(QStringLiteral("%1 takes a number from %2 to %3").arg(aOption).arg(aMin).arg(aMax));
  }
  return value;
}

const QString& OptionValue(const QStringList& aArgs, qsizetype& aIndex) {
  if (aIndex + 1 >= aArgs.size()) Usage(aArgs[aIndex] + QStringLiteral(" needs a value"));
  return aArgs[++aIndex];
}

QStringList SplitAtOptionsEnd(const QStringList& aArgs, QStringList& aOperands) {
  const qsizetype end = aArgs.indexOf(QStringLiteral("--"));
  if (end < 0) return aArgs;
  aOperands = aArgs.mid(end + 1);
  return aArgs.first(end);
}

bool TakeSubmitOption(const QStringList& aArgs, qsizetype& aIndex, TSubmitOptions& aOptions) {
  const QString& a = aArgs[aIndex];
  auto value = [&]() -> const QString& { return OptionValue(aArgs, aIndex); };
  if (a == QLatin1String("--class")) {
    aOptions.MCLs = static_cast<short>(ToNumber(value(), a, 0, 3));
  } else if (a == QLatin1String("--pid")) {
    aOptions.PID = static_cast<short>(ToNumber(value(), a, 0, 255));
  } else if (a == QLatin1String("--notify")) {
    for (const QString& kind : value().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
      if (kind == QLatin1String("delivered")) {
        aOptions.NT |= 1;
      } else if (kind == QLatin1String("not-delivered")) {
        aOptions.NT |= 2;
      } else if (kind == QLatin1String("buffered")) {
        aOptions.NT |= 4;
      } else {
        Usage(QStringLiteral("--notify knows delivered, not-delivered, buffered; not ") + kind);
      }
    }
  } else if (a == QLatin1String("--validity")) {
    bool ok = false;
    double hours = value().toDouble(&ok);
    if (!ok || hours <= 0) Usage(QStringLiteral("--validity takes a positive number of hours"));
    aOptions.VP = hours / 24.0;
  } else if (a == QLatin1String("--reply-path")) {
    aOptions.RPI = 1;
  } else {
    return false;
  }
  return true;
}

QVariantList SubmitArguments(const QByteArray& aNumber, const QByteArray& aOctets, bool aBinary,
                             const TSubmitOptions& aOptions) {
  return {QString::fromLatin1(aNumber),
          aOctets,
          aBinary,
          QVariant::fromValue(aOptions.MCLs),
          QVariant::fromValue(aOptions.PID),
          QVariant::fromValue(aOptions.NT),
          QVariant::fromValue(aOptions.RPI),
          aOptions.VP};
}

}  // namespace qorvelctl

namespace {

using namespace qorvelctl;
using qorvel::kEventsInterface;

int Submit(const QStringList& aArgs) {
  QByteArray octets;
  bool binary = false;
  TSubmitOptions options;
  QStringList operands;
  const QStringList args = SplitAtOptionsEnd(aArgs, operands);
  QStringList positional;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--hex")) {
      std::optional<QByteArray> data = FromHex(OptionValue(args, i).toLatin1());
      if (!data) Usage(QStringLiteral("--hex takes pairs of hex digits"));
      octets = *data;
      binary = true;
    } else if (!TakeSubmitOption(args, i, options)) {
      // A text may begin with "-": what is no option of submit is taken as
      // NUMBER or TEXT.
      positional << a;
    }
  }
  positional << operands;
  if (positional.size() != (binary ? 1 : 2)) {
    QString why = binary ? QStringLiteral("submit --hex takes NUMBER only")
                         : QStringLiteral("submit takes NUMBER and TEXT");
    for (const QString& p : std::as_const(positional)) {
      if (p.startsWith(QLatin1Char('-')) && !operands.contains(p)) {
        why += QStringLiteral(" (%1 is no option of submit)").arg(p);
        break;
      }
    }
    Usage(why);
  }
  const QByteArray number = positional[0].toLatin1();
  if (QString wrong = NumberProblem(number); !wrong.isEmpty()) {
    Usage(QStringLiteral("NUMBER ") + wrong);
  }
  if (!binary) octets = positional[1].toLocal8Bit();
  if (QString tooLong = LengthProblem(octets.size(), binary); !tooLong.isEmpty()) {
    Usage((binary ? QStringLiteral("--hex: ") : QStringLiteral("TEXT: ")) + tooLong);
  }
  const QString path = CreateObject();
  QDBusMessage r =
      Call(path, kObjectInterface, "Submit", SubmitArguments(number, octets, binary, options));
  std::printf("%s\n", DateText(AnswerOf(r, "Submit", "d").toDouble()).toLocal8Bit().constData());
  return 0;
}

// The --wait of test, connect and disconnect, in seconds.
int WaitSeconds(const QStringList& aArgs) {
  int seconds = 20;
  for (qsizetype i = 0; i < aArgs.size(); ++i) {
    if (aArgs[i] == QLatin1String("--wait")) {
      seconds = ToNumber(OptionValue(aArgs, i), QStringLiteral("--wait"), 0, 3600);
    } else {
      Usage(QStringLiteral("unknown argument ") + aArgs[i]);
    }
  }
  return seconds;
}

// Whether Qorvel's connection is (aActive) or is not up within aSeconds; with
// 0, whether it is now.
bool WaitForActive(const QString& aPath, bool aActive, int aSeconds) {
  QElapsedTimer timer;
  timer.start();
  while (Property(aPath, "Active", "b").toBool() != aActive) {
    if (timer.elapsed() >= aSeconds * 1000LL) return false;
    QThread::msleep(100);
  }
  return true;
}

int Switch(bool aActive, const QStringList& aArgs) {
  const int waitSeconds = WaitSeconds(aArgs);
  const QString path = CreateObject();
  Call(path, kProperties, "Set",
       {QLatin1String(kObjectInterface), QStringLiteral("Active"),
        QVariant::fromValue(QDBusVariant(aActive))});
  if (waitSeconds > 0 && !WaitForActive(path, aActive, waitSeconds)) {
    Fail(aActive ? QStringLiteral("not connected after %1 s").arg(waitSeconds)
                 : QStringLiteral("still connected after %1 s").arg(waitSeconds));
  }
  return 0;
}

int Test(const QStringList& aArgs) {
  const int waitSeconds = WaitSeconds(aArgs);
  // Creating the object asked Qorvel to connect; one the bus has just
  // started is still logging in.
  const QString path = CreateObject();
  const bool alive =
      WaitForActive(path, true, waitSeconds) &&
      AnswerOf(Call(path, kObjectInterface, "TestConnection"), "TestConnection", "b").toBool();
  std::puts(alive ? "alive" : "not alive");
  return alive ? 0 : 2;
}

int Status() {
  const QString path = CreateObject();
  const QVariantMap all = qdbus_cast<QVariantMap>(AnswerOf(
      Call(path, kProperties, "GetAll", {QLatin1String(kObjectInterface)}), "GetAll", "a{sv}"));
  auto property = [&](const char* aName, const char* aSignature) {
    return Checked(all.value(QLatin1String(aName)), aName, aSignature);
  };
  const bool active = property("Active", "b").toBool();
  QString text = QStringLiteral("connected: %1\nown number: %2\n")
                     .arg(active ? QStringLiteral("yes") : QStringLiteral("no"),
                          property("PhoneNumber", "s").toString());
  // Absent from a Qorvel older than these.
  if (all.contains(QStringLiteral("LinkState"))) {
    text += QStringLiteral("link: %1\n").arg(property("LinkState", "s").toString());
  }
  if (all.contains(QStringLiteral("Counts"))) {
    QMap<QString, qlonglong> counts;
    const QVariant value = all.value(QStringLiteral("Counts"));
    // Qorvel 1.2 declares "a{sx}" but sends "a{sv}", each value an "x".
    if (SignatureOf(value) == QLatin1String("a{sv}")) {
      const QVariantMap map = qdbus_cast<QVariantMap>(value);
      for (auto it = map.begin(); it != map.end(); ++it) {
        counts.insert(it.key(), Checked(it.value(), "Counts", "x").toLongLong());
      }
    } else {
      Checked(value, "Counts", "a{sx}").value<QDBusArgument>() >> counts;
    }
    for (const char* name : {"sent", "failed", "received", "notifications", "queued"}) {
      text += QStringLiteral("%1: %2\n").arg(QLatin1String(name)).arg(counts.value(name));
    }
  }
  // The instance that answered, whose history it is. A Qorvel without a
  // history answers UnknownMethod, and the line is left out.
  QDBusMessage ask = QDBusMessage::createMethodCall(Server(), QLatin1String(qorvel::kHistoryPath),
                                                    QLatin1String(qorvel::kHistoryInterface),
                                                    QStringLiteral("State"));
  const QDBusMessage state = QDBusConnection::sessionBus().call(ask, QDBus::Block, kCallTimeout);
  if (state.type() == QDBusMessage::ReplyMessage && state.signature() == QLatin1String("ss")) {
    const QString file = state.arguments().value(0).toString();
    const QString problem = state.arguments().value(1).toString();
    text += QStringLiteral("history: %1\n").arg(file.isEmpty() ? QStringLiteral("off") : file);
    if (!problem.isEmpty()) text += QStringLiteral("history problem: %1\n").arg(problem);
  }
  std::fputs(text.toLocal8Bit().constData(), stdout);
  return 0;
}

volatile std::sig_atomic_t stopRequested = 0;

constexpr char kEventNames[][24] = {"OnDelivered", "OnActiveChanged", "OnDeliveredNotification"};

// Prints the events of one object of the Qorvel that owns the bus name, and
// of no one else: any connection can send a signal with that path and
// interface. When that Qorvel goes, its object goes with it; the watcher then
// waits for the name to have an owner again and starts over on a new object.
class TWatcher : public QObject {
  Q_OBJECT
 public:
  TWatcher(bool aJson, bool aOnce) : json_(aJson), once_(aOnce) {
    // Before the first object, so that no departure goes unseen.
    QDBusConnection::sessionBus().connect(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
        {QLatin1String(kBusServiceName)}, QString(), this,
        SLOT(OwnerChanged(QString, QString, QString)));
  }

  // Creates an object, listens to its owner's signals and advises it; why it
  // could not, or empty.
  QString Attach() {
    const QDBusMessage created = Ask(QLatin1String(kBusServiceName), QLatin1String(kFactoryPath),
                                     kFactoryInterface, "CreateInstance");
    if (created.type() == QDBusMessage::ErrorMessage) return created.errorMessage();
    if (created.signature() != QLatin1String("o")) {
      return QStringLiteral("Qorvel answered CreateInstance with \"%1\", not \"o\"")
          .arg(created.signature());
    }
    const QString path = created.arguments().value(0).value<QDBusObjectPath>().path();
    const QDBusReply<QString> owner =
        QDBusConnection::sessionBus().interface()->serviceOwner(QLatin1String(kBusServiceName));
    if (!owner.isValid()) return owner.error().message();
    // The name changed hands between the two calls; its NameOwnerChanged is
    // on the way.
    if (owner.value() != created.service()) {
      return QStringLiteral("%1 changed owner meanwhile").arg(QLatin1String(kBusServiceName));
    }
    owner_ = owner.value();
    path_ = path;
    Listen(true);
    const QDBusMessage advised = Ask(owner_, path_, kObjectInterface, "Advise");
    if (advised.type() == QDBusMessage::ErrorMessage) {
      Detach();
      return advised.errorMessage();
    }
    return {};
  }

 public slots:
  void Event(const QDBusMessage& aSignal) {
    if (aSignal.service() != owner_ || aSignal.path() != path_) return;
    const QVariantList a = aSignal.arguments();
    const QString name = aSignal.member();
    const char* shape = name == QLatin1String("OnDelivered")               ? "dssaybnnnd"
                        : name == QLatin1String("OnDeliveredNotification") ? "dssaynnnd"
                                                                           : "";
    if (aSignal.signature() != QLatin1String(shape)) {
      Notice(QStringLiteral("Qorvel sent %1 with \"%2\", not \"%3\"; not shown")
                 .arg(name, aSignal.signature(), QLatin1String(shape)));
      return;
    }
    QString line;
    if (json_) {
      QJsonObject o{{QStringLiteral("event"), name}};
      if (name == QLatin1String("OnDelivered") && a.size() == 9) {
        o.insert(QStringLiteral("SCTS"), DateText(a[0].toDouble()));
        o.insert(QStringLiteral("OA"), a[1].toString());
        o.insert(QStringLiteral("DA"), a[2].toString());
        o.insert(QStringLiteral("Msg"), QString::fromLatin1(a[3].toByteArray()));
        o.insert(QStringLiteral("MsgHex"),
                 QString::fromLatin1(a[3].toByteArray().toHex().toUpper()));
        o.insert(QStringLiteral("Binary"), a[4].toBool());
        o.insert(QStringLiteral("MCLs"), a[5].toInt());
        o.insert(QStringLiteral("PID"), a[6].toInt());
        o.insert(QStringLiteral("RPI"), a[7].toInt());
        o.insert(QStringLiteral("VP"), a[8].toDouble());
      } else if (name == QLatin1String("OnDeliveredNotification") && a.size() == 8) {
        o.insert(QStringLiteral("SCTS"), DateText(a[0].toDouble()));
        o.insert(QStringLiteral("OA"), a[1].toString());
        o.insert(QStringLiteral("DA"), a[2].toString());
        o.insert(QStringLiteral("Msg"), QString::fromLatin1(a[3].toByteArray()));
        o.insert(QStringLiteral("PID"), a[4].toInt());
        o.insert(QStringLiteral("DeliveryStatus"), a[5].toInt());
        o.insert(QStringLiteral("ReasonCode"), a[6].toInt());
        o.insert(QStringLiteral("DSCTS"), DateText(a[7].toDouble()));
      }
      line = QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
    } else if (name == QLatin1String("OnDelivered") && a.size() == 9) {
      const QByteArray msg = a[3].toByteArray();
      line = QStringLiteral("delivered %1 from %2 to %3 class=%4 pid=%5 rpi=%6 vp=%7 %8")
                 .arg(DateText(a[0].toDouble()), Escaped(a[1].toString().toLatin1()),
                      Escaped(a[2].toString().toLatin1()))
                 .arg(a[5].toInt())
                 .arg(a[6].toInt())
                 .arg(a[7].toInt())
                 .arg(a[8].toDouble())
                 .arg(a[4].toBool()
                          ? QStringLiteral("hex=") + QString::fromLatin1(msg.toHex().toUpper())
                          : QStringLiteral("text=\"%1\"").arg(Escaped(msg)));
    } else if (name == QLatin1String("OnDeliveredNotification") && a.size() == 8) {
      line = QStringLiteral(
                 "notification %1 from %2 to %3 status=%4 reason=%5 pid=%6 delivered-at=%7 "
                 "text=\"%8\"")
                 .arg(DateText(a[0].toDouble()), Escaped(a[1].toString().toLatin1()),
                      Escaped(a[2].toString().toLatin1()))
                 .arg(a[5].toInt())
                 .arg(a[6].toInt())
                 .arg(a[4].toInt())
                 .arg(DateText(a[7].toDouble()), Escaped(a[3].toByteArray()));
    } else {
      line = QStringLiteral("active-changed");
    }
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
  }

  void OwnerChanged(const QString& aName, const QString& aOldOwner, const QString& aNewOwner) {
    if (aName != QLatin1String(kBusServiceName)) return;
    if (!owner_.isEmpty() && aOldOwner == owner_) {
      Detach();
      if (once_) {
        Notice(QStringLiteral("Qorvel went away"));
        QCoreApplication::exit(1);
        return;
      }
      Notice(QStringLiteral("Qorvel went away; waiting for it to come back"));
    }
    if (owner_.isEmpty() && !aNewOwner.isEmpty()) {
      if (const QString why = Attach(); why.isEmpty()) {
        Notice(QStringLiteral("Qorvel is back; watching again"));
      } else {
        Notice(QStringLiteral("cannot watch the new Qorvel (%1); waiting for another").arg(why));
      }
    }
  }

 private:
  void Listen(bool aOn) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (const char* name : kEventNames) {
      if (aOn) {
        bus.connect(owner_, path_, QLatin1String(kEventsInterface), QLatin1String(name), this,
                    SLOT(Event(QDBusMessage)));
      } else {
        bus.disconnect(owner_, path_, QLatin1String(kEventsInterface), QLatin1String(name), this,
                       SLOT(Event(QDBusMessage)));
      }
    }
  }
  void Detach() {
    Listen(false);
    owner_.clear();
    path_.clear();
  }
  static void Notice(const QString& aText) {
    std::fprintf(stderr, "qorvelctl: %s\n", aText.toLocal8Bit().constData());
    std::fflush(stderr);
  }

  bool json_;
  bool once_;
  QString owner_;  // unique name of the Qorvel watched; empty while waiting
  QString path_;
};

int Watch(const QStringList& aArgs) {
  bool json = false;
  bool once = false;
  for (const QString& a : aArgs) {
    if (a == QLatin1String("--json")) {
      json = true;
    } else if (a == QLatin1String("--once")) {
      once = true;
    } else {
      Usage(QStringLiteral("unknown argument ") + a);
    }
  }
  TWatcher watcher(json, once);
  if (const QString why = watcher.Attach(); !why.isEmpty()) Fail(why);
  std::signal(SIGINT, [](int) { stopRequested = 1; });
  std::signal(SIGTERM, [](int) { stopRequested = 1; });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [] {
    if (stopRequested) QCoreApplication::quit();
  });
  poll.start(100);
  return QCoreApplication::exec();
}

// Qt numbers these types in a registry that it creates when the first of
// them is used and destroys at exit, in the reverse order of creation. Left
// to the bus's thread, the registry came after that thread and went before
// it: a message the thread read while the program ended (the bus closing)
// found its types gone, and Qt printed "Trying to construct an instance of an
// invalid type" after qorvelctl's own last line.
void RegisterBusTypesFirst() {
  for (QMetaType type :
       {QMetaType::fromType<QDBusMessage>(), QMetaType::fromType<QDBusArgument>(),
        QMetaType::fromType<QDBusVariant>(), QMetaType::fromType<QDBusObjectPath>(),
        QMetaType::fromType<QDBusSignature>(), QMetaType::fromType<QDBusUnixFileDescriptor>()}) {
    static_cast<void>(type.id());
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterBusTypesFirst();
  QCoreApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments().mid(1);
  if (args.isEmpty()) Usage(QStringLiteral("no command"));
  // Only a leading --help asks for help: after a command's first argument,
  // "-h" may be the text of a message.
  auto asksHelp = [&](qsizetype aIndex) {
    return aIndex < args.size() &&
           (args[aIndex] == QLatin1String("--help") || args[aIndex] == QLatin1String("-h"));
  };
  if (asksHelp(0) || asksHelp(1)) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  // Reading a log needs no bus.
  if (args.first() == QLatin1String("decode")) return Decode(args.mid(1));
  if (!QDBusConnection::sessionBus().isConnected()) {
    Fail(QStringLiteral("no session bus: ") + QDBusConnection::sessionBus().lastError().message());
  }
  const QString command = args.takeFirst();
  if (command == QLatin1String("submit")) return Submit(args);
  if (command == QLatin1String("send")) return Send(args);
  if (command == QLatin1String("history")) return History(args);
  if (command == QLatin1String("show")) return Show(args);
  if (command == QLatin1String("watch")) return Watch(args);
  if (command == QLatin1String("connect")) return Switch(true, args);
  if (command == QLatin1String("disconnect")) return Switch(false, args);
  if (command == QLatin1String("test")) return Test(args);
  if (!args.isEmpty()) Usage(command + QStringLiteral(" takes no arguments"));
  if (command == QLatin1String("status")) return Status();
  Usage(QStringLiteral("unknown command ") + command);
}

#include "qorvelctl_main.moc"
