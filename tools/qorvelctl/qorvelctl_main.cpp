// qorvelctl: drives a running Qorvel over the session bus, or starts one
// through bus activation when it is installed and not running.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
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
    "  test                    test the connection: prints \"alive\" (exit 0) or\n"
    "                          \"not alive\" (exit 2)\n"
    "  status                  print whether Qorvel is connected and its own number\n"
    "  connect                 ask Qorvel to connect and wait until it is\n"
    "  disconnect              ask Qorvel to disconnect and wait until it is\n"
    "  watch                   print each event as it comes, one line each, until\n"
    "                          interrupted\n"
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
    "Options of connect and disconnect:\n"
    "  --wait SECONDS          how long to wait for the change (default 20; 0: do\n"
    "                          not wait)\n"
    "Options of watch, decode, history and show:\n"
    "  --json                  one JSON object per line\n"
    "  --help                  this text\n"
    "\n"
    "NUMBER is 1 to 16 digits after an optional + (international) or # (taken as\n"
    "it is). TEXT is sent as the octets of the argument, unchanged: at most 160,\n"
    "or 140 of 8-bit data. Dates print as local time. Like every client,\n"
    "qorvelctl's object asks Qorvel to connect. Errors go to stderr with exit\n"
    "status 1.\n"
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

QDBusMessage Call(const QString& aPath, const char* aInterface, const char* aMember,
                  const QVariantList& aArgs) {
  QDBusMessage m = QDBusMessage::createMethodCall(
      QLatin1String(kBusServiceName), aPath, QLatin1String(aInterface), QLatin1String(aMember));
  m.setArguments(aArgs);
  QDBusMessage reply = QDBusConnection::sessionBus().call(m, QDBus::Block, kCallTimeout);
  if (reply.type() == QDBusMessage::ErrorMessage) Fail(reply.errorMessage());
  return reply;
}

QString CreateObject() {
  QDBusMessage r = Call(QLatin1String(kFactoryPath), kFactoryInterface, "CreateInstance");
  return r.arguments().value(0).value<QDBusObjectPath>().path();
}

QVariant Property(const QString& aPath, const char* aName) {
  QDBusMessage r =
      Call(aPath, kProperties, "Get", {QLatin1String(kObjectInterface), QLatin1String(aName)});
  return r.arguments().value(0).value<QDBusVariant>().variant();
}

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

bool TakeSubmitOption(const QStringList& aArgs, qsizetype& aIndex, TSubmitOptions& aOptions) {
  const QString& a = aArgs[aIndex];
  auto value = [&]() {
    if (aIndex + 1 >= aArgs.size()) Usage(a + QStringLiteral(" needs a value"));
    return aArgs[++aIndex];
  };
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
  QStringList positional;
  for (qsizetype i = 0; i < aArgs.size(); ++i) {
    const QString& a = aArgs[i];
    if (a == QLatin1String("--hex")) {
      if (i + 1 >= aArgs.size()) Usage(a + QStringLiteral(" needs a value"));
      std::optional<QByteArray> data = FromHex(aArgs[++i].toLatin1());
      if (!data) Usage(QStringLiteral("--hex takes pairs of hex digits"));
      octets = *data;
      binary = true;
    } else if (TakeSubmitOption(aArgs, i, options)) {
      continue;
    } else if (a.startsWith(QLatin1String("--"))) {
      Usage(QStringLiteral("unknown option ") + a);
    } else {
      positional << a;
    }
  }
  if (positional.size() != (binary ? 1 : 2)) {
    Usage(binary ? QStringLiteral("submit --hex takes NUMBER only")
                 : QStringLiteral("submit takes NUMBER and TEXT"));
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
  std::printf("%s\n", DateText(r.arguments().value(0).toDouble()).toLocal8Bit().constData());
  return 0;
}

int Switch(bool aActive, const QStringList& aArgs) {
  int waitSeconds = 20;
  for (qsizetype i = 0; i < aArgs.size(); ++i) {
    if (aArgs[i] == QLatin1String("--wait") && i + 1 < aArgs.size()) {
      waitSeconds = ToNumber(aArgs[++i], QStringLiteral("--wait"), 0, 3600);
    } else {
      Usage(QStringLiteral("unknown argument ") + aArgs[i]);
    }
  }
  const QString path = CreateObject();
  Call(path, kProperties, "Set",
       {QLatin1String(kObjectInterface), QStringLiteral("Active"),
        QVariant::fromValue(QDBusVariant(aActive))});
  QElapsedTimer timer;
  timer.start();
  while (waitSeconds > 0 && Property(path, "Active").toBool() != aActive) {
    if (timer.elapsed() > waitSeconds * 1000) {
      Fail(aActive ? QStringLiteral("not connected after %1 s").arg(waitSeconds)
                   : QStringLiteral("still connected after %1 s").arg(waitSeconds));
    }
    QThread::msleep(100);
  }
  return 0;
}

volatile std::sig_atomic_t stopRequested = 0;

class TWatcher : public QObject {
  Q_OBJECT
 public:
  explicit TWatcher(bool aJson) : json_(aJson) {}
 public slots:
  void Event(const QDBusMessage& aSignal) {
    const QVariantList a = aSignal.arguments();
    const QString name = aSignal.member();
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

 private:
  bool json_;
};

int Watch(const QStringList& aArgs) {
  bool json = false;
  for (const QString& a : aArgs) {
    if (a == QLatin1String("--json")) {
      json = true;
    } else {
      Usage(QStringLiteral("unknown argument ") + a);
    }
  }
  const QString path = CreateObject();
  TWatcher watcher(json);
  for (const char* name : {"OnDelivered", "OnActiveChanged", "OnDeliveredNotification"}) {
    QDBusConnection::sessionBus().connect(QString(), path, QLatin1String(kEventsInterface),
                                          QLatin1String(name), &watcher, SLOT(Event(QDBusMessage)));
  }
  Call(path, kObjectInterface, "Advise");
  std::signal(SIGINT, [](int) { stopRequested = 1; });
  std::signal(SIGTERM, [](int) { stopRequested = 1; });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [] {
    if (stopRequested) QCoreApplication::quit();
  });
  poll.start(100);
  QCoreApplication::exec();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments().mid(1);
  if (args.isEmpty()) Usage(QStringLiteral("no command"));
  if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
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
  if (!args.isEmpty()) Usage(command + QStringLiteral(" takes no arguments"));
  if (command == QLatin1String("test")) {
    const QString path = CreateObject();
    bool alive = Call(path, kObjectInterface, "TestConnection").arguments().value(0).toBool();
    std::puts(alive ? "alive" : "not alive");
    return alive ? 0 : 2;
  }
  if (command == QLatin1String("status")) {
    const QString path = CreateObject();
    QDBusMessage r = Call(path, kProperties, "GetAll", {QLatin1String(kObjectInterface)});
    const QVariantMap all = qdbus_cast<QVariantMap>(r.arguments().value(0));
    std::printf("connected: %s\nown number: %s\n",
                all.value(QStringLiteral("Active")).toBool() ? "yes" : "no",
                all.value(QStringLiteral("PhoneNumber")).toString().toLocal8Bit().constData());
    // Absent from a Qorvel older than these.
    if (all.contains(QStringLiteral("LinkState")))
      std::printf("link: %s\n",
                  all.value(QStringLiteral("LinkState")).toString().toLocal8Bit().constData());
    if (all.contains(QStringLiteral("Counts"))) {
      const QVariantMap counts = qdbus_cast<QVariantMap>(all.value(QStringLiteral("Counts")));
      std::printf("sent: %lld\nfailed: %lld\nreceived: %lld\nnotifications: %lld\nqueued: %lld\n",
                  counts.value(QStringLiteral("sent")).toLongLong(),
                  counts.value(QStringLiteral("failed")).toLongLong(),
                  counts.value(QStringLiteral("received")).toLongLong(),
                  counts.value(QStringLiteral("notifications")).toLongLong(),
                  counts.value(QStringLiteral("queued")).toLongLong());
    }
    return 0;
  }
  Usage(QStringLiteral("unknown command ") + command);
}

#include "qorvelctl_main.moc"
