#include "automation/history_bus.h"

#include <QDBusMetaType>
#include <QStringList>
#include <QVariantMap>
#include <array>
#include <exception>
#include <string_view>
#include <utility>

#include "automation/bus_names.h"
#include "automation/octet_text.h"

namespace qorvel {

namespace {

constexpr char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr char kLimitsExceeded[] = "org.freedesktop.DBus.Error.LimitsExceeded";
constexpr char kUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
constexpr char kQuerySignature[] = "a{sv}xu";
constexpr char kCountSignature[] = "a{sv}";
constexpr char kStorySignature[] = "x";
// Longer than any number or message the store can hold: such a filter can
// only be a mistake, or an attempt to make the query costly.
constexpr qsizetype kMaxNumberFilter = 32;
constexpr qsizetype kMaxTextFilter = 1024;

// Those a row can have; "matched" is news only, never a row's status.
constexpr std::array<std::string_view, 8> kStatuses = {
    history_status::kSubmitted, history_status::kAccepted,  history_status::kFailed,
    history_status::kBuffered,  history_status::kDelivered, history_status::kNotDelivered,
    history_status::kReceived,  history_status::kUnmatched};
constexpr std::array<std::string_view, 3> kDirections = {kDirectionOut, kDirectionIn,
                                                         kDirectionNotification};
struct TSortName {
  const char* Name;
  THistorySort Sort;
};
constexpr std::array<TSortName, 4> kSorts = {{{"newest", THistorySort::NewestFirst},
                                              {"oldest", THistorySort::OldestFirst},
                                              {"number", THistorySort::Number},
                                              {"status", THistorySort::Status}}};
constexpr char kKnownKeys[] = "number, number_anywhere, text, status, since, direction, sort";

template <std::size_t N>
QString Listed(const std::array<std::string_view, N>& aWords) {
  QStringList words;
  for (std::string_view w : aWords) words << QString::fromLatin1(w.data(), qsizetype(w.size()));
  return words.join(QStringLiteral(", "));
}

template <std::size_t N>
bool Known(const std::array<std::string_view, N>& aWords, const QString& aWord) {
  for (std::string_view w : aWords) {
    if (aWord == QLatin1String(w.data(), qsizetype(w.size()))) return true;
  }
  return false;
}

// The D-Bus type of a value as QtDBus hands a variant's content over.
QString SignatureOf(const QVariant& aValue) {
  if (aValue.metaType() == QMetaType::fromType<QDBusArgument>()) {
    return aValue.value<QDBusArgument>().currentSignature();
  }
  const char* signature = QDBusMetaType::typeToSignature(aValue.metaType());
  return signature ? QString::fromLatin1(signature) : QStringLiteral("?");
}

// Why aMap is not a filter, or empty after filling aFilter and aSort.
QString FilterError(const QVariantMap& aMap, THistoryFilter& aFilter, THistorySort& aSort) {
  for (auto it = aMap.cbegin(); it != aMap.cend(); ++it) {
    const QString& key = it.key();
    const QVariant& value = it.value();
    auto wrongType = [&](const char* aWanted) -> QString {
      const QString given = SignatureOf(value);
      if (given == QLatin1String(aWanted)) return {};
      return QStringLiteral("filter key \"%1\" takes \"%2\", not \"%3\"")
          .arg(key, QLatin1String(aWanted), given);
    };
    QString why;
    if (key == QLatin1String("number")) {
      if (!(why = wrongType("s")).isEmpty()) return why;
      const QString number = value.toString();
      if (number.size() > kMaxNumberFilter) {
        return QStringLiteral("filter key \"number\" is longer than %1 characters")
            .arg(kMaxNumberFilter);
      }
      for (QChar c : number) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7E) {
          return QStringLiteral("filter key \"number\" holds U+%1; a number is printable ASCII")
              .arg(c.unicode(), 4, 16, QLatin1Char('0'));
        }
      }
      aFilter.Number = number.toStdString();
    } else if (key == QLatin1String("number_anywhere")) {
      if (!(why = wrongType("b")).isEmpty()) return why;
      aFilter.NumberAnywhere = value.toBool();
    } else if (key == QLatin1String("text")) {
      if (!(why = wrongType("ay")).isEmpty()) return why;
      const QByteArray text = value.toByteArray();
      if (text.size() > kMaxTextFilter) {
        return QStringLiteral("filter key \"text\" is longer than %1 octets").arg(kMaxTextFilter);
      }
      aFilter.Text.assign(text.constData(), static_cast<std::size_t>(text.size()));
    } else if (key == QLatin1String("status")) {
      if (!(why = wrongType("s")).isEmpty()) return why;
      const QString status = value.toString();
      if (!Known(kStatuses, status)) {
        return QStringLiteral("filter key \"status\": unknown status \"%1\" (known: %2)")
            .arg(status, Listed(kStatuses));
      }
      aFilter.Status = status.toStdString();
    } else if (key == QLatin1String("since")) {
      if (!(why = wrongType("x")).isEmpty()) return why;
      const qlonglong since = value.toLongLong();
      if (since < 0) {
        return QStringLiteral("filter key \"since\" must not be negative, not %1").arg(since);
      }
      aFilter.Since = since;
    } else if (key == QLatin1String("direction")) {
      if (!(why = wrongType("s")).isEmpty()) return why;
      const QString direction = value.toString();
      if (!Known(kDirections, direction)) {
        return QStringLiteral("filter key \"direction\": unknown direction \"%1\" (known: %2)")
            .arg(direction, Listed(kDirections));
      }
      aFilter.Direction = direction.toStdString();
    } else if (key == QLatin1String("sort")) {
      if (!(why = wrongType("s")).isEmpty()) return why;
      const QString sort = value.toString();
      bool found = false;
      for (const TSortName& s : kSorts) {
        if (sort == QLatin1String(s.Name)) {
          aSort = s.Sort;
          found = true;
        }
      }
      if (!found) {
        return QStringLiteral(
                   "filter key \"sort\": unknown sort \"%1\" (known: newest, oldest, number, "
                   "status)")
            .arg(sort);
      }
    } else {
      return QStringLiteral("filter: unknown key \"%1\" (known: %2)")
          .arg(key, QLatin1String(kKnownKeys));
    }
  }
  return {};
}

QVariantMap Details(const THistoryStory& aStory) {
  QVariantMap details;
  if (!aStory.OwnAddress.empty()) {
    details.insert(QStringLiteral("own_address"), OctetsToText(aStory.OwnAddress));
  }
  const std::pair<const char*, int> numbers[] = {{"mcls", aStory.MCLs}, {"pid", aStory.PID},
                                                 {"nt", aStory.NT},     {"rpi", aStory.RPI},
                                                 {"trn", aStory.TRN},   {"reason", aStory.Reason}};
  for (const auto& [name, value] : numbers) {
    if (value >= 0) details.insert(QLatin1String(name), value);
  }
  if (aStory.VP != 0) details.insert(QStringLiteral("vp"), aStory.VP);
  if (aStory.DSCTS != 0) details.insert(QStringLiteral("dscts"), aStory.DSCTS);
  return details;
}

QByteArray Octets(const std::string& aText) {
  return QByteArray(aText.data(), static_cast<qsizetype>(aText.size()));
}

std::string StdOctets(const QByteArray& aOctets) {
  return std::string(aOctets.constData(), static_cast<std::size_t>(aOctets.size()));
}

std::string StdText(const QString& aText) {
  std::string octets;
  TextToOctets(aText, octets);
  return octets;
}

}  // namespace

QDBusArgument& operator<<(QDBusArgument& aArg, const THistoryRow& aRow) {
  aArg.beginStructure();
  aArg << qlonglong(aRow.Id) << qlonglong(aRow.Time) << OctetsToText(aRow.Direction)
       << OctetsToText(aRow.Source) << OctetsToText(aRow.Number) << Octets(aRow.Text) << aRow.Binary
       << OctetsToText(aRow.Status) << qlonglong(aRow.StatusTime) << aRow.SCTS
       << OctetsToText(aRow.Error);
  aArg.endStructure();
  return aArg;
}

const QDBusArgument& operator>>(const QDBusArgument& aArg, THistoryRow& aRow) {
  qlonglong id = 0, time = 0, statusTime = 0;
  QString direction, source, number, status, error;
  QByteArray text;
  aArg.beginStructure();
  aArg >> id >> time >> direction >> source >> number >> text >> aRow.Binary >> status >>
      statusTime >> aRow.SCTS >> error;
  aArg.endStructure();
  aRow.Id = id;
  aRow.Time = time;
  aRow.Direction = StdText(direction);
  aRow.Source = StdText(source);
  aRow.Number = StdText(number);
  aRow.Text = StdOctets(text);
  aRow.Status = StdText(status);
  aRow.StatusTime = statusTime;
  aRow.Error = StdText(error);
  return aArg;
}

QDBusArgument& operator<<(QDBusArgument& aArg, const THistoryEvent& aEvent) {
  aArg.beginStructure();
  aArg << qlonglong(aEvent.Time) << OctetsToText(aEvent.Kind) << OctetsToText(aEvent.Status)
       << aEvent.SCTS << aEvent.DSCTS << aEvent.Reason << OctetsToText(aEvent.Text)
       << Octets(aEvent.Message);
  aArg.endStructure();
  return aArg;
}

const QDBusArgument& operator>>(const QDBusArgument& aArg, THistoryEvent& aEvent) {
  qlonglong time = 0;
  QString kind, status, text;
  QByteArray message;
  aArg.beginStructure();
  aArg >> time >> kind >> status >> aEvent.SCTS >> aEvent.DSCTS >> aEvent.Reason >> text >> message;
  aArg.endStructure();
  aEvent.Time = time;
  aEvent.Kind = StdText(kind);
  aEvent.Status = StdText(status);
  aEvent.Text = StdText(text);
  aEvent.Message = StdOctets(message);
  return aArg;
}

THistoryBus::THistoryBus(TMessageStore* aStore, QDBusConnection aBus)
    : store_(aStore), bus_(std::move(aBus)) {
  qDBusRegisterMetaType<THistoryRow>();
  qDBusRegisterMetaType<QList<THistoryRow>>();
  qDBusRegisterMetaType<THistoryEvent>();
  qDBusRegisterMetaType<QList<THistoryEvent>>();
}

THistoryBus::~THistoryBus() {
  std::list<TWorker> workers;
  {
    TLockGuard g(lock_);
    while (Running() > 0) finished_.wait(lock_);
    workers.swap(workers_);
  }
  for (TWorker& w : workers) w.Thread.join();
}

std::size_t THistoryBus::Running() const {
  std::size_t running = 0;
  for (const TWorker& w : workers_) running += w.Done ? 0 : 1;
  return running;
}

void THistoryBus::Reap() {
  std::list<TWorker> done;
  {
    TLockGuard g(lock_);
    for (auto it = workers_.begin(); it != workers_.end();) {
      auto next = std::next(it);
      if (it->Done) done.splice(done.end(), workers_, it);
      it = next;
    }
  }
  for (TWorker& w : done) w.Thread.join();
}

void THistoryBus::RunLate(const QDBusMessage& aMessage, std::function<QDBusMessage()> aWork) {
  Reap();
  TLockGuard g(lock_);
  if (Running() >= static_cast<std::size_t>(kMaxCalls)) {
    bus_.send(aMessage.createErrorReply(
        QLatin1String(kLimitsExceeded),
        QStringLiteral("%1 history calls are under way, the most at once; call again when one "
                       "has been answered")
            .arg(kMaxCalls)));
    return;
  }
  aMessage.setDelayedReply(true);
  TWorker& worker = workers_.emplace_back();
  try {
    worker.Thread = std::thread([this, &worker, call = aMessage, work = std::move(aWork)] {
      QDBusMessage reply;
      try {
        reply = work();
      } catch (const std::exception& e) {
        reply = call.createErrorReply(QLatin1String(kErrorUnexpected), QString::fromUtf8(e.what()));
      }
      bus_.send(reply);
      TLockGuard done(lock_);
      worker.Done = true;
      finished_.notify_all();
    });
  } catch (const std::exception& e) {
    workers_.pop_back();
    bus_.send(aMessage.createErrorReply(
        QLatin1String(kErrorUnexpected),
        QStringLiteral("Cannot start the query: %1").arg(QString::fromUtf8(e.what()))));
  }
}

QDBusMessage THistoryBus::Off(const QDBusMessage& aMessage) const {
  if (store_ && !store_->Path().empty()) return {};
  return aMessage.createErrorReply(QLatin1String(kErrorUnexpected),
                                   QStringLiteral("History is off"));
}

void THistoryBus::Handle(const QDBusMessage& aMessage) {
  const QString member = aMessage.member();
  const QString iface = aMessage.interface();
  auto refuse = [&](const char* aName, const QString& aText) {
    bus_.send(aMessage.createErrorReply(QLatin1String(aName), aText));
  };
  if (!iface.isEmpty() && iface != QLatin1String(kHistoryInterface)) {
    refuse(kUnknownMethod, QStringLiteral("No interface %1 on %2").arg(iface, aMessage.path()));
    return;
  }
  auto expect = [&](const char* aSignature) {
    if (aMessage.signature() == QLatin1String(aSignature)) return true;
    refuse(kInvalidArgs, QStringLiteral("%1 takes \"%2\", not \"%3\"")
                             .arg(member, QLatin1String(aSignature), aMessage.signature()));
    return false;
  };
  const QVariantList args = aMessage.arguments();
  if (member == QLatin1String("Query") || member == QLatin1String("Count")) {
    const bool query = member == QLatin1String("Query");
    if (!expect(query ? kQuerySignature : kCountSignature)) return;
    THistoryFilter filter;
    THistorySort sort = THistorySort::NewestFirst;
    if (QString why = FilterError(qdbus_cast<QVariantMap>(args[0]), filter, sort); !why.isEmpty()) {
      refuse(kInvalidArgs, why);
      return;
    }
    if (QDBusMessage off = Off(aMessage); off.type() == QDBusMessage::ErrorMessage) {
      bus_.send(off);
      return;
    }
    if (!query) {
      RunLate(aMessage, [this, aMessage, filter] {
        return aMessage.createReply(QVariant::fromValue<qlonglong>(store_->Count(filter)));
      });
      return;
    }
    const qlonglong offset = args[1].toLongLong();
    const uint limit = args[2].toUInt();
    if (offset < 0) {
      refuse(kInvalidArgs, QStringLiteral("offset must not be negative, not %1").arg(offset));
      return;
    }
    if (limit < 1 || limit > static_cast<uint>(kMaxLimit)) {
      refuse(kInvalidArgs,
             QStringLiteral("limit must be from 1 to %1, not %2").arg(kMaxLimit).arg(limit));
      return;
    }
    RunLate(aMessage, [this, aMessage, filter, sort, offset, limit] {
      const std::vector<THistoryRow> rows =
          store_->Query(filter, sort, offset, static_cast<int>(limit));
      return aMessage.createReply(
          QVariant::fromValue(QList<THistoryRow>(rows.begin(), rows.end())));
    });
  } else if (member == QLatin1String("Story")) {
    if (!expect(kStorySignature)) return;
    const qlonglong id = args[0].toLongLong();
    if (id < 1) {
      refuse(kInvalidArgs, QStringLiteral("id must be positive, not %1").arg(id));
      return;
    }
    if (QDBusMessage off = Off(aMessage); off.type() == QDBusMessage::ErrorMessage) {
      bus_.send(off);
      return;
    }
    RunLate(aMessage, [this, aMessage, id] {
      const std::optional<THistoryStory> story = store_->Story(id);
      if (!story) {
        QString text = QStringLiteral("No message with id %1 in the history").arg(id);
        if (const std::string problem = store_->Problem(); !problem.empty()) {
          text += QStringLiteral(" (") + OctetsToText(problem) + QLatin1Char(')');
        }
        return aMessage.createErrorReply(QLatin1String(kErrorNotFound), text);
      }
      return aMessage.createReply(
          {QVariant::fromValue(story->Row), Details(*story),
           QVariant::fromValue(QList<THistoryEvent>(story->Events.begin(), story->Events.end()))});
    });
  } else if (member == QLatin1String("State")) {
    if (!expect("")) return;
    const std::string path = store_ ? store_->Path() : std::string();
    const std::string problem = store_ ? store_->Problem() : std::string();
    bus_.send(aMessage.createReply({OctetsToText(path), OctetsToText(problem)}));
  } else {
    refuse(kUnknownMethod, QStringLiteral("No method %1 on %2").arg(member, aMessage.path()));
  }
}

void THistoryBus::EmitStatusChanged(int64_t aId, const QString& aStatus) const {
  QDBusMessage signal =
      QDBusMessage::createSignal(QLatin1String(kHistoryPath), QLatin1String(kHistoryInterface),
                                 QStringLiteral("StatusChanged"));
  signal << QVariant::fromValue<qlonglong>(aId) << aStatus;
  bus_.send(signal);
}

}  // namespace qorvel
