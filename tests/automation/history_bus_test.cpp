// Qorvel.IHistory on a real session bus (run under dbus-run-session), reading
// a real message store in a folder of the test's own, beside the fake
// supervisor; its clients are connections of this process, gdbus and
// qorvelctl.
#include <gtest/gtest.h>

#include <QDBusArgument>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <chrono>

#include "app/history_events.h"
#include "app/message_store.h"
#include "automation/automation_server.h"
#include "automation/bus_client.h"
#include "automation/bus_names.h"
#include "automation/fake_supervisor.h"
#include "automation/history_bus.h"
#include "emi/codec.h"
#include "emi/datetime.h"
#include "history_fixtures.h"
#include "temp_dir.h"

namespace qorvel::test {

class THistoryRecorder : public QObject {
  Q_OBJECT
 public:
  std::vector<std::pair<qint64, QString>> Changes;
  QString Sender;
 public slots:
  void Record(const QDBusMessage& aSignal) {
    Sender = aSignal.service();
    Changes.emplace_back(aSignal.arguments().value(0).toLongLong(),
                         aSignal.arguments().value(1).toString());
  }
};

namespace {

const QString kHistory = QLatin1String(kHistoryInterface);
const QString kPath = QLatin1String(kHistoryPath);
const QString kInvalid = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
using namespace history_fixtures;
const TDateTime kSCTS = EncodeDateTime({2024, 5, 2, 10, 15, 7, 0});

QVariantList QueryArgs(const QVariantMap& aFilter, qlonglong aOffset = 0, uint aLimit = 100) {
  return {QVariant::fromValue(aFilter), QVariant::fromValue(aOffset), QVariant::fromValue(aLimit)};
}

// The array a reply carries as its argument aIndex.
template <class T>
std::vector<T> ArrayOf(const QDBusMessage& aReply, int aIndex) {
  std::vector<T> items;
  const QDBusArgument arg = aReply.arguments().value(aIndex).value<QDBusArgument>();
  arg.beginArray();
  while (!arg.atEnd()) {
    T item;
    arg >> item;
    items.push_back(item);
  }
  arg.endArray();
  return items;
}

std::vector<THistoryRow> Rows(const QDBusMessage& aReply) {
  return ArrayOf<THistoryRow>(aReply, 0);
}

class HistoryBus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!QDBusConnection::sessionBus().isConnected()) GTEST_SKIP() << "no session bus";
    store_ = std::make_unique<TMessageStore>(dir_.File("history.db"), THistoryLimits{},
                                             events_.StoreHandlers());
    TAutomationServer::TOptions options;
    options.History = store_.get();
    options.HistoryEvents = &events_;
    server_ =
        std::make_unique<TAutomationServer>(supervisor_, QDBusConnection::sessionBus(), options);
    ASSERT_TRUE(server_->Start());
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    server_.reset();
    store_.reset();
  }

  // Five messages an hour old, a second apart, but the one from a mobile,
  // which is recorded now: ids_ in the order of recording.
  void Fill() {
    const int64_t t0 = NowMillis() - 3600 * 1000;
    auto submit = [&](const char* aSource, const char* aNumber, std::string aText, int aSecond) {
      THistorySubmit s;
      s.Source = aSource;
      s.Number = aNumber;
      s.Text = std::move(aText);
      s.MCLs = 1;
      s.NT = 3;
      s.Time = t0 + aSecond * 1000;
      const int64_t id = store_->RecordSubmit(s);
      ids_.push_back(id);
      return id;
    };
    since_ = t0 + 1500;
    store_->RecordSubmitResult(submit(":1.7", "0612000001", "Hello", 0), true, kSCTS, "", 3);
    store_->RecordNotification(Notification("0612000001", kSCTS, 0));
    const int64_t binary = submit("window", "+31612000002", std::string("\x00\xff", 2), 1);
    store_->RecordSubmitResult(binary, false, 0, "Connection is inactive");
    TRetrieveDeliverySMItem mobile;
    mobile.OA = "0699000003";
    mobile.DA = "1234";
    mobile.Msg = "Hi there";
    mobile.SCTS = kSCTS;
    ids_.push_back(store_->RecordReceived(mobile));
    store_->RecordSubmitResult(submit(":1.7", "0612000004", "third", 2), true, kSCTS + kSecond, "");
    store_->RecordNotification(Notification("0612000004", kSCTS + kSecond, 2, 107));
    submit(":1.8", "0612000001", "again", 3);
    store_->Flush();
    ASSERT_EQ(ids_.size(), 5u);
  }

  qorvel::testing::TTempDir dir_;
  THistoryEvents events_;
  TFakeSupervisor supervisor_;
  std::unique_ptr<TMessageStore> store_;
  std::unique_ptr<TAutomationServer> server_;
  std::vector<int64_t> ids_;
  int64_t since_ = 0;
};

TEST_F(HistoryBus, QueryAndCountFilterSortAndPage) {
  Fill();
  TBusClient client(QStringLiteral("reader"));
  struct TCase {
    const char* Name;
    QVariantMap Filter;
    qlonglong Offset;
    uint Limit;
    std::vector<int> Places;  // of the rows expected, in order
    qlonglong Count;          // of the filter without paging
  };
  const TCase cases[] = {
      {"all, newest first", {}, 0, 100, {5, 4, 3, 2, 1}, 5},
      {"oldest first", {{"sort", "oldest"}}, 0, 100, {1, 2, 3, 4, 5}, 5},
      {"by number, then newest", {{"sort", "number"}}, 0, 100, {5, 1, 4, 3, 2}, 5},
      {"by status", {{"sort", "status"}}, 0, 100, {1, 2, 4, 3, 5}, 5},
      {"a number's start", {{"number", "0612000001"}}, 0, 100, {5, 1}, 2},
      {"an international number as 00", {{"number", "0031612"}}, 0, 100, {2}, 1},
      {"a number's middle", {{"number", "000001"}, {"number_anywhere", true}}, 0, 100, {5, 1}, 2},
      {"text octets", {{"text", QByteArray("Hi")}}, 0, 100, {3}, 1},
      {"data octets", {{"text", QByteArray("\xff", 1)}}, 0, 100, {2}, 1},
      {"delivered", {{"status", "delivered"}}, 0, 100, {1}, 1},
      {"not delivered", {{"status", "not delivered"}}, 0, 100, {4}, 1},
      {"from mobiles", {{"direction", "in"}}, 0, 100, {3}, 1},
      {"since", {{"since", QVariant::fromValue<qlonglong>(since_)}}, 0, 100, {5, 4, 3}, 3},
      {"two filters", {{"direction", "out"}, {"number", "0612"}}, 0, 100, {5, 4, 1}, 3},
      {"a page", {}, 1, 2, {4, 3}, 5},
      {"past the end", {}, 10, 5, {}, 5},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const QDBusMessage reply = client.Call(kPath, kHistory, QStringLiteral("Query"),
                                           QueryArgs(c.Filter, c.Offset, c.Limit));
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(reply.signature(), QStringLiteral("a(xxsssaybsxds)"));
    std::vector<qint64> ids;
    for (const THistoryRow& row : Rows(reply)) ids.push_back(row.Id);
    std::vector<qint64> expected;
    for (int place : c.Places) expected.push_back(ids_[static_cast<std::size_t>(place - 1)]);
    EXPECT_EQ(ids, expected);
    const QDBusMessage count =
        client.Call(kPath, kHistory, QStringLiteral("Count"), {QVariant::fromValue(c.Filter)});
    ASSERT_EQ(count.signature(), QStringLiteral("x")) << count.errorMessage().toStdString();
    EXPECT_EQ(count.arguments().value(0).toLongLong(), c.Count);
  }

  // Every field of a row, octets intact.
  const QDBusMessage reply =
      client.Call(kPath, kHistory, QStringLiteral("Query"), QueryArgs({{"status", "failed"}}));
  const std::vector<THistoryRow> failed = Rows(reply);
  ASSERT_EQ(failed.size(), 1u);
  const THistoryRow& row = failed[0];
  EXPECT_EQ(row.Id, ids_[1]);
  EXPECT_EQ(row.Direction, "out");
  EXPECT_EQ(row.Source, "window");
  EXPECT_EQ(row.Number, "+31612000002");
  EXPECT_EQ(row.Text, std::string("\x00\xff", 2));
  EXPECT_EQ(row.Error, "Connection is inactive");
  EXPECT_EQ(row.SCTS, 0);
  EXPECT_EQ(row.Time, since_ - 500);
  EXPECT_GE(row.StatusTime, row.Time);
}

TEST_F(HistoryBus, StoryTellsAMessagesWholeLife) {
  Fill();
  TBusClient client(QStringLiteral("reader"));
  const QDBusMessage state = client.Call(kPath, kHistory, QStringLiteral("State"));
  EXPECT_EQ(state.arguments(),
            (QVariantList{QString::fromStdString(dir_.File("history.db")), QString()}));
  const QDBusMessage reply = client.Call(kPath, kHistory, QStringLiteral("Story"),
                                         {QVariant::fromValue<qlonglong>(ids_[3])});
  ASSERT_EQ(reply.signature(), QStringLiteral("(xxsssaybsxds)a{sv}a(xssddisay)"))
      << reply.errorMessage().toStdString();
  THistoryRow row;
  reply.arguments().value(0).value<QDBusArgument>() >> row;
  EXPECT_EQ(row.Id, ids_[3]);
  EXPECT_EQ(row.Number, "0612000004");
  EXPECT_EQ(row.Status, "not delivered");
  EXPECT_EQ(row.Text, "third");
  const QVariantMap details = qdbus_cast<QVariantMap>(reply.arguments().value(1));
  EXPECT_EQ(details.value(QStringLiteral("mcls")).toInt(), 1);
  EXPECT_EQ(details.value(QStringLiteral("nt")).toInt(), 3);
  EXPECT_EQ(details.value(QStringLiteral("reason")).toInt(), 107);
  EXPECT_FALSE(details.contains(QStringLiteral("vp"))) << "none was given";
  const std::vector<THistoryEvent> events = ArrayOf<THistoryEvent>(reply, 2);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].Kind, "submitted");
  EXPECT_EQ(events[1].Kind, "accepted");
  EXPECT_EQ(events[2].Kind, "notification");
  EXPECT_EQ(events[2].Status, "not delivered");
  EXPECT_EQ(events[2].Reason, 107);
  EXPECT_EQ(events[2].Message, "Message delivered");
  EXPECT_NEAR(events[2].DSCTS, kSCTS + 6 * kSecond, kSecond / 10);
}

TEST_F(HistoryBus, WrongArgumentsAreRefusedNamingThem) {
  Fill();
  TBusClient client(QStringLiteral("reader"));
  const QString notFound = QLatin1String(kErrorNotFound);
  struct TCase {
    const char* Member;
    QVariantList Args;
    QString Error;
    QString Names;  // a part of the message
  };
  const QVariantMap none;
  const TCase cases[] = {
      {"Query", QueryArgs({{"colour", "red"}}), kInvalid, "unknown key \"colour\""},
      {"Query", QueryArgs({{"number", 612}}), kInvalid, "\"number\" takes \"s\", not \"i\""},
      {"Query", QueryArgs({{"number", "06\x01"}}), kInvalid, "\"number\" holds U+0001"},
      {"Query", QueryArgs({{"number", QString(40, QLatin1Char('1'))}}), kInvalid, "\"number\""},
      {"Query", QueryArgs({{"text", "Hi"}}), kInvalid, "\"text\" takes \"ay\", not \"s\""},
      {"Query", QueryArgs({{"status", "sent"}}), kInvalid, "unknown status \"sent\""},
      {"Query", QueryArgs({{"status", "matched"}}), kInvalid, "unknown status \"matched\""},
      {"Query", QueryArgs({{"direction", "up"}}), kInvalid, "unknown direction \"up\""},
      {"Query", QueryArgs({{"sort", "sideways"}}), kInvalid, "unknown sort \"sideways\""},
      {"Query", QueryArgs({{"since", "1h"}}), kInvalid, "\"since\" takes \"x\""},
      {"Query", QueryArgs({{"since", QVariant::fromValue<qlonglong>(-1)}}), kInvalid,
       "\"since\" must not be negative"},
      {"Query", QueryArgs({{"number_anywhere", 1}}), kInvalid, "\"number_anywhere\" takes \"b\""},
      {"Query", QueryArgs(none, 0, 0), kInvalid, "limit must be from 1 to 10000, not 0"},
      {"Query", QueryArgs(none, 0, 10001), kInvalid, "limit must be from 1 to 10000, not 10001"},
      {"Query", QueryArgs(none, -1, 10), kInvalid, "offset must not be negative, not -1"},
      {"Query", {QVariant::fromValue(none)}, kInvalid, "Query takes \"a{sv}xu\", not \"a{sv}\""},
      {"Count", {QVariant::fromValue(QVariantMap{{"sort", "up"}})}, kInvalid, "unknown sort"},
      {"Story", {QVariant::fromValue<qlonglong>(0)}, kInvalid, "id must be positive, not 0"},
      {"Story", {QStringLiteral("1")}, kInvalid, "Story takes \"x\", not \"s\""},
      {"Story",
       {QVariant::fromValue<qlonglong>(ids_.back() + 1000)},
       notFound,
       QStringLiteral("No message with id %1 in the history").arg(ids_.back() + 1000)},
      {"Drop", {}, QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), "Drop"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Member) + " " + c.Names.toStdString());
    const QDBusMessage reply = client.Call(kPath, kHistory, QLatin1String(c.Member), c.Args);
    EXPECT_EQ(reply.errorName(), c.Error);
    EXPECT_TRUE(reply.errorMessage().contains(c.Names)) << reply.errorMessage().toStdString();
  }
}

TEST_F(HistoryBus, StatusChangedReachesEveryClientThatListens) {
  TBusClient listener(QStringLiteral("listener"));
  THistoryRecorder heard;
  // Any client may subscribe; naming the service, it hears only its owner.
  ASSERT_TRUE(listener.Bus().connect(QLatin1String(kBusServiceName), kPath, kHistory,
                                     QStringLiteral("StatusChanged"), &heard,
                                     SLOT(Record(QDBusMessage))));
  THistorySubmit submit;
  submit.Source = ":1.9";
  submit.Number = "0612";
  submit.Text = "x";
  const int64_t id = store_->RecordSubmit(submit);
  store_->RecordSubmitResult(id, true, kSCTS, "");
  store_->RecordNotification(Notification("0612", kSCTS, 0));
  ASSERT_TRUE(WaitFor([&] {
    return !heard.Changes.empty() && heard.Changes.back().first == id &&
           heard.Changes.back().second == QLatin1String("delivered");
  })) << heard.Changes.size();
  for (const auto& [changed, status] : heard.Changes) EXPECT_EQ(changed, id);
  EXPECT_EQ(heard.Sender, QDBusConnection::sessionBus().baseService());
}

TEST_F(HistoryBus, SubmitWithIdRepliesWithTheIdTheSupervisorSetAndCarriesTheCaller) {
  TBusClient owner(QStringLiteral("owner")), other(QStringLiteral("other"));
  const QString path = owner.Create();
  const QVariantList args = SubmitArgs(QStringLiteral("0612"), "x");
  for (const char* member : {"SubmitWithId", "Submit"}) {
    SCOPED_TRACE(member);
    QDBusPendingCall call =
        owner.AsyncCall(path, QLatin1String(kObjectInterface), QLatin1String(member), args);
    auto job = supervisor_.TakeJob();
    ASSERT_TRUE(job.Item);
    EXPECT_EQ(job.Item->Source, owner.UniqueName().toStdString());
    job.Item->Requester->SetHistoryId(4242);
    job.Item->Requester->Complete(0, "", 46293.5);
    call.waitForFinished();
    const QDBusMessage reply = call.reply();
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    EXPECT_EQ(reply.arguments().value(0).toDouble(), 46293.5);
    if (qstrcmp(member, "SubmitWithId") == 0) {
      EXPECT_EQ(reply.signature(), QStringLiteral("dx"));
      EXPECT_EQ(reply.arguments().value(1).toLongLong(), 4242);
    } else {
      EXPECT_EQ(reply.signature(), QStringLiteral("d"));
    }
  }

  // The history is anyone's; the object stays its creator's.
  EXPECT_EQ(
      other.Call(kPath, kHistory, QStringLiteral("Count"), {QVariant::fromValue(QVariantMap())})
          .type(),
      QDBusMessage::ReplyMessage);
  EXPECT_EQ(other.Object(path, QStringLiteral("SubmitWithId"), args).errorName(),
            QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
  EXPECT_EQ(supervisor_.Posted(), 2);
}

// gdbus types its arguments from our introspection, as any other client does.
TEST_F(HistoryBus, GdbusFindsTheInterfaceAndQueriesIt) {
  if (QStandardPaths::findExecutable(QStringLiteral("gdbus")).isEmpty()) GTEST_SKIP() << "no gdbus";
  Fill();
  auto gdbus = [](const QStringList& aArgs) {
    QProcess p;
    p.start(QStringLiteral("gdbus"),
            QStringList{aArgs[0], QStringLiteral("--session"), QStringLiteral("--dest"),
                        QLatin1String(kBusServiceName), QStringLiteral("--object-path"),
                        QLatin1String(kHistoryPath)} +
                aArgs.mid(1));
    p.waitForFinished(20000);
    return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
  };
  const QString xml = gdbus({QStringLiteral("introspect"), QStringLiteral("--xml")});
  EXPECT_TRUE(xml.contains(QStringLiteral("<interface name=\"Qorvel.IHistory\">")))
      << xml.toStdString();
  EXPECT_TRUE(xml.contains(QStringLiteral("<signal name=\"StatusChanged\">")));
  const QString rows = gdbus(
      {QStringLiteral("call"), QStringLiteral("--method"), QStringLiteral("Qorvel.IHistory.Query"),
       QStringLiteral("{'status': <'delivered'>}"), QStringLiteral("0"), QStringLiteral("10")});
  EXPECT_TRUE(rows.startsWith(QStringLiteral("([(int64 %1, int64 ").arg(ids_[0])))
      << rows.toStdString();
  EXPECT_TRUE(rows.contains(QStringLiteral("'0612000001'")));
  const QString refused = gdbus(
      {QStringLiteral("call"), QStringLiteral("--method"), QStringLiteral("Qorvel.IHistory.Query"),
       QStringLiteral("{'colour': <'red'>}"), QStringLiteral("0"), QStringLiteral("10")});
  EXPECT_TRUE(refused.contains(QStringLiteral("InvalidArgs"))) << refused.toStdString();
}

// qorvelctl history and show, as a user runs them.
TEST_F(HistoryBus, QorvelctlListsAndShowsTheHistory) {
  const QString ctl =
      QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/qorvelctl");
  if (!QFile::exists(ctl)) GTEST_SKIP() << "qorvelctl is not built";
  Fill();
  struct TCase {
    QStringList Args;
    int Code;
    QStringList Lines;  // the starts of lines of stdout, in this order
    qsizetype Count;    // of the lines; -1 any
    QString Err;        // a part of stderr
  };
  auto id = [&](int aPlace) { return QString::number(ids_[static_cast<std::size_t>(aPlace - 1)]); };
  const TCase cases[] = {
      {{"history", "--number", "0612000001"}, 0, {"ID ", id(5) + " ", id(1) + " "}, 3, {}},
      {{"history", "--number", "0612000001", "--limit", "1"},
       0,
       {"ID ", id(5) + " "},
       2,
       "the newest 1 of 2"},
      {{"history", "--status", "not-delivered", "--json"},
       0,
       {"{\"binary\":false,\"direction\":\"out\","},
       1,
       {}},
      {{"history", "--since", "30m"}, 0, {"ID ", id(3) + " "}, 2, {}},
      {{"show", id(4)},
       0,
       {"id:           " + id(4), "direction:    out", "source:       :1.7",
        "number:       0612000004", "status:       not delivered (since ", "text:         third",
        "class:        1", "notify:       3", "reason:       107", "events:", "  ", "  ", "  "},
       -1,
       {}},
      {{"show", id(1), "--json"}, 0, {"{"}, 1, {}},
      {{"show", "999999"}, 1, {}, 0, "No message with id 999999"},
      {{"show", "x"}, 1, {}, 0, "ID is a message's number in the history, not x"},
      {{"history", "--since", "yesterday"}, 1, {}, 0, "--since takes a date-time"},
      {{"history", "--status", "sent"}, 1, {}, 0, "--status knows submitted"},
      {{"history", "--limit", "0"}, 1, {}, 0, "--limit takes a number from 1 to 10000"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args.join(QLatin1Char(' ')).toStdString());
    QProcess p;
    p.start(ctl, c.Args);
    ASSERT_TRUE(p.waitForFinished(30000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), c.Code) << err.toStdString();
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (c.Count >= 0) {
      EXPECT_EQ(lines.size(), c.Count) << out.toStdString();
    }
    qsizetype next = 0;
    for (const QString& start : c.Lines) {
      while (next < lines.size() && !lines[next].startsWith(start)) ++next;
      EXPECT_LT(next, lines.size()) << "no line " << start.toStdString() << " in\n"
                                    << out.toStdString();
      ++next;
    }
    EXPECT_TRUE(err.contains(c.Err)) << err.toStdString();
  }

  // The JSON of show, field by field.
  QProcess p;
  p.start(ctl, {"show", id(1), "--json"});
  ASSERT_TRUE(p.waitForFinished(30000));
  const QJsonObject o = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
  EXPECT_EQ(o.value("id").toInteger(), ids_[0]);
  EXPECT_EQ(o.value("status").toString(), "delivered");
  EXPECT_EQ(o.value("text").toString(), "Hello");
  EXPECT_EQ(o.value("details").toObject().value("trn").toInt(), 3);
  EXPECT_EQ(o.value("events").toArray().size(), 3);
  EXPECT_EQ(o.value("events").toArray().at(2).toObject().value("status").toString(), "delivered");
}

}  // namespace
}  // namespace qorvel::test

#include "history_bus_test.moc"
