// The message history: what a submit's story holds, how notifications find
// their submits, what a bad store does to the record calls (nothing), and
// retention.
#include "app/message_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "emi/codec.h"
#include "emi/codes.h"
#include "emi/params.h"
#include "history_fixtures.h"
#include "temp_dir.h"

namespace qorvel::testing {
namespace {

namespace hs = history_status;
using namespace history_fixtures;

const TDateTime kSCTS = EncodeDateTime({2024, 5, 2, 10, 15, 7, 0});

// What the store's handlers heard, and waiting for it.
class TListener {
 public:
  TMessageStore::THandlers Handlers() {
    return {[this](const std::string& aProblem) {
              std::lock_guard g(m_);
              problems_.push_back(aProblem);
              cv_.notify_all();
            },
            [this](std::vector<THistoryStatusChange> aChanges) {
              std::lock_guard g(m_);
              for (THistoryStatusChange& c : aChanges)
                changes_.emplace_back(c.Id, std::move(c.Status));
            }};
  }
  // False when no problem came within a time no healthy machine needs.
  bool WaitForProblems(size_t aCount) {
    std::unique_lock g(m_);
    return cv_.wait_for(g, std::chrono::seconds(60), [&] { return problems_.size() >= aCount; });
  }
  std::vector<std::string> Problems() {
    std::lock_guard g(m_);
    return problems_;
  }
  std::vector<std::pair<int64_t, std::string>> Changes() {
    std::lock_guard g(m_);
    return changes_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> problems_;
  std::vector<std::pair<int64_t, std::string>> changes_;
};

// A connection of the test's own to the store's file.
class TRawDb {
 public:
  explicit TRawDb(const std::string& aPath) { sqlite3_open(aPath.c_str(), &db_); }
  ~TRawDb() { sqlite3_close(db_); }
  int Exec(const std::string& aSql) {
    return sqlite3_exec(db_, aSql.c_str(), nullptr, nullptr, nullptr);
  }
  int64_t Number(const std::string& aSql) {
    sqlite3_stmt* stmt = nullptr;
    int64_t value = -1;
    if (sqlite3_prepare_v2(db_, aSql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
      value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
  }

 private:
  sqlite3* db_ = nullptr;
};

THistoryLimits Limits(int aKeepDays, int64_t aMaxMessages = 0, int64_t aMaxPages = 0) {
  THistoryLimits limits;
  limits.KeepDays = aKeepDays;
  limits.MaxMessages = aMaxMessages;
  limits.MaxPages = aMaxPages;
  return limits;
}

// A filter with one field set.
THistoryFilter Where(std::string THistoryFilter::*aField, std::string_view aValue) {
  THistoryFilter filter;
  filter.*aField = aValue;
  return filter;
}

// Fails unless the number index holds exactly the rows of the table.
constexpr const char* kIndexCheck =
    "INSERT INTO numbers (numbers, rank) VALUES ('integrity-check', 1)";

mode_t ModeOf(const std::string& aPath) {
  struct stat st;
  return ::stat(aPath.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> Kinds(const THistoryStory& aStory) {
  std::vector<std::string> kinds;
  for (const THistoryEvent& event : aStory.Events)
    kinds.push_back(event.Kind + (event.Status.empty() ? "" : " " + event.Status));
  return kinds;
}

class MessageStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<TMessageStore> Open(THistoryLimits aLimits = {}) {
    return std::make_unique<TMessageStore>(path, aLimits, listener.Handlers());
  }

  TTempDir dir;
  std::string path = dir.File("messages.db");
  TListener listener;
};

TEST_F(MessageStoreTest, ASubmitsWholeStoryIsRecordedAndReadBack) {
  auto store = Open();
  THistorySubmit submit = Submit("+31612345678", std::string("\x01\xff", 2));
  submit.Source = ":1.42";
  submit.Binary = true;
  submit.MCLs = 1;
  submit.NT = 3;
  submit.RPI = 1;
  submit.VP = 1.5;
  const int64_t id = store->RecordSubmit(submit);
  ASSERT_GT(id, 0);
  store->RecordSubmitResult(id, true, kSCTS, "", 17);
  store->RecordNotification(Notification("+31612345678", kSCTS, 1, 107));
  store->RecordNotification(Notification("+31612345678", kSCTS, 0));
  TRetrieveDeliverySMItem mobile;
  mobile.OA = "0612345678";
  mobile.DA = "1234";
  mobile.Msg = "Hi there";
  mobile.SCTS = kSCTS;
  const int64_t received = store->RecordReceived(mobile);
  EXPECT_GT(received, id);
  store->Flush();

  const std::optional<THistoryStory> story = store->Story(id);
  ASSERT_TRUE(story.has_value());
  EXPECT_EQ(story->Row.Direction, kDirectionOut);
  EXPECT_EQ(story->Row.Source, ":1.42");
  EXPECT_EQ(story->Row.Number, "+31612345678");
  EXPECT_EQ(story->Row.Text, std::string("\x01\xff", 2));
  EXPECT_TRUE(story->Row.Binary);
  EXPECT_EQ(story->Row.Status, hs::kDelivered);
  EXPECT_DOUBLE_EQ(story->Row.SCTS * 86400, std::round(kSCTS * 86400));
  EXPECT_EQ(story->Row.Error, "");
  EXPECT_EQ(story->MCLs, 1);
  EXPECT_EQ(story->NT, 3);
  EXPECT_EQ(story->RPI, 1);
  EXPECT_DOUBLE_EQ(story->VP, 1.5);
  EXPECT_EQ(story->TRN, 17);
  EXPECT_EQ(Kinds(*story),
            (std::vector<std::string>{"submitted", "accepted", "notification buffered",
                                      "notification delivered"}));
  EXPECT_EQ(story->Events[2].Reason, 107);
  EXPECT_EQ(story->Events[2].Text, ReasonText(107));
  EXPECT_EQ(story->Events[3].Message, "Message delivered");
  EXPECT_EQ(story->Events[3].Text, "") << "a delivered message has no reason";
  EXPECT_NEAR(story->Events[3].DSCTS, kSCTS + 5 * kSecond, kSecond / 10);
  EXPECT_LE(story->Events[0].Time, story->Events[3].Time);

  const std::optional<THistoryStory> in = store->Story(received);
  ASSERT_TRUE(in.has_value());
  EXPECT_EQ(in->Row.Direction, kDirectionIn);
  EXPECT_EQ(in->Row.Number, "0612345678");
  EXPECT_EQ(in->OwnAddress, "1234");
  EXPECT_EQ(in->Row.Text, "Hi there");
  EXPECT_EQ(in->Row.Status, hs::kReceived);
  EXPECT_FALSE(store->Story(received + 1).has_value());

  std::string last;
  for (const auto& [changed, status] : listener.Changes())
    if (changed == id) last = status;
  EXPECT_EQ(last, hs::kDelivered);
  EXPECT_TRUE(listener.Problems().empty());
}

// A result is written with its submit when both come in one batch: the row
// and the story must read as when the result comes in a later one.
TEST_F(MessageStoreTest, AResultReadsTheSameInItsSubmitsBatchOrALaterOne) {
  auto store = Open();
  for (const bool accepted : {true, false}) {
    std::vector<THistoryStory> stories;
    for (const bool laterBatch : {false, true}) {
      SCOPED_TRACE(std::string(accepted ? "accepted" : "failed") +
                   (laterBatch ? ", later batch" : ", same batch"));
      THistorySubmit submit = Submit("0612345678");
      submit.Time = NowMillis() - 60000;
      const int64_t id = store->RecordSubmit(submit);
      if (laterBatch) store->Flush();
      store->RecordSubmitResult(id, accepted, kSCTS, accepted ? "" : "03 Syntax error", 42);
      store->Flush();
      std::optional<THistoryStory> story = store->Story(id);
      ASSERT_TRUE(story.has_value());
      EXPECT_GT(story->Row.StatusTime, story->Row.Time + 50000) << "the status is the result's";
      ASSERT_EQ(story->Events.size(), 2u);
      EXPECT_EQ(story->Events[1].Time, story->Row.StatusTime);
      stories.push_back(std::move(*story));
    }
    ASSERT_EQ(stories.size(), 2u);
    const THistoryStory &same = stories[0], &later = stories[1];
    EXPECT_EQ(same.Row.Status, accepted ? hs::kAccepted : hs::kFailed);
    EXPECT_EQ(same.Row.Status, later.Row.Status);
    EXPECT_EQ(same.Row.SCTS, later.Row.SCTS);
    EXPECT_EQ(same.Row.Error, later.Row.Error);
    EXPECT_EQ(same.TRN, 42);
    EXPECT_EQ(same.TRN, later.TRN);
    EXPECT_EQ(Kinds(same), Kinds(later));
    EXPECT_EQ(same.Events[1].Text, later.Events[1].Text);
  }
}

// One step of a matching case: a submit (to Number), its result (accepted in
// Second, of the Submit-th submit), a notification (to Number, of Second,
// with Status), or a Flush between batches.
struct TStep {
  char Kind;  // 's', 'a', 'n', 'f'
  std::string Number;
  int Submit = 0;
  int Second = 0;
  int Status = 0;
};
TStep S(std::string aNumber) {
  return {'s', std::move(aNumber)};
}
TStep A(int aSubmit, int aSecond) {
  return {'a', "", aSubmit, aSecond};
}
TStep N(std::string aNumber, int aSecond, int aStatus) {
  return {'n', std::move(aNumber), 0, aSecond, aStatus};
}
const TStep F{'f', ""};

// The recipient of a notification as the engine reads it from the SMSC,
// which echoes the address the engine wrote.
std::string Echoed(const std::string& aNumber, const std::string& aPrefix) {
  TParams params;
  params.SetValue("SMT_INT_PREFIX", aPrefix);
  return FromSmscAddress(ToSmscAddress(aNumber, params));
}

struct TMatchCase {
  const char* Name;
  std::vector<TStep> Steps;
  std::vector<std::string_view> Statuses;  // of the submits, in order
  int64_t Unmatched;
};

TEST_F(MessageStoreTest, NotificationsFindTheirSubmits) {
  const std::string plus = "+31612345678";
  const std::vector<TMatchCase> cases = {
      {"plus number, prefix 00",
       {S(plus), A(0, 0), N(Echoed(plus, "00"), 0, 0)},
       {hs::kDelivered},
       0},
      {"plus number, no prefix",
       {S(plus), A(0, 0), N(Echoed(plus, ""), 0, 0)},
       {hs::kDelivered},
       0},
      {"short number", {S("1234"), A(0, 0), N(Echoed("1234", ""), 0, 2)}, {hs::kNotDelivered}, 0},
      {"two in the same second",
       {S(plus), S(plus), A(0, 0), A(1, 0), N(plus, 0, 0), N(plus, 0, 2)},
       {hs::kDelivered, hs::kNotDelivered},
       0},
      {"another second is another message", {S(plus), A(0, 0), N(plus, 1, 0)}, {hs::kAccepted}, 1},
      {"another number is another message",
       {S(plus), A(0, 0), N("+31612345679", 0, 0)},
       {hs::kAccepted},
       1},
      {"buffered, then delivered",
       {S(plus), A(0, 0), N(plus, 0, 1), F, N(plus, 0, 0)},
       {hs::kDelivered},
       0},
      {"delivered stays delivered",
       {S(plus), A(0, 0), N(plus, 0, 0), F, N(plus, 0, 2), N(plus, 0, 1)},
       {hs::kDelivered},
       0},
      {"notification before result, same batch",
       {S(plus), N(plus, 0, 0), A(0, 0)},
       {hs::kDelivered},
       0},
      {"notification before result, next batch",
       {S(plus), N(plus, 0, 1), F, A(0, 0)},
       {hs::kBuffered},
       0},
      {"nobody's notification", {N(plus, 0, 0)}, {}, 1},
  };
  for (const TMatchCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir caseDir;
    TListener caseListener;
    TMessageStore store(caseDir.File("messages.db"), {}, caseListener.Handlers());
    std::vector<int64_t> ids;
    for (const TStep& step : c.Steps) {
      switch (step.Kind) {
        case 's':
          ids.push_back(store.RecordSubmit(Submit(step.Number)));
          break;
        case 'a':
          store.RecordSubmitResult(ids.at(step.Submit), true, kSCTS + step.Second * kSecond, "");
          break;
        case 'n':
          store.RecordNotification(Notification(step.Number, kSCTS + step.Second * kSecond,
                                                static_cast<uint8_t>(step.Status)));
          break;
        default:
          store.Flush();
      }
    }
    store.Flush();
    for (size_t i = 0; i < c.Statuses.size(); ++i) {
      const std::optional<THistoryStory> story = store.Story(ids[i]);
      ASSERT_TRUE(story.has_value());
      EXPECT_EQ(story->Row.Status, c.Statuses[i]) << "submit " << i;
    }
    THistoryFilter notifications;
    notifications.Direction = kDirectionNotification;
    EXPECT_EQ(store.Count(notifications), c.Unmatched);
    EXPECT_EQ(store.Count({}), static_cast<int64_t>(ids.size()) + c.Unmatched);
    // No notification is lost: each is an event of one message.
    int64_t events = 0;
    for (const THistoryRow& row : store.Query({}, THistorySort::OldestFirst, 0, 100)) {
      const std::optional<THistoryStory> story = store.Story(row.Id);
      for (const THistoryEvent& event : story->Events) events += event.Kind == "notification";
    }
    int64_t sent = 0;
    for (const TStep& step : c.Steps) sent += step.Kind == 'n';
    EXPECT_EQ(events, sent);
    EXPECT_TRUE(caseListener.Problems().empty());
  }
}

TEST_F(MessageStoreTest, AnEarlyNotificationsRowGoesWhenItsSubmitIsAnswered) {
  auto store = Open();
  const int64_t id = store->RecordSubmit(Submit("0612345678"));
  store->RecordNotification(Notification("0612345678", kSCTS, 0));
  store->Flush();
  const std::vector<THistoryRow> early = store->Query({}, THistorySort::NewestFirst, 0, 10);
  ASSERT_EQ(early.size(), 2u);
  EXPECT_EQ(early[0].Status, hs::kUnmatched);
  store->RecordSubmitResult(id, true, kSCTS, "");
  store->Flush();
  EXPECT_EQ(store->Count({}), 1);
  EXPECT_EQ(listener.Changes().back(), std::make_pair(early[0].Id, std::string(hs::kMatched)));
  EXPECT_EQ(store->Story(id)->Row.Status, hs::kDelivered);
  // The number index lost the row with it.
  EXPECT_EQ(TRawDb(path).Exec(kIndexCheck), SQLITE_OK);
}

TEST_F(MessageStoreTest, QueriesFilterAndSort) {
  auto store = Open();
  const int64_t plus = store->RecordSubmit(Submit("+31612345678", "Good morning"));
  const int64_t zeros = store->RecordSubmit(Submit("0031699999999", "Good night"));
  const int64_t local = store->RecordSubmit(Submit("0612345678", "Lunch?"));
  store->RecordSubmitResult(plus, true, kSCTS, "");
  store->RecordSubmitResult(local, false, 0, "Syntax error");
  TRetrieveDeliverySMItem mobile;
  mobile.OA = "0687654321";
  mobile.Msg = "Good evening";
  const int64_t in = store->RecordReceived(mobile);
  store->Flush();

  const auto anywhere = [](std::string aDigits) {
    THistoryFilter filter = Where(&THistoryFilter::Number, aDigits);
    filter.NumberAnywhere = true;
    return filter;
  };
  const auto since = [](int64_t aTime) {
    THistoryFilter filter;
    filter.Since = aTime;
    return filter;
  };
  struct TQueryCase {
    const char* Name;
    THistoryFilter Filter;
    THistorySort Sort;
    std::vector<int64_t> Ids;
  };
  const std::vector<TQueryCase> cases = {
      {"all, newest first", {}, THistorySort::NewestFirst, {in, local, zeros, plus}},
      {"all, oldest first", {}, THistorySort::OldestFirst, {plus, zeros, local, in}},
      {"by number", {}, THistorySort::Number, {local, in, plus, zeros}},
      {"by status", {}, THistorySort::Status, {plus, local, in, zeros}},
      {"international prefix",
       Where(&THistoryFilter::Number, "+316"),
       THistorySort::OldestFirst,
       {plus, zeros}},
      {"national prefix",
       Where(&THistoryFilter::Number, "06"),
       THistorySort::OldestFirst,
       {local, in}},
      {"digits anywhere", anywhere("2345"), THistorySort::OldestFirst, {plus, local}},
      {"two digits anywhere", anywhere("99"), THistorySort::OldestFirst, {zeros}},
      {"text", Where(&THistoryFilter::Text, "Good"), THistorySort::OldestFirst, {plus, zeros, in}},
      {"status", Where(&THistoryFilter::Status, hs::kFailed), THistorySort::OldestFirst, {local}},
      {"direction",
       Where(&THistoryFilter::Direction, kDirectionIn),
       THistorySort::OldestFirst,
       {in}},
      {"since an hour ago",
       since(NowMillis() - 3600000),
       THistorySort::OldestFirst,
       {plus, zeros, local, in}},
      {"since the next hour", since(NowMillis() + 3600000), THistorySort::OldestFirst, {}},
  };
  for (const TQueryCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<int64_t> ids;
    for (const THistoryRow& row : store->Query(c.Filter, c.Sort, 0, 100)) ids.push_back(row.Id);
    EXPECT_EQ(ids, c.Ids);
    EXPECT_EQ(store->Count(c.Filter), static_cast<int64_t>(c.Ids.size()));
  }
  const std::vector<THistoryRow> page = store->Query({}, THistorySort::NewestFirst, 1, 2);
  ASSERT_EQ(page.size(), 2u);
  EXPECT_EQ(page[0].Id, local);
  EXPECT_EQ(page[1].Id, zeros);
  EXPECT_EQ(store->Story(local)->Row.Error, "Syntax error");
}

TEST_F(MessageStoreTest, IdsKeepGrowingAcrossReopeningAndTheSchemaVersionIsKept) {
  int64_t first;
  {
    auto store = Open();
    first = store->RecordSubmit(Submit("0612345678"));
    EXPECT_EQ(store->RecordSubmit(Submit("0612345678")), first + 1);
  }
  auto store = Open();
  EXPECT_EQ(store->RecordSubmit(Submit("0612345678")), first + 2);
  store->Flush();
  EXPECT_EQ(store->Count({}), 3);
  EXPECT_EQ(TRawDb(path).Number("PRAGMA user_version"), TMessageStore::kSchemaVersion);
}

// A store that cannot be used as it is: the record calls go on answering
// (with 0 where nothing can be recorded), and the trouble is told once.
TEST_F(MessageStoreTest, ABadStoreAtOpeningIsReportedOnceAndTrafficGoesOn) {
  struct TBadCase {
    const char* Name;
    std::function<void(const std::string& aPath)> Prepare;
    std::string Problem;  // what the report begins with, after the file's name
    bool Records;         // recording works nevertheless
    std::function<void(const std::string& aPath)> Check;
  };
  const std::string junk(5000, 'x');
  const auto makeStore = [](const std::string& aPath) {
    TMessageStore store(aPath, {}, {});
    ASSERT_EQ(store.Problem(), "");
    store.RecordSubmit(Submit("0612345678"));
  };
  std::unique_ptr<TMessageStore> holder;
  int64_t holderId = 0;
  std::unique_ptr<TRawDb> locker;
  const std::vector<TBadCase> cases = {
      {"missing folders", [](const std::string&) {}, "", true,
       [](const std::string& aPath) {
         const std::filesystem::path folder = std::filesystem::path(aPath).parent_path();
         EXPECT_EQ(ModeOf(aPath), 0600u);
         EXPECT_EQ(ModeOf(folder.string()), 0700u);
         EXPECT_EQ(ModeOf(folder.parent_path().string()), 0700u);
       }},
      {"open to others",
       [](const std::string& aPath) {
         std::filesystem::create_directories(std::filesystem::path(aPath).parent_path());
         WriteText(aPath, "");
         ::chmod(aPath.c_str(), 0644);
       },
       "", true, [](const std::string& aPath) { EXPECT_EQ(ModeOf(aPath), 0600u); }},
      {"read-only",
       [&](const std::string& aPath) {
         makeStore(aPath);
         ::chmod(aPath.c_str(), 0444);
       },
       " cannot be written: the file is read-only", false,
       [&](const std::string& aPath) {
         EXPECT_EQ(TMessageStore(aPath, {}, {}).Count({}), 1) << "still readable";
       }},
      {"corrupt",
       [&](const std::string& aPath) {
         std::filesystem::create_directories(std::filesystem::path(aPath).parent_path());
         WriteText(aPath, junk);
       },
       " was corrupt; moved aside to ", true,
       [&](const std::string& aPath) {
         int aside = 0;
         for (const auto& entry :
              std::filesystem::directory_iterator(std::filesystem::path(aPath).parent_path())) {
           if (entry.path().filename().string().rfind("messages.db.corrupt-", 0) == 0) {
             ++aside;
             EXPECT_EQ(ReadText(entry.path().string()), junk);
           }
         }
         EXPECT_EQ(aside, 1);
       }},
      {"newer schema",
       [&](const std::string& aPath) {
         makeStore(aPath);
         TRawDb(aPath).Exec("PRAGMA user_version = 99");
       },
       " was written by a newer Qorvel (schema version 99, this one knows up to 1)", false,
       [&](const std::string& aPath) {
         TRawDb db(aPath);
         EXPECT_EQ(db.Number("PRAGMA user_version"), 99);
         EXPECT_EQ(db.Number("SELECT count(*) FROM messages"), 1);
       }},
      // One Qorvel ending while the next starts: both record, under ids of
      // their own.
      {"shared with another Qorvel",
       [&](const std::string& aPath) {
         holder =
             std::make_unique<TMessageStore>(aPath, THistoryLimits{}, TMessageStore::THandlers{});
         holderId = holder->RecordSubmit(Submit("0699999999", "first"));
       },
       "", true,
       [&](const std::string&) {
         const int64_t late = holder->RecordSubmit(Submit("0699999999", "second"));
         holder->Flush();
         EXPECT_EQ(holder->Count({}), 5) << "three, and the holder's two";
         ASSERT_TRUE(holder->Story(holderId).has_value());
         EXPECT_EQ(holder->Story(holderId)->Row.Text, "first");
         ASSERT_TRUE(holder->Story(late).has_value());
         EXPECT_EQ(holder->Story(late)->Row.Text, "second");
         holder.reset();
       }},
      {"locked by another program",
       [&](const std::string& aPath) {
         makeStore(aPath);
         locker = std::make_unique<TRawDb>(aPath);
         ASSERT_EQ(locker->Exec("PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE;"
                                "UPDATE messages SET source = 'x'"),
                   SQLITE_OK);
       },
       " cannot be opened: it is locked by another program", false,
       [&](const std::string&) { locker.reset(); }},
  };
  for (const TBadCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir caseDir;
    const std::string casePath = caseDir.File("a/b/messages.db");
    c.Prepare(casePath);
    TListener caseListener;
    {
      TMessageStore store(casePath, {}, caseListener.Handlers());
      int64_t id = 0;
      for (int i = 0; i < 3; ++i) {
        EXPECT_NO_THROW(id = store.RecordSubmit(Submit("0612345678")));
        EXPECT_NO_THROW(store.RecordSubmitResult(id, true, kSCTS, ""));
        EXPECT_NO_THROW(store.RecordNotification(Notification("0612345678", kSCTS, 0)));
        EXPECT_EQ(id != 0, c.Records);
      }
      store.Flush();
      if (c.Problem.empty()) {
        EXPECT_EQ(store.Problem(), "");
      } else {
        ASSERT_TRUE(caseListener.WaitForProblems(1));
        EXPECT_EQ(caseListener.Problems().front().rfind("History store " + casePath + c.Problem, 0),
                  0u)
            << caseListener.Problems().front();
        EXPECT_EQ(store.Problem(), caseListener.Problems().front());
      }
      if (c.Records) {
        EXPECT_EQ(store.Story(id)->Row.Status, hs::kDelivered);
      }
    }
    EXPECT_LE(caseListener.Problems().size(), 1u);
    c.Check(casePath);
  }
}
// Trouble while running: the records wait in memory and the batch is tried
// again, the trouble told once however often it recurs.
TEST_F(MessageStoreTest, ALockTakenWhileRunningDelaysTheRecordsOnly) {
  auto store = Open();
  ASSERT_GT(store->RecordSubmit(Submit("0612345678")), 0);
  store->Flush();
  TRawDb locker(path);
  ASSERT_EQ(locker.Exec("BEGIN EXCLUSIVE"), SQLITE_OK);
  std::vector<int64_t> ids;
  for (int i = 0; i < 10; ++i) {
    EXPECT_NO_THROW(ids.push_back(store->RecordSubmit(Submit("0612345678"))));
    EXPECT_GT(ids.back(), 0);
    store->RecordSubmitResult(ids.back(), true, kSCTS + i * kSecond, "");
  }
  store->Flush();  // returns at the failed commit
  store->Flush();  // and at the next one
  ASSERT_TRUE(listener.WaitForProblems(1));
  EXPECT_EQ(listener.Problems(),
            (std::vector<std::string>{"History store " + path +
                                      " cannot be written: it is locked by another program"}));
  ASSERT_EQ(locker.Exec("COMMIT"), SQLITE_OK);
  store->Flush();
  EXPECT_EQ(store->Count(Where(&THistoryFilter::Status, hs::kAccepted)), 10);
  EXPECT_EQ(store->Stats().Dropped, 0);
}

TEST_F(MessageStoreTest, AFullDiskKeepsTheQueueBoundedAndTrafficGoing) {
  // The schema takes some 20 pages; a few more fill up at once.
  auto store = Open(Limits(90, 0, 30));
  const std::string text(150, 'x');
  int64_t recorded = 0;
  for (size_t i = 0; i < TMessageStore::kQueueLimit + 2 * TMessageStore::kBatchRecords; ++i) {
    int64_t id = 0;
    EXPECT_NO_THROW(id = store->RecordSubmit(Submit("0612345678", text)));
    recorded += id != 0;
    if (i == 1000) {
      store->Flush();
      ASSERT_TRUE(listener.WaitForProblems(1));
    }
  }
  store->Flush();
  const std::vector<std::string> problems = listener.Problems();
  ASSERT_GE(problems.size(), 2u);
  EXPECT_EQ(problems[0], "History store " + path + " cannot be written: disk is full");
  EXPECT_EQ(problems[1],
            "History store " + path + " is not keeping up; messages are left out of it");
  EXPECT_EQ(problems.size(), 2u);
  const THistoryStats stats = store->Stats();
  EXPECT_LE(stats.Queued, static_cast<int64_t>(TMessageStore::kQueueLimit));
  EXPECT_GT(stats.Dropped, 0);
  EXPECT_EQ(recorded + stats.Dropped,
            static_cast<int64_t>(TMessageStore::kQueueLimit + 2 * TMessageStore::kBatchRecords));
}

TEST_F(MessageStoreTest, RetentionRemovesOldAndSurplusRowsWithTheirEvents) {
  const int64_t now = NowMillis();
  std::vector<int64_t> recent;
  {
    auto store = Open(Limits(0));
    // More than one chunk of old rows.
    for (int i = 0; i < 2500; ++i) {
      THistorySubmit old = Submit("0612345678");
      old.Time = now - 3 * 86400000LL + i;
      store->RecordSubmitResult(store->RecordSubmit(old), false, 0, "Syntax error");
    }
    for (int i = 0; i < 3; ++i) recent.push_back(store->RecordSubmit(Submit("0612345678")));
    store->Flush();
    EXPECT_EQ(store->Count({}), 2503) << "KeepDays 0 keeps everything";
  }
  {
    auto store = Open(Limits(2));
    store->Flush();
    std::vector<int64_t> ids;
    for (const THistoryRow& row : store->Query({}, THistorySort::OldestFirst, 0, 10))
      ids.push_back(row.Id);
    EXPECT_EQ(ids, recent);
  }
  {
    auto store = Open(Limits(2, 1));
    store->Flush();
    const std::vector<THistoryRow> rows = store->Query({}, THistorySort::OldestFirst, 0, 10);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].Id, recent.back());
  }
  TRawDb db(path);
  EXPECT_EQ(db.Number("SELECT count(*) FROM events"), 1);
  EXPECT_EQ(db.Exec(kIndexCheck), SQLITE_OK);
}
TEST_F(MessageStoreTest, TheLimitsComeFromEmiIniWithinTheirRanges) {
  const std::string ini = dir.File("EMI.INI");
  struct TCase {
    const char* Lines;
    int KeepDays;
    int64_t MaxMessages;
    const char* Error;  // after the file's name; nullptr: none
  };
  const std::vector<TCase> cases = {
      {"", 90, 0, nullptr},
      {"KeepDays=7\nMaxMessages=5000\n", 7, 5000, nullptr},
      {"KeepDays=0\n", 0, 0, nullptr},
      {"KeepDays=-1\n", 0, 0, " [History] KeepDays: \"-1\" is not a whole number from 0 to 36500"},
      {"MaxMessages=many\n", 0, 0,
       " [History] MaxMessages: \"many\" is not a whole number from 0 to 1000000000"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Lines);
    WriteText(ini, std::string("[History]\n") + c.Lines);
    if (c.Error == nullptr) {
      const THistoryLimits limits = HistoryLimitsOf(TIniFile(ini));
      EXPECT_EQ(limits.KeepDays, c.KeepDays);
      EXPECT_EQ(limits.MaxMessages, c.MaxMessages);
    } else {
      try {
        HistoryLimitsOf(TIniFile(ini));
        ADD_FAILURE() << "accepted";
      } catch (const EIniFileError& e) {
        EXPECT_EQ(std::string(e.what()), ini + c.Error);
      }
    }
  }
}

}  // namespace
}  // namespace qorvel::testing
