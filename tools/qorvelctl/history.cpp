// qorvelctl history and show: the messages Qorvel keeps, read through
// Qorvel.IHistory, which any client may read.
#include "tools/qorvelctl/history.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QVariantMap>
#include <cstdio>

#include "automation/bus_names.h"
#include "tools/qorvelctl/message_input.h"
#include "tools/qorvelctl/qorvelctl.h"

namespace qorvelctl {

using qorvel::kBusServiceName;
using qorvel::kHistoryInterface;
using qorvel::kHistoryPath;

namespace {

constexpr char kStorySignature[] = "(xxsssaybsxds)a{sv}a(xssddisay)";
constexpr int kDefaultLimit = 50;
constexpr int kMaxLimit = 10000;
// What a table shows of a text; show prints all of it.
constexpr qsizetype kTextColumn = 40;

struct TEvent {
  qint64 Time = 0;
  QString Kind;
  QString Status;
  double SCTS = 0;
  double DSCTS = 0;
  int Reason = -1;
  QString Text;
  QByteArray Message;
};

const QDBusArgument& operator>>(const QDBusArgument& aArg, TEvent& aEvent) {
  aArg.beginStructure();
  aArg >> aEvent.Time >> aEvent.Kind >> aEvent.Status >> aEvent.SCTS >> aEvent.DSCTS >>
      aEvent.Reason >> aEvent.Text >> aEvent.Message;
  aArg.endStructure();
  return aArg;
}

template <class T>
std::vector<T> ListOf(const QVariant& aValue) {
  std::vector<T> list;
  const QDBusArgument arg = aValue.value<QDBusArgument>();
  arg.beginArray();
  while (!arg.atEnd()) {
    T item;
    arg >> item;
    list.push_back(std::move(item));
  }
  arg.endArray();
  return list;
}

QDBusMessage HistoryCall(const char* aMember, const QVariantList& aArgs) {
  QDBusMessage m =
      QDBusMessage::createMethodCall(QLatin1String(kBusServiceName), QLatin1String(kHistoryPath),
                                     QLatin1String(kHistoryInterface), QLatin1String(aMember));
  m.setArguments(aArgs);
  return QDBusConnection::sessionBus().call(m, QDBus::Block, kCallTimeout);
}

QString LocalTime(qint64 aMillis, bool aWithMillis = true) {
  if (aMillis == 0) return QStringLiteral("-");
  return QDateTime::fromMSecsSinceEpoch(aMillis).toString(
      aWithMillis ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                  : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// An OLE date as the table shows it; DateText's ISO form goes to JSON.
QString OleText(double aDays) {
  if (aDays == 0) return QStringLiteral("-");
  return QDateTime(QDate(1899, 12, 30), QTime(0, 0))
      .addMSecs(static_cast<qint64>(aDays * 86400000.0 + (aDays < 0 ? -0.5 : 0.5)))
      .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

// The text for a terminal: data as hex, text with its unprintable octets escaped.
QString Shown(const THistoryRow& aRow, qsizetype aMost = -1) {
  const QString shown =
      aRow.Binary ? QStringLiteral("hex ") + QString::fromLatin1(aRow.Text.toHex().toUpper())
                  : Escaped(aRow.Text);
  if (aMost < 0 || shown.size() <= aMost) return shown;
  return shown.left(aMost - 3) + QStringLiteral("...");
}

QJsonObject RowJson(const THistoryRow& aRow) {
  QJsonObject o{{QStringLiteral("id"), aRow.Id},
                {QStringLiteral("time"),
                 QDateTime::fromMSecsSinceEpoch(aRow.Time).toString(Qt::ISODateWithMs)},
                {QStringLiteral("direction"), aRow.Direction},
                {QStringLiteral("source"), aRow.Source},
                {QStringLiteral("number"), aRow.Number},
                {QStringLiteral("text"), QString::fromLatin1(aRow.Text)},
                {QStringLiteral("binary"), aRow.Binary},
                {QStringLiteral("status"), aRow.Status}};
  if (aRow.Binary)
    o.insert(QStringLiteral("hex"), QString::fromLatin1(aRow.Text.toHex().toUpper()));
  if (aRow.StatusTime != 0) {
    o.insert(QStringLiteral("status_time"),
             QDateTime::fromMSecsSinceEpoch(aRow.StatusTime).toString(Qt::ISODateWithMs));
  }
  if (aRow.SCTS != 0) o.insert(QStringLiteral("scts"), DateText(aRow.SCTS));
  if (!aRow.Error.isEmpty()) o.insert(QStringLiteral("error"), aRow.Error);
  return o;
}

void PrintJson(const QJsonObject& aObject) {
  std::printf("%s\n", QJsonDocument(aObject).toJson(QJsonDocument::Compact).constData());
}

// --since: an ISO date or date-time (local unless it says otherwise), or a
// span ago such as 30m, 1h, 2d; ms since 1970 UTC.
qint64 SinceMillis(const QString& aText) {
  static const QRegularExpression ago(QStringLiteral("^([0-9]{1,7})([smhdw])$"));
  if (const QRegularExpressionMatch m = ago.match(aText); m.hasMatch()) {
    const qint64 count = m.captured(1).toLongLong();
    const qint64 unit = QStringLiteral("smhdw").indexOf(m.captured(2));
    constexpr qint64 kSeconds[] = {1, 60, 3600, 86400, 7 * 86400};
    return QDateTime::currentMSecsSinceEpoch() - count * kSeconds[unit] * 1000;
  }
  QString iso = aText;
  if (iso.size() > 10 && iso[10] == QLatin1Char(' ')) iso[10] = QLatin1Char('T');
  QDateTime t = QDateTime::fromString(iso, Qt::ISODateWithMs);
  if (!t.isValid()) {
    const QDate day = QDate::fromString(iso, Qt::ISODate);
    if (day.isValid()) t = day.startOfDay();
  }
  if (!t.isValid()) {
    Usage(QStringLiteral("--since takes a date-time such as 2024-05-02T10:15 or a span ago "
                         "such as 30m, 1h, 2d; not ") +
          aText);
  }
  if (t.toMSecsSinceEpoch() <= 0) Usage(QStringLiteral("--since lies before 1970: ") + aText);
  return t.toMSecsSinceEpoch();
}

// --status: the history's words, with not-delivered as --notify spells it.
QString StatusArgument(const QString& aText) {
  static const QStringList known = {QStringLiteral("submitted"), QStringLiteral("accepted"),
                                    QStringLiteral("failed"),    QStringLiteral("buffered"),
                                    QStringLiteral("delivered"), QStringLiteral("not delivered"),
                                    QStringLiteral("received"),  QStringLiteral("unmatched")};
  const QString status =
      aText == QLatin1String("not-delivered") ? QStringLiteral("not delivered") : aText;
  if (!known.contains(status)) {
    Usage(QStringLiteral("--status knows %1; not %2")
              .arg(known.join(QStringLiteral(", "))
                       .replace(QLatin1String("not delivered"), QLatin1String("not-delivered")),
                   aText));
  }
  return status;
}

void PrintTable(const std::vector<THistoryRow>& aRows) {
  const QStringList header = {QStringLiteral("ID"),     QStringLiteral("TIME"),
                              QStringLiteral("DIR"),    QStringLiteral("NUMBER"),
                              QStringLiteral("STATUS"), QStringLiteral("SCTS"),
                              QStringLiteral("TEXT")};
  std::vector<QStringList> lines{header};
  for (const THistoryRow& r : aRows) {
    lines.push_back({QString::number(r.Id), LocalTime(r.Time, false), r.Direction,
                     Escaped(r.Number.toLatin1()), r.Status, OleText(r.SCTS),
                     Shown(r, kTextColumn)});
  }
  std::vector<qsizetype> width(header.size(), 0);
  for (const QStringList& line : lines) {
    for (qsizetype i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  for (const QStringList& line : lines) {
    QString text;
    for (qsizetype i = 0; i < line.size(); ++i) {
      text += i + 1 == line.size() ? line[i] : line[i].leftJustified(width[i] + 2);
    }
    std::printf("%s\n", text.toLocal8Bit().constData());
  }
}

}  // namespace

const QDBusArgument& operator>>(const QDBusArgument& aArg, THistoryRow& aRow) {
  aArg.beginStructure();
  aArg >> aRow.Id >> aRow.Time >> aRow.Direction >> aRow.Source >> aRow.Number >> aRow.Text >>
      aRow.Binary >> aRow.Status >> aRow.StatusTime >> aRow.SCTS >> aRow.Error;
  aArg.endStructure();
  return aArg;
}

bool IsFinal(const QString& aStatus) {
  return aStatus == QLatin1String("delivered") || aStatus == QLatin1String("not delivered") ||
         aStatus == QLatin1String("failed");
}

std::optional<THistoryRow> StoryRow(qint64 aId, QString* aError) {
  const QDBusMessage reply = HistoryCall("Story", {QVariant::fromValue<qlonglong>(aId)});
  if (reply.type() != QDBusMessage::ReplyMessage) {
    if (aError) *aError = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return std::nullopt;
  }
  if (reply.signature() != QLatin1String(kStorySignature)) {
    if (aError) {
      *aError = QStringLiteral("Qorvel answered Story with \"%1\", not \"%2\"")
                    .arg(reply.signature(), QLatin1String(kStorySignature));
    }
    return std::nullopt;
  }
  THistoryRow row;
  reply.arguments().value(0).value<QDBusArgument>() >> row;
  return row;
}

int History(const QStringList& aArgs) {
  QVariantMap filter;
  int limit = kDefaultLimit;
  bool json = false;
  for (qsizetype i = 0; i < aArgs.size(); ++i) {
    const QString& a = aArgs[i];
    auto value = [&]() { return OptionValue(aArgs, i); };
    if (a == QLatin1String("--json")) {
      json = true;
    } else if (a == QLatin1String("--since")) {
      filter.insert(QStringLiteral("since"), QVariant::fromValue<qlonglong>(SinceMillis(value())));
    } else if (a == QLatin1String("--number")) {
      const QString number = value();
      if (QString wrong = NumberProblem(number.toLatin1()); !wrong.isEmpty()) {
        Usage(QStringLiteral("--number ") + wrong);
      }
      filter.insert(QStringLiteral("number"), number);
    } else if (a == QLatin1String("--status")) {
      filter.insert(QStringLiteral("status"), StatusArgument(value()));
    } else if (a == QLatin1String("--limit")) {
      limit = ToNumber(value(), a, 1, kMaxLimit);
    } else {
      Usage(QStringLiteral("unknown argument ") + a);
    }
  }
  const QDBusMessage reply =
      HistoryCall("Query", {QVariant::fromValue(filter), QVariant::fromValue<qlonglong>(0),
                            QVariant::fromValue<uint>(static_cast<uint>(limit))});
  if (reply.type() == QDBusMessage::ErrorMessage) Fail(reply.errorMessage());
  const std::vector<THistoryRow> rows =
      ListOf<THistoryRow>(AnswerOf(reply, "Query", "a(xxsssaybsxds)"));
  if (json) {
    for (const THistoryRow& r : rows) PrintJson(RowJson(r));
    return 0;
  }
  if (rows.empty()) {
    std::fputs("qorvelctl: no messages\n", stderr);
    return 0;
  }
  PrintTable(rows);
  if (rows.size() == static_cast<std::size_t>(limit)) {
    const QDBusMessage count = HistoryCall("Count", {QVariant::fromValue(filter)});
    const qlonglong all = count.arguments().value(0).toLongLong();
    if (count.type() == QDBusMessage::ReplyMessage && all > limit) {
      std::fprintf(stderr, "qorvelctl: the newest %d of %lld; --limit shows more\n", limit, all);
    }
  }
  return 0;
}

int Show(const QStringList& aArgs) {
  bool json = false;
  qlonglong id = 0;
  for (const QString& a : aArgs) {
    if (a == QLatin1String("--json")) {
      json = true;
    } else if (a.startsWith(QLatin1String("--"))) {
      Usage(QStringLiteral("unknown option ") + a);
    } else if (id != 0) {
      Usage(QStringLiteral("show takes one ID, not also ") + a);
    } else {
      bool ok = false;
      id = a.toLongLong(&ok);
      if (!ok || id < 1) Usage(QStringLiteral("ID is a message's number in the history, not ") + a);
    }
  }
  if (id == 0) Usage(QStringLiteral("show takes ID"));
  const QDBusMessage reply = HistoryCall("Story", {QVariant::fromValue(id)});
  if (reply.type() == QDBusMessage::ErrorMessage) Fail(reply.errorMessage());
  AnswerOf(reply, "Story", kStorySignature);
  const QVariantList out = reply.arguments();
  THistoryRow row;
  out.value(0).value<QDBusArgument>() >> row;
  const QVariantMap details = qdbus_cast<QVariantMap>(out.value(1));
  const std::vector<TEvent> events = ListOf<TEvent>(out.value(2));

  if (json) {
    QJsonObject o = RowJson(row);
    QJsonObject more;
    for (auto it = details.cbegin(); it != details.cend(); ++it) {
      more.insert(it.key(), it.key() == QLatin1String("dscts")
                                ? QJsonValue(DateText(it.value().toDouble()))
                                : QJsonValue::fromVariant(it.value()));
    }
    o.insert(QStringLiteral("details"), more);
    QJsonArray list;
    for (const TEvent& e : events) {
      QJsonObject event{{QStringLiteral("time"),
                         QDateTime::fromMSecsSinceEpoch(e.Time).toString(Qt::ISODateWithMs)},
                        {QStringLiteral("kind"), e.Kind}};
      if (!e.Status.isEmpty()) event.insert(QStringLiteral("status"), e.Status);
      if (e.SCTS != 0) event.insert(QStringLiteral("scts"), DateText(e.SCTS));
      if (e.DSCTS != 0) event.insert(QStringLiteral("dscts"), DateText(e.DSCTS));
      if (e.Reason >= 0) event.insert(QStringLiteral("reason"), e.Reason);
      if (!e.Text.isEmpty()) event.insert(QStringLiteral("text"), e.Text);
      if (!e.Message.isEmpty())
        event.insert(QStringLiteral("message"), QString::fromLatin1(e.Message));
      list.append(event);
    }
    o.insert(QStringLiteral("events"), list);
    PrintJson(o);
    return 0;
  }

  QStringList lines;
  auto add = [&](const char* aLabel, const QString& aValue) {
    lines << QStringLiteral("%1 %2").arg(QString::fromLatin1(aLabel).leftJustified(13), aValue);
  };
  add("id:", QString::number(row.Id));
  add("time:", LocalTime(row.Time));
  add("direction:", row.Direction);
  add("source:", Escaped(row.Source.toLatin1()));
  add("number:", Escaped(row.Number.toLatin1()));
  add("status:", QStringLiteral("%1 (since %2)").arg(row.Status, LocalTime(row.StatusTime)));
  add("SCTS:", OleText(row.SCTS));
  add(row.Binary ? "data:" : "text:", Shown(row));
  if (!row.Error.isEmpty()) add("error:", Escaped(row.Error.toLatin1()));
  struct TDetail {
    const char* Key;
    const char* Label;
  };
  constexpr TDetail kDetails[] = {
      {"own_address", "own number:"}, {"mcls", "class:"},  {"pid", "pid:"}, {"nt", "notify:"},
      {"rpi", "reply path:"},         {"vp", "validity:"}, {"trn", "TRN:"}, {"dscts", "DSCTS:"},
      {"reason", "reason:"}};
  for (const TDetail& d : kDetails) {
    const QVariant value = details.value(QLatin1String(d.Key));
    if (!value.isValid()) continue;
    QString text = value.toString();
    if (qstrcmp(d.Key, "own_address") == 0) text = Escaped(text.toLatin1());
    // As the bus takes it: 255 asks for no class.
    if (qstrcmp(d.Key, "mcls") == 0 && value.toInt() == 255) text = QStringLiteral("none");
    if (qstrcmp(d.Key, "vp") == 0) text = QStringLiteral("%1 days").arg(value.toDouble());
    if (qstrcmp(d.Key, "dscts") == 0) text = OleText(value.toDouble());
    add(d.Label, text);
  }
  lines << QStringLiteral("events:");
  for (const TEvent& e : events) {
    QString line = QStringLiteral("  %1 %2").arg(LocalTime(e.Time), e.Kind);
    if (!e.Status.isEmpty()) line += QLatin1Char(' ') + e.Status;
    if (e.SCTS != 0) line += QStringLiteral(" SCTS ") + OleText(e.SCTS);
    if (e.DSCTS != 0) line += QStringLiteral(" at ") + OleText(e.DSCTS);
    if (e.Reason >= 0) line += QStringLiteral(" reason %1").arg(e.Reason);
    if (!e.Text.isEmpty()) line += QStringLiteral(": ") + Escaped(e.Text.toLatin1());
    if (!e.Message.isEmpty()) line += QStringLiteral(" \"%1\"").arg(Escaped(e.Message));
    lines << line;
  }
  std::printf("%s\n", lines.join(QLatin1Char('\n')).toLocal8Bit().constData());
  return 0;
}

}  // namespace qorvelctl
