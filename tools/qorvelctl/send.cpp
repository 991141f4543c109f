// qorvelctl send: many messages over one bus connection and one object. A
// window of Submit calls stays in flight so that Qorvel's queue never runs dry
// between an answer and the next call.
#include <sys/ioctl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "automation/bus_names.h"
#include "tools/qorvelctl/history.h"
#include "tools/qorvelctl/message_input.h"
#include "tools/qorvelctl/qorvelctl.h"

namespace qorvelctl {

QByteArray JsonString(const QString& aText) {
  QString text = QStringLiteral("\"");
  for (QChar c : aText) {
    if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
      text += QLatin1Char('\\');
      text += c;
    } else if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
      text += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    } else {
      text += c;
    }
  }
  text += QLatin1Char('"');
  return text.toUtf8();
}

namespace {

using qorvel::kErrorUnexpected;
using qorvel::kObjectInterface;

constexpr int kDefaultWindow = 10;
constexpr int kMaxWindow = 1000;
constexpr int kMaxWaitDelivery = 7 * 86400;
// The progress is drawn at most this often, and interrupts are looked at.
constexpr int kTickMs = 100;

volatile std::sig_atomic_t interrupts = 0;

void Interrupted(int) {
  interrupts = interrupts + 1;
}

// Qorvel's error texts carry one character per octet, as the SMSC sent them:
// a terminal must not take them for control sequences.
QString Printable(const QString& aText) {
  QString text;
  for (QChar c : aText) {
    if (c.unicode() < 0x20 || c.unicode() == 0x7F) {
      text += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    } else {
      text += c;
    }
  }
  return text;
}


QString Duration(double aSeconds) {
  const auto total = static_cast<qint64>(aSeconds + 0.5);
  if (total >= 3600) {
    return QStringLiteral("%1:%2:%3")
        .arg(total / 3600)
        .arg(total / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(total % 60, 2, 10, QLatin1Char('0'));
  }
  return QStringLiteral("%1:%2").arg(total / 60).arg(total % 60, 2, 10, QLatin1Char('0'));
}

int Columns(FILE* aTerminal) {
  winsize size{};
  if (ioctl(fileno(aTerminal), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

QByteArray ReadInput(const QString& aName) {
  const bool standardInput = aName == QLatin1String("-");
  const QString shown = standardInput ? QStringLiteral("standard input") : aName;
  QFile file;
  bool opened;
  if (standardInput) {
    opened = file.open(stdin, QIODevice::ReadOnly);
  } else {
    if (QFileInfo(aName).isDir()) Fail(aName + QStringLiteral(" is a folder, not a file"));
    file.setFileName(aName);
    opened = file.open(QIODevice::ReadOnly);
  }
  if (!opened) Fail(QStringLiteral("cannot read %1: %2").arg(shown, file.errorString()));
  QByteArray data = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    Fail(QStringLiteral("cannot read %1: %2").arg(shown, file.errorString()));
  }
  return data;
}

struct TOutcome {
  bool Done = false;
  bool Sent = false;
  bool Abandoned = false;  // not known to have failed: counted apart
  double SCTS = 0;
  qint64 Id = 0;  // in the history
  QString Error;
};

class TSender : public QObject {
  Q_OBJECT

 public:
  TSender(std::vector<TMessageLine> aLines, bool aBinary, const TSubmitOptions& aOptions,
          int aWindow, bool aJson)
      : lines_(std::move(aLines)),
        outcomes_(lines_.size()),
        binary_(aBinary),
        options_(aOptions),
        window_(aWindow),
        json_(aJson) {}

  // Sends every line through the object at aPath, or until stopped; the exit
  // status.
  int Run(const QString& aPath) {
    path_ = aPath;
    bar_ = isatty(STDERR_FILENO) ? stderr : isatty(STDOUT_FILENO) ? stdout : nullptr;
    std::signal(SIGINT, Interrupted);
    std::signal(SIGTERM, Interrupted);
    connect(&tick_, &QTimer::timeout, this, &TSender::Tick);
    tick_.start(kTickMs);
    clock_.start();
    Fill();
    Report();
    FinishIfDone();
    if (!finished_) loop_.exec();
    tick_.stop();
    EraseBar();
    Summary();
    return failed_ == 0 && abandoned_ == 0 && next_ == lines_.size() ? 0 : 1;
  }

  std::vector<TSentMessage> Accepted() const {
    std::vector<TSentMessage> sent;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
      if (outcomes_[i].Sent) sent.push_back({lines_[i].Line, lines_[i].Number, outcomes_[i].Id});
    }
    return sent;
  }
  bool WasInterrupted() const { return interrupted_; }

 private:
  void Fill() {
    while (!stopping_ && next_ < lines_.size() && inFlight_ < window_) {
      const std::size_t index = next_++;
      const TMessageLine& line = lines_[index];
      if (!line.Problem.isEmpty()) {
        Settle(index, {.Error = line.Problem});
        continue;
      }
      QDBusMessage call = QDBusMessage::createMethodCall(Server(), path_,
                                                         QLatin1String(kObjectInterface),
                                                         QStringLiteral("SubmitWithId"));
      call.setArguments(SubmitArguments(line.Number, line.Octets, binary_, options_));
      auto* watcher = new QDBusPendingCallWatcher(
          QDBusConnection::sessionBus().asyncCall(call, kCallTimeout), this);
      ++inFlight_;
      connect(watcher, &QDBusPendingCallWatcher::finished, this,
              [this, index](QDBusPendingCallWatcher* aWatcher) {
                aWatcher->deleteLater();
                Answered(index, aWatcher->reply());
              });
    }
  }

  void Answered(std::size_t aIndex, const QDBusMessage& aReply) {
    if (left_) return;
    --inFlight_;
    TOutcome outcome;
    if (aReply.type() == QDBusMessage::ReplyMessage && aReply.signature() != QLatin1String("dx")) {
      outcome.Error = QStringLiteral("Qorvel answered SubmitWithId with \"%1\", not \"dx\"")
                          .arg(aReply.signature());
    } else if (aReply.type() == QDBusMessage::ReplyMessage) {
      outcome.Sent = true;
      outcome.SCTS = aReply.arguments().value(0).toDouble();
      outcome.Id = aReply.arguments().value(1).toLongLong();
    } else {
      outcome.Error = aReply.errorMessage().isEmpty() ? aReply.errorName() : aReply.errorMessage();
      // Qorvel's own failure concerns this message alone. Anything else (no
      // Qorvel on the bus, no answer in time, the object gone) would befall
      // every message after it.
      if (aReply.errorName() != QLatin1String(kErrorUnexpected) && !stopping_) {
        stopping_ = true;
        stopReason_ = outcome.Error;
        Notice(QStringLiteral("stopping, no more messages go out: ") + Printable(stopReason_));
      }
    }
    Settle(aIndex, std::move(outcome));
    Fill();
    Report();
    FinishIfDone();
  }

  void Settle(std::size_t aIndex, TOutcome aOutcome) {
    aOutcome.Done = true;
    ++(aOutcome.Sent ? sent_ : aOutcome.Abandoned ? abandoned_ : failed_);
    outcomes_[aIndex] = std::move(aOutcome);
    ++settled_;
  }

  // Writes what is settled, in the order of the lines: an answer that comes
  // early waits for those before it.
  void Report() {
    QByteArray out;
    while (reported_ < next_ && outcomes_[reported_].Done) {
      const TMessageLine& line = lines_[reported_];
      const TOutcome& outcome = outcomes_[reported_];
      ++reported_;
      if (json_) {
        out += "{\"line\":" + QByteArray::number(line.Line) +
               ",\"number\":" + JsonString(QString::fromLatin1(line.Number));
        out += outcome.Sent ? ",\"scts\":" + JsonString(DateText(outcome.SCTS))
                            : ",\"error\":" + JsonString(outcome.Error);
        if (outcome.Id != 0) out += ",\"id\":" + QByteArray::number(outcome.Id);
        out += "}\n";
      } else if (!outcome.Sent) {
        out += QStringLiteral("line %1 (%2): %3\n")
                   .arg(line.Line)
                   .arg(line.Number.isEmpty() ? QStringLiteral("-") : Escaped(line.Number),
                        Printable(outcome.Error))
                   .toLocal8Bit();
      }
    }
    if (out.isEmpty()) return;
    EraseBar();
    std::fwrite(out.constData(), 1, static_cast<std::size_t>(out.size()), stdout);
    std::fflush(stdout);
  }

  void Tick() {
    const int seen = interrupts;
    if (seen >= 1 && !interrupted_) {
      interrupted_ = true;
      stopping_ = true;
      if (inFlight_ > 0) {
        Notice(QStringLiteral("interrupted, no more messages go out; waiting for the answers to "
                              "the %1 that Qorvel holds (interrupt again to leave without them)")
                   .arg(inFlight_));
      }
    }
    if (seen >= 2 && inFlight_ > 0) Abandon();
    FinishIfDone();
    DrawBar();
  }

  // Leaving the bus takes the object with it, and Qorvel drops the messages
  // it still holds for it; only the one it may be exchanging with the SMSC at
  // that moment can still go out, unreported.
  void Abandon() {
    left_ = true;
    for (std::size_t i = reported_; i < next_; ++i) {
      if (outcomes_[i].Done) continue;
      Settle(i, {.Abandoned = true,
                 .Error = QStringLiteral("no answer, left on the second interrupt: not sent, "
                                         "unless it was already on its way to the SMSC")});
    }
    inFlight_ = 0;
    Report();
  }

  void FinishIfDone() {
    if (finished_ || inFlight_ > 0 || (!stopping_ && next_ < lines_.size())) return;
    finished_ = true;
    elapsedMs_ = clock_.elapsed();
    loop_.quit();
  }

  void Notice(const QString& aText) {
    EraseBar();
    std::fprintf(stderr, "qorvelctl: %s\n", aText.toLocal8Bit().constData());
    std::fflush(stderr);
  }

  void DrawBar() {
    if (!bar_ || finished_) return;
    const std::size_t total = lines_.size();
    const double seconds = static_cast<double>(clock_.elapsed()) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(settled_) / seconds : 0;
    QString counts =
        QStringLiteral(" %1/%2 %3% %4/s ETA %5")
            .arg(settled_)
            .arg(total)
            .arg(total > 0 ? settled_ * 100 / total : 100)
            .arg(rate, 0, 'f', 1)
            .arg(settled_ > 0 && rate > 0 ? Duration(static_cast<double>(total - settled_) / rate)
                                          : QStringLiteral("-:--"));
    if (failed_ > 0) counts += QStringLiteral(" failed %1").arg(failed_);
    if (stopping_ && inFlight_ > 0) counts += QStringLiteral(" waiting for %1").arg(inFlight_);
    // The last column stays free: a cursor there would wrap on some terminals.
    const int columns = Columns(bar_) - 1;
    const int width = columns - static_cast<int>(counts.size()) - 2;
    QString line;
    if (width >= 10) {
      const auto filled = static_cast<int>(total > 0 ? width * settled_ / total : width);
      line = QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
             QString(width - filled, QLatin1Char('.')) + QLatin1Char(']');
    }
    line = (line + counts).left(columns);
    std::fprintf(bar_, "\r%s\033[K", line.toLocal8Bit().constData());
    std::fflush(bar_);
    barShown_ = true;
  }

  void EraseBar() {
    if (!barShown_) return;
    std::fputs("\r\033[K", bar_);
    std::fflush(bar_);
    barShown_ = false;
  }

  void Summary() {
    const double seconds = static_cast<double>(elapsedMs_) / 1000.0;
    const double rate = seconds > 0 ? sent_ / seconds : 0;
    const std::size_t unsent = lines_.size() - next_;
    QByteArray out;
    if (json_) {
      out = "{\"sent\":" + QByteArray::number(sent_) +
            ",\"failed\":" + QByteArray::number(failed_) +
            ",\"rate\":" + QByteArray::number(rate, 'f', 1) +
            ",\"elapsed\":" + QByteArray::number(seconds, 'f', 3);
      if (abandoned_ > 0) out += ",\"abandoned\":" + QByteArray::number(abandoned_);
      if (unsent > 0) out += ",\"unsent\":" + QByteArray::number(static_cast<qulonglong>(unsent));
      if (interrupted_) out += ",\"interrupted\":true";
      if (!stopReason_.isEmpty()) out += ",\"stopped\":" + JsonString(stopReason_);
      out += "}\n";
    } else {
      QString text = QStringLiteral("sent %1, failed %2").arg(sent_).arg(failed_);
      if (abandoned_ > 0) text += QStringLiteral(", abandoned %1").arg(abandoned_);
      if (unsent > 0) text += QStringLiteral(", not sent %1").arg(unsent);
      text += QStringLiteral(" of %1 in %2 s (%3 a second)")
                  .arg(lines_.size())
                  .arg(seconds, 0, 'f', 3)
                  .arg(rate, 0, 'f', 1);
      if (interrupted_) text += QStringLiteral("; interrupted");
      if (!stopReason_.isEmpty()) text += QStringLiteral("; stopped: ") + Printable(stopReason_);
      out = text.toLocal8Bit() + '\n';
    }
    std::fwrite(out.constData(), 1, static_cast<std::size_t>(out.size()), stdout);
    std::fflush(stdout);
  }

  std::vector<TMessageLine> lines_;
  std::vector<TOutcome> outcomes_;  // one for each line, in the same order
  bool binary_;
  TSubmitOptions options_;
  int window_;
  bool json_;
  QString path_;
  std::size_t next_ = 0;      // the first line not taken yet
  std::size_t reported_ = 0;  // the first line not written yet
  std::size_t settled_ = 0;
  int inFlight_ = 0;
  int sent_ = 0;
  int failed_ = 0;
  int abandoned_ = 0;
  bool stopping_ = false;
  bool interrupted_ = false;
  bool left_ = false;  // the calls in flight were abandoned
  bool finished_ = false;
  QString stopReason_;
  FILE* bar_ = nullptr;  // the terminal the progress goes to; none when not on one
  bool barShown_ = false;
  QElapsedTimer clock_;
  qint64 elapsedMs_ = 0;
  QTimer tick_;
  QEventLoop loop_;
};

}  // namespace

int Send(const QStringList& aArgs) {
  bool hex = false;
  bool json = false;
  int window = kDefaultWindow;
  int waitDelivery = -1;  // seconds; -1 no wait
  TSubmitOptions options;
  QStringList operands;
  const QStringList args = SplitAtOptionsEnd(aArgs, operands);
  QStringList positional;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QLatin1String("--hex")) {
      hex = true;
    } else if (a == QLatin1String("--json")) {
      json = true;
    } else if (a == QLatin1String("--window")) {
      window = ToNumber(OptionValue(args, i), a, 1, kMaxWindow);
    } else if (a == QLatin1String("--wait-delivery")) {
      waitDelivery = ToNumber(OptionValue(args, i), a, 0, kMaxWaitDelivery);
    } else if (TakeSubmitOption(args, i, options)) {
      continue;
    } else if (a.startsWith(QLatin1String("--"))) {
      Usage(QStringLiteral("unknown option ") + a);
    } else {
      positional << a;
    }
  }
  positional << operands;
  if (positional.size() != 1) Usage(QStringLiteral("send takes FILE, or - for standard input"));
  std::vector<TMessageLine> lines = ReadMessageLines(ReadInput(positional[0]), hex);
  // Waiting for delivery asks for the notifications, unless told which.
  if (waitDelivery >= 0 && options.NT == 0) options.NT = 1 | 2;
  // Nothing to send needs no object, and so no connection to the SMSC.
  const QString path = lines.empty() ? QString() : CreateObject();
  std::optional<TDeliveryWatch> watch;
  if (waitDelivery >= 0) watch.emplace();
  TSender sender(std::move(lines), hex, options, window, json);
  const int sent = sender.Run(path);
  if (!watch) return sent;
  const int delivered =
      watch->Wait(sender.Accepted(), sender.WasInterrupted() ? 0 : waitDelivery, json);
  return sent != 0 ? sent : delivered;
}

}  // namespace qorvelctl

#include "send.moc"
