// send --wait-delivery: after the SMSC has taken the messages, wait for their
// notifications as the history records them. The signal tells of a status as
// soon as it is written; Story, asked at the end, covers any signal that went
// astray and gives the reasons of those not delivered.
#include <unistd.h>

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <map>

#include "automation/bus_names.h"
#include "tools/qorvelctl/history.h"
#include "tools/qorvelctl/message_input.h"
#include "tools/qorvelctl/qorvelctl.h"

namespace qorvelctl {

namespace {

volatile std::sig_atomic_t waitInterrupted = 0;


}  // namespace

class TDeliveryWatch::TListener : public QObject {
  Q_OBJECT

 public:
  // Every final status heard of, by id: the ids of a message may be learnt
  // after its status, since the reply and the signal travel apart.
  std::map<qint64, QString> Final;
  QEventLoop* Loop = nullptr;

 public slots:
  void StatusChanged(qlonglong aId, const QString& aStatus) {
    if (!IsFinal(aStatus)) return;
    Final[aId] = aStatus;
    if (Loop) Loop->quit();
  }
};

TDeliveryWatch::TDeliveryWatch() : listener_(std::make_unique<TListener>()) {
  // Naming the service, QtDBus takes the signal only from whoever owns
  // Qorvel.AutoEMI: no other client can feed us statuses.
  if (!QDBusConnection::sessionBus().connect(
          QLatin1String(qorvel::kBusServiceName), QLatin1String(qorvel::kHistoryPath),
          QLatin1String(qorvel::kHistoryInterface), QStringLiteral("StatusChanged"),
          listener_.get(), SLOT(StatusChanged(qlonglong, QString)))) {
    Fail(QStringLiteral("cannot listen for the history's news: ") +
         QDBusConnection::sessionBus().lastError().message());
  }
}

TDeliveryWatch::~TDeliveryWatch() = default;

int TDeliveryWatch::Wait(const std::vector<TSentMessage>& aSent, int aSeconds, bool aJson) {
  auto unsettled = [&] {
    int n = 0;
    for (const TSentMessage& m : aSent) n += m.Id != 0 && !listener_->Final.count(m.Id) ? 1 : 0;
    return n;
  };
  bool untraceable = false;
  for (const TSentMessage& m : aSent) untraceable = untraceable || m.Id == 0;
  if (untraceable) {
    std::fputs(
        "qorvelctl: Qorvel keeps no history, so the delivery of its messages cannot be "
        "followed\n",
        stderr);
  }

  waitInterrupted = 0;
  std::signal(SIGINT, [](int) { waitInterrupted = 1; });
  std::signal(SIGTERM, [](int) { waitInterrupted = 1; });
  QElapsedTimer clock;
  clock.start();
  const qint64 deadline = static_cast<qint64>(aSeconds) * 1000;
  if (unsettled() > 0 && aSeconds > 0 && isatty(STDERR_FILENO)) {
    std::fprintf(stderr, "qorvelctl: waiting up to %d s for the delivery of %d messages\n",
                 aSeconds, unsettled());
  }
  QEventLoop loop;
  listener_->Loop = &loop;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &loop, &QEventLoop::quit);
  tick.start(100);
  while (unsettled() > 0 && clock.elapsed() < deadline && !waitInterrupted) loop.exec();
  listener_->Loop = nullptr;
  const double waited = static_cast<double>(clock.elapsed()) / 1000.0;

  int delivered = 0, notDelivered = 0, pending = 0;
  QByteArray out;
  for (const TSentMessage& m : aSent) {
    QString status = m.Id != 0 && listener_->Final.count(m.Id) ? listener_->Final[m.Id] : QString();
    QString why;
    // The reasons of the failures, and what the signal may not have told.
    if (m.Id != 0 && status != QLatin1String("delivered")) {
      QString error;
      if (std::optional<THistoryRow> row = StoryRow(m.Id, &error)) {
        status = row->Status;
        why = row->Error;
      } else if (status.isEmpty()) {
        why = error;
      }
    }
    QString outcome;
    if (status == QLatin1String("delivered")) {
      outcome = QStringLiteral("delivered");
      ++delivered;
    } else if (IsFinal(status)) {
      outcome = QStringLiteral("not delivered");
      ++notDelivered;
    } else {
      outcome = QStringLiteral("pending");
      ++pending;
    }
    if (aJson) {
      out += "{\"line\":" + QByteArray::number(m.Line) +
             ",\"number\":" + JsonString(QString::fromLatin1(m.Number));
      if (m.Id != 0) out += ",\"id\":" + QByteArray::number(m.Id);
      out += ",\"delivery\":" + JsonString(outcome);
      if (!status.isEmpty()) out += ",\"status\":" + JsonString(status);
      if (!why.isEmpty()) out += ",\"reason\":" + JsonString(why);
      out += "}\n";
    } else if (outcome != QLatin1String("delivered")) {
      QString line =
          QStringLiteral("line %1 (%2): %3")
              .arg(m.Line)
              .arg(Escaped(m.Number),
                   outcome == QLatin1String("pending") ? QStringLiteral("still pending") : outcome);
      if (!status.isEmpty() && status != outcome) line += QStringLiteral(", ") + status;
      if (!why.isEmpty()) line += QStringLiteral(": ") + Escaped(why.toLatin1());
      out += line.toLocal8Bit() + '\n';
    }
  }
  if (aJson) {
    out += "{\"delivered\":" + QByteArray::number(delivered) +
           ",\"not_delivered\":" + QByteArray::number(notDelivered) +
           ",\"pending\":" + QByteArray::number(pending) +
           ",\"waited\":" + QByteArray::number(waited, 'f', 3) + "}\n";
  } else {
    out += QStringLiteral("delivered %1, not delivered %2, still pending %3 after %4 s\n")
               .arg(delivered)
               .arg(notDelivered)
               .arg(pending)
               .arg(waited, 0, 'f', 1)
               .toLocal8Bit();
  }
  std::fwrite(out.constData(), 1, static_cast<std::size_t>(out.size()), stdout);
  std::fflush(stdout);
  return delivered == static_cast<int>(aSent.size()) ? 0 : kNotAllDelivered;
}

}  // namespace qorvelctl

#include "delivery.moc"
