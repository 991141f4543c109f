#include "app/message_store.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "config/file_replace.h"
#include "config/settings.h"
#include "emi/codec.h"
#include "emi/codes.h"

namespace qorvel {

namespace hs = history_status;

namespace {

// How long the writer waits between attempts at a store that failed, and
// between retention passes.
constexpr int kRetryMillis = 1000;
constexpr int64_t kRetentionEveryMillis = 10 * 60 * 1000;
// Rows removed per retention transaction: short enough that a batch never
// waits long behind it.
constexpr int kRetentionChunk = 1000;
constexpr int kMaxQueryRows = 10000;

class ESqlite : public std::runtime_error {
 public:
  ESqlite(int aCode, const std::string& aMessage) : std::runtime_error(aMessage), code(aCode) {}
  int code;
};

int64_t SteadyMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// SCTS and DSCTS are stored as whole seconds of the local date: the SMSC's
// stamps carry no more, and doubles of the same second need not be equal.
int64_t Seconds(TDateTime aValue) {
  return aValue == 0 ? 0 : std::llround(aValue * 86400.0);
}
TDateTime FromSeconds(int64_t aSeconds) {
  return static_cast<double>(aSeconds) / 86400.0;
}

bool IsFinal(std::string_view aStatus) {
  return aStatus == hs::kDelivered || aStatus == hs::kNotDelivered || aStatus == hs::kFailed;
}

std::string DeliveryStatusName(int aStatus) {
  switch (aStatus) {
    case 0:
      return std::string(hs::kDelivered);
    case 1:
      return std::string(hs::kBuffered);
    case 2:
      return std::string(hs::kNotDelivered);
    default:
      return "status " + std::to_string(aStatus);
  }
}

bool IsDeliveryStatus(std::string_view aName) {
  return aName == hs::kDelivered || aName == hs::kBuffered || aName == hs::kNotDelivered;
}

// Why SQLite failed, as the user reads it.
std::string Reason(int aCode, const std::string& aMessage) {
  switch (aCode & 0xff) {
    case SQLITE_FULL:
      return "disk is full";
    case SQLITE_READONLY:
      return "the file is read-only";
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "it is locked by another program";
    default:
      return aMessage;
  }
}

class TStatement {
 public:
  TStatement(sqlite3* aDb, const char* aSql) : db_(aDb) {
    if (int rc = sqlite3_prepare_v3(aDb, aSql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
        rc != SQLITE_OK) {
      throw ESqlite(rc, sqlite3_errmsg(aDb));
    }
  }
  ~TStatement() { sqlite3_finalize(stmt_); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  TStatement& BindInt(int aIndex, int64_t aValue) {
    Check(sqlite3_bind_int64(stmt_, aIndex, aValue));
    return *this;
  }
  TStatement& BindReal(int aIndex, double aValue) {
    Check(sqlite3_bind_double(stmt_, aIndex, aValue));
    return *this;
  }
  TStatement& BindText(int aIndex, std::string_view aText) {
    Check(sqlite3_bind_text(stmt_, aIndex, aText.data(), static_cast<int>(aText.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  TStatement& BindBlob(int aIndex, std::string_view aOctets) {
    Check(sqlite3_bind_blob(stmt_, aIndex, aOctets.data(), static_cast<int>(aOctets.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  TStatement& BindNull(int aIndex) {
    Check(sqlite3_bind_null(stmt_, aIndex));
    return *this;
  }
  // Optional small numbers: -1 is none.
  TStatement& BindOptional(int aIndex, int aValue) {
    return aValue < 0 ? BindNull(aIndex) : BindInt(aIndex, aValue);
  }
  // True while there is a row.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const std::string message = sqlite3_errmsg(db_);
    sqlite3_reset(stmt_);
    throw ESqlite(rc, message);
  }
  // Runs a statement that returns no rows, and makes it ready again.
  void Run() {
    Step();
    Reset();
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t Int(int aColumn) const { return sqlite3_column_int64(stmt_, aColumn); }
  int OptionalInt(int aColumn) const {
    return IsNull(aColumn) ? -1 : static_cast<int>(sqlite3_column_int64(stmt_, aColumn));
  }
  double Real(int aColumn) const { return sqlite3_column_double(stmt_, aColumn); }
  bool IsNull(int aColumn) const { return sqlite3_column_type(stmt_, aColumn) == SQLITE_NULL; }
  std::string Text(int aColumn) const {
    const void* data = sqlite3_column_blob(stmt_, aColumn);
    const int size = sqlite3_column_bytes(stmt_, aColumn);
    return data == nullptr ? std::string() : std::string(static_cast<const char*>(data), size);
  }

 private:
  void Check(int aCode) {
    if (aCode != SQLITE_OK) throw ESqlite(aCode, sqlite3_errmsg(db_));
  }

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

struct TCloseDb {
  void operator()(sqlite3* aDb) const { sqlite3_close_v2(aDb); }
};
using TDbHandle = std::unique_ptr<sqlite3, TCloseDb>;

TDbHandle OpenDb(const std::string& aPath, int aFlags) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(aPath.c_str(), &raw, aFlags | SQLITE_OPEN_NOMUTEX, nullptr);
  TDbHandle db(raw);
  if (rc != SQLITE_OK) {
    std::string message = raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    if (const int error = raw != nullptr ? sqlite3_system_errno(raw) : 0; error != 0)
      message = strerror(error);
    throw ESqlite(rc, message);
  }
  sqlite3_extended_result_codes(raw, 1);
  return db;
}

void Exec(sqlite3* aDb, const char* aSql) {
  char* error = nullptr;
  if (int rc = sqlite3_exec(aDb, aSql, nullptr, nullptr, &error); rc != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw ESqlite(rc, message);
  }
}

// Version 1. Times are milliseconds since 1970 UTC; scts and dscts whole
// seconds of the local OLE date, 0 unknown. Ids are handed out by the
// program, so that a record call can answer before the row exists.
constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE messages (
  id INTEGER PRIMARY KEY,
  time INTEGER NOT NULL,
  direction TEXT NOT NULL,
  source TEXT NOT NULL DEFAULT '',
  number TEXT NOT NULL,
  number_key TEXT NOT NULL,
  own_address TEXT NOT NULL DEFAULT '',
  text BLOB NOT NULL DEFAULT x'',
  binary INTEGER NOT NULL DEFAULT 0,
  mcls INTEGER, pid INTEGER, nt INTEGER, rpi INTEGER, vp REAL NOT NULL DEFAULT 0,
  trn INTEGER,
  status TEXT NOT NULL,
  status_time INTEGER NOT NULL,
  scts INTEGER NOT NULL DEFAULT 0,
  dscts INTEGER NOT NULL DEFAULT 0,
  reason INTEGER,
  error TEXT NOT NULL DEFAULT ''
);
CREATE INDEX messages_time ON messages(time);
CREATE INDEX messages_number ON messages(number_key, scts);
CREATE INDEX messages_status ON messages(status, id);
CREATE TABLE events (
  id INTEGER PRIMARY KEY,
  message_id INTEGER NOT NULL,
  time INTEGER NOT NULL,
  kind TEXT NOT NULL,
  status TEXT NOT NULL DEFAULT '',
  scts INTEGER NOT NULL DEFAULT 0,
  dscts INTEGER NOT NULL DEFAULT 0,
  reason INTEGER,
  text TEXT NOT NULL DEFAULT '',
  message TEXT NOT NULL DEFAULT ''
);
CREATE INDEX events_message ON events(message_id);
-- Numbers found by any part of them, through their three-character pieces.
-- The writer feeds it once a batch, not by trigger: FTS5 writes its pending
-- terms out at every statement, which would cost a segment for every row.
CREATE VIRTUAL TABLE numbers USING fts5(number_key, content='messages', content_rowid='id',
                                        tokenize='trigram');
)sql";

// kMigrations[v] brings a store of version v to v + 1.
constexpr const char* kMigrations[] = {kSchemaV1};
static_assert(std::size(kMigrations) == TMessageStore::kSchemaVersion);

constexpr const char* kRowColumns =
    "id, time, direction, source, number, text, binary, status, status_time, scts, error";

std::string JsonList(const std::vector<int64_t>& aIds) {
  std::string list = "[";
  for (int64_t id : aIds) {
    if (list.size() > 1) list += ',';
    list += std::to_string(id);
  }
  return list + "]";
}

THistoryRow ReadRow(const TStatement& aRow) {
  THistoryRow row;
  row.Id = aRow.Int(0);
  row.Time = aRow.Int(1);
  row.Direction = aRow.Text(2);
  row.Source = aRow.Text(3);
  row.Number = aRow.Text(4);
  row.Text = aRow.Text(5);
  row.Binary = aRow.Int(6) != 0;
  row.Status = aRow.Text(7);
  row.StatusTime = aRow.Int(8);
  row.SCTS = FromSeconds(aRow.Int(9));
  row.Error = aRow.Text(10);
  return row;
}

std::string LocalStamp() {
  const time_t now = ::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  char text[32];
  ::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

bool Exists(const std::string& aPath) {
  struct stat st;
  return ::lstat(aPath.c_str(), &st) == 0;
}

// Creates the missing folders of aFolder, each readable by its owner only.
bool MakeFolders(const std::string& aFolder) {
  if (aFolder.empty() || Exists(aFolder)) return true;
  const size_t slash = aFolder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(aFolder.substr(0, slash)))
    return false;
  return ::mkdir(aFolder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

std::string MatchKey(std::string_view aNumber) {
  if (!aNumber.empty() && (aNumber[0] == '+' || aNumber[0] == '#')) aNumber.remove_prefix(1);
  if (aNumber.substr(0, 2) == "00") aNumber.remove_prefix(2);
  return std::string(aNumber);
}

THistoryLimits HistoryLimitsOf(const TIniFile& aIni) {
  THistoryLimits limits;
  limits.KeepDays = ReadInRange(aIni, settings::kHistoryKeepDays, 0, settings::kHistoryKeepDaysMax);
  limits.MaxMessages =
      ReadInRange(aIni, settings::kHistoryMaxMessages, 0, settings::kHistoryMaxMessagesMax);
  return limits;
}

THistorySubmit HistorySubmitOf(const TSubmitItem& aItem, std::string aSource) {
  THistorySubmit submit;
  submit.Source = std::move(aSource);
  submit.Number = aItem.DA;
  submit.Text = aItem.Msg;
  submit.Binary = aItem.Binary;
  submit.MCLs = aItem.MCLs;
  submit.PID = aItem.PID;
  submit.NT = aItem.NT;
  submit.RPI = aItem.RPI;
  submit.VP = aItem.VP;
  return submit;
}

namespace {

// What one batch changed: every message once, with its last status, in the
// order of their first change.
class TChanges {
 public:
  void Set(int64_t aId, std::string_view aStatus) {
    auto [at, fresh] = index_.try_emplace(aId, list_.size());
    if (fresh) {
      list_.push_back({aId, std::string(aStatus)});
    } else {
      list_[at->second].Status = aStatus;
    }
  }
  std::vector<THistoryStatusChange> Take() { return std::move(list_); }

 private:
  std::vector<THistoryStatusChange> list_;
  std::unordered_map<int64_t, size_t> index_;
};

}  // namespace

// The writer's connection, its lock on the file and its statements.
class TMessageStore::TWriter {
 public:
  TDbHandle db;
  int lockFd = -1;
  std::unique_ptr<TStatement> insertMessage, insertEvent, selectForResult, updateResult, findMatch,
      findUnmatched, updateStatus, moveEvents, markMatched, firstEvent, indexNumbers,
      unindexNumbers, deleteEvents, deleteMessages;
  // Rows of the batch under way: made, and to be removed at its end.
  std::vector<int64_t> made, doomed;

  ~TWriter() {
    insertMessage.reset();
    insertEvent.reset();
    selectForResult.reset();
    updateResult.reset();
    findMatch.reset();
    findUnmatched.reset();
    updateStatus.reset();
    moveEvents.reset();
    markMatched.reset();
    indexNumbers.reset();
    unindexNumbers.reset();
    deleteEvents.reset();
    deleteMessages.reset();
    firstEvent.reset();
    db.reset();
    // Only after SQLite let go: closing any descriptor of the file drops the
    // process's locks on it.
    if (lockFd >= 0) ::close(lockFd);
  }

  // Applies one record; aNextId hands out ids for rows of the writer's own.
  // aResult, for a submit only: its result, from later in the same batch,
  // written with it (and then not applied on its own).
  void Apply(const TRecord& aRecord, TChanges& aChanges, const std::function<int64_t()>& aNextId,
             const TRecord* aResult = nullptr);
  // Indexes the numbers of the rows made and removes the doomed ones.
  void EndBatch() {
    std::vector<int64_t> indexed;
    for (int64_t id : doomed) {
      if (auto at = std::find(made.begin(), made.end(), id); at != made.end()) {
        made.erase(at);
      } else {
        indexed.push_back(id);
      }
    }
    Remove(indexed, doomed);
    if (!made.empty()) indexNumbers->BindText(1, JsonList(made)).Run();
    made.clear();
    doomed.clear();
  }
  // Removes rows and their events; aIndexed those of them in the number index.
  void Remove(const std::vector<int64_t>& aIndexed, const std::vector<int64_t>& aRows) {
    if (!aIndexed.empty()) unindexNumbers->BindText(1, JsonList(aIndexed)).Run();
    if (aRows.empty()) return;
    const std::string rows = JsonList(aRows);
    deleteEvents->BindText(1, rows).Run();
    deleteMessages->BindText(1, rows).Run();
  }

  void Prepare() {
    sqlite3* d = db.get();
    insertMessage = std::make_unique<TStatement>(
        d,
        "INSERT INTO messages (id, time, direction, source, number, number_key, own_address, text,"
        " binary, mcls, pid, nt, rpi, vp, status, status_time, scts, dscts, reason, error, trn)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?20, ?16, ?17,"
        " ?18, ?19, ?21)");
    insertEvent = std::make_unique<TStatement>(
        d,
        "INSERT INTO events (message_id, time, kind, status, scts, dscts, reason, text, message)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    selectForResult =
        std::make_unique<TStatement>(d, "SELECT status, number_key FROM messages WHERE id = ?");
    updateResult = std::make_unique<TStatement>(
        d,
        "UPDATE messages SET status = ?, status_time = ?, scts = ?, error = ?, trn = ?"
        " WHERE id = ?");
    // The oldest submit not yet final, else the oldest final one (which then
    // only gains an event).
    findMatch = std::make_unique<TStatement>(
        d,
        "SELECT id, status FROM messages WHERE number_key = ? AND scts = ? AND direction = 'out'"
        " AND status <> 'failed'"
        " ORDER BY status IN ('delivered', 'not delivered'), id LIMIT 1");
    findUnmatched = std::make_unique<TStatement>(
        d,
        "SELECT id FROM messages WHERE number_key = ? AND scts = ?"
        " AND direction = 'notification' AND status = 'unmatched' ORDER BY id");
    updateStatus = std::make_unique<TStatement>(
        d,
        "UPDATE messages SET status = ?, status_time = ?, dscts = ?, reason = ?, error = ?"
        " WHERE id = ?");
    moveEvents =
        std::make_unique<TStatement>(d, "UPDATE events SET message_id = ? WHERE message_id = ?");
    markMatched =
        std::make_unique<TStatement>(d, "UPDATE messages SET status = 'matched' WHERE id = ?");
    // Each takes the ids of many rows as one JSON array, so that the number
    // index sees one statement a batch.
    indexNumbers = std::make_unique<TStatement>(
        d,
        "INSERT INTO numbers (rowid, number_key) SELECT id, number_key FROM messages"
        " WHERE id IN (SELECT value FROM json_each(?))");
    unindexNumbers = std::make_unique<TStatement>(
        d,
        "INSERT INTO numbers (numbers, rowid, number_key) SELECT 'delete', id, number_key"
        " FROM messages WHERE id IN (SELECT value FROM json_each(?))");
    deleteEvents = std::make_unique<TStatement>(
        d, "DELETE FROM events WHERE message_id IN (SELECT value FROM json_each(?))");
    deleteMessages = std::make_unique<TStatement>(
        d, "DELETE FROM messages WHERE id IN (SELECT value FROM json_each(?))");
    firstEvent = std::make_unique<TStatement>(
        d,
        "SELECT time, status, dscts, reason, text FROM events WHERE message_id = ?"
        " ORDER BY id LIMIT 1");
  }
};

// A read-only connection of one thread at a time.
class TMessageStore::TReader {
 public:
  TDbHandle db;
  int64_t generation = 0;
};

int64_t TMessageStore::NowMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TMessageStore::TMessageStore(std::string aPath, THistoryLimits aLimits, THandlers aHandlers)
    : path_(std::move(aPath)), limits_(aLimits), handlers_(std::move(aHandlers)) {
  if (path_.empty()) return;
  Open();
  thread_ = std::thread([this] { WriterLoop(); });
}

TMessageStore::~TMessageStore() {
  if (!thread_.joinable()) return;
  {
    TLockGuard g(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  {
    TLockGuard g(readLock_);
    idleReaders_.clear();
  }
  // Last: it holds the descriptor whose closing drops the process's locks.
  writer_.reset();
}

void TMessageStore::TWriter::Apply(const TRecord& aRecord, TChanges& aChanges,
                                   const std::function<int64_t()>& aNextId,
                                   const TRecord* aResult) {
  const int64_t time = aRecord.Time;
  auto addEventAt = [&](int64_t aTime, int64_t aId, std::string_view aKind,
                        std::string_view aStatus, int64_t aSCTS, int64_t aDSCTS, int aReason,
                        std::string_view aText, std::string_view aMessage) {
    insertEvent->BindInt(1, aId).BindInt(2, aTime).BindText(3, aKind).BindText(4, aStatus);
    insertEvent->BindInt(5, aSCTS).BindInt(6, aDSCTS).BindOptional(7, aReason);
    insertEvent->BindText(8, aText).BindText(9, aMessage).Run();
  };
  auto addEvent = [&](auto&&... aFields) { addEventAt(time, aFields...); };
  // The submit a notification reports on: id and status, or id 0.
  auto match = [&](const std::string& aKey, int64_t aSCTS) {
    std::pair<int64_t, std::string> found{0, ""};
    if (aSCTS == 0) return found;
    findMatch->BindText(1, aKey).BindInt(2, aSCTS);
    if (findMatch->Step()) found = {findMatch->Int(0), findMatch->Text(1)};
    findMatch->Reset();
    return found;
  };
  auto applyStatus = [&](int64_t aId, std::string_view aCurrent, const std::string& aStatus,
                         int64_t aTime, int64_t aDSCTS, int aReason,
                         const std::string& aReasonText) {
    if (!IsDeliveryStatus(aStatus) || IsFinal(aCurrent)) return;
    updateStatus->BindText(1, aStatus).BindInt(2, aTime).BindInt(3, aDSCTS);
    updateStatus->BindOptional(4, aReason);
    updateStatus->BindText(5, aStatus == hs::kDelivered ? std::string() : aReasonText);
    updateStatus->BindInt(6, aId).Run();
    aChanges.Set(aId, aStatus);
  };
  // Binds the columns every message row has.
  auto bindRow = [&](int64_t aId, std::string_view aDirection, std::string_view aSource,
                     std::string_view aNumber, std::string_view aKey, std::string_view aOwn,
                     std::string_view aText, bool aBinary, std::string_view aStatus,
                     int64_t aSCTS) {
    insertMessage->BindInt(1, aId).BindInt(2, time).BindText(3, aDirection);
    insertMessage->BindText(4, aSource).BindText(5, aNumber).BindText(6, aKey);
    insertMessage->BindText(7, aOwn).BindBlob(8, aText).BindInt(9, aBinary ? 1 : 0);
    insertMessage->BindText(15, aStatus).BindInt(16, aSCTS).BindInt(17, 0);
    insertMessage->BindNull(18).BindText(19, "").BindInt(20, time).BindNull(21);
    made.push_back(aId);
  };
  // What follows a submit's result, once its row says accepted or failed.
  auto resultWritten = [&](const TResultRecord& aResult, int64_t aTime, const std::string& aKey) {
    const std::string_view now = aResult.Accepted ? hs::kAccepted : hs::kFailed;
    addEventAt(aTime, aResult.Id, now, "", aResult.SCTS, 0, -1, aResult.Error, "");
    aChanges.Set(aResult.Id, now);
    if (!aResult.Accepted || aResult.SCTS == 0) return;
    // Notifications that came before this result now find their submit.
    std::vector<int64_t> early;
    findUnmatched->BindText(1, aKey).BindInt(2, aResult.SCTS);
    while (findUnmatched->Step()) early.push_back(findUnmatched->Int(0));
    findUnmatched->Reset();
    for (int64_t notification : early) {
      firstEvent->BindInt(1, notification);
      if (!firstEvent->Step()) {
        firstEvent->Reset();
        continue;
      }
      const int64_t eventTime = firstEvent->Int(0), dscts = firstEvent->Int(2);
      const std::string eventStatus = firstEvent->Text(1), reasonText = firstEvent->Text(4);
      const int reason = firstEvent->OptionalInt(3);
      firstEvent->Reset();
      const auto [target, targetStatus] = match(aKey, aResult.SCTS);
      if (target == 0) continue;
      applyStatus(target, targetStatus, eventStatus, eventTime, dscts, reason, reasonText);
      moveEvents->BindInt(1, target).BindInt(2, notification).Run();
      markMatched->BindInt(1, notification).Run();
      doomed.push_back(notification);
      aChanges.Set(notification, hs::kMatched);
    }
  };

  if (const auto* submit = std::get_if<TSubmitRecord>(&aRecord.Body)) {
    const THistorySubmit& s = submit->Submit;
    const std::string key = MatchKey(s.SmscNumber.empty() ? s.Number : s.SmscNumber);
    const TResultRecord* result = aResult ? &std::get<TResultRecord>(aResult->Body) : nullptr;
    if (result == nullptr) {
      bindRow(submit->Id, kDirectionOut, s.Source, s.Number, key, "", s.Text, s.Binary,
              hs::kSubmitted, 0);
    } else {
      bindRow(submit->Id, kDirectionOut, s.Source, s.Number, key, "", s.Text, s.Binary,
              result->Accepted ? hs::kAccepted : hs::kFailed, result->SCTS);
      insertMessage->BindText(19, result->Error).BindInt(20, aResult->Time);
      insertMessage->BindOptional(21, result->TRN);
    }
    insertMessage->BindInt(10, s.MCLs).BindInt(11, s.PID).BindInt(12, s.NT);
    insertMessage->BindInt(13, s.RPI).BindReal(14, s.VP).Run();
    addEvent(submit->Id, "submitted", "", 0, 0, -1, "", "");
    aChanges.Set(submit->Id, hs::kSubmitted);
    if (result != nullptr) resultWritten(*result, aResult->Time, key);
  } else if (const auto* result = std::get_if<TResultRecord>(&aRecord.Body)) {
    selectForResult->BindInt(1, result->Id);
    if (!selectForResult->Step()) {
      selectForResult->Reset();
      return;
    }
    const std::string status = selectForResult->Text(0), key = selectForResult->Text(1);
    selectForResult->Reset();
    if (status != hs::kSubmitted) return;
    const std::string_view now = result->Accepted ? hs::kAccepted : hs::kFailed;
    updateResult->BindText(1, now).BindInt(2, time).BindInt(3, result->SCTS);
    updateResult->BindText(4, result->Error).BindOptional(5, result->TRN);
    updateResult->BindInt(6, result->Id).Run();
    resultWritten(*result, time, key);
  } else if (const auto* received = std::get_if<TReceivedRecord>(&aRecord.Body)) {
    const TRetrieveDeliverySMItem& item = received->Item;
    const int64_t scts = Seconds(item.SCTS);
    bindRow(received->Id, kDirectionIn, "", item.OA, MatchKey(item.OA), item.DA, item.Msg,
            item.Binary, hs::kReceived, scts);
    insertMessage->BindInt(10, item.MCLs).BindInt(11, item.PID).BindNull(12);
    insertMessage->BindInt(13, item.RPI).BindReal(14, item.VP).Run();
    addEvent(received->Id, "received", "", scts, 0, -1, "", "");
    aChanges.Set(received->Id, hs::kReceived);
  } else if (const auto* notified = std::get_if<TNotificationRecord>(&aRecord.Body)) {
    const TRetrieveDeliveryNotificationItem& item = notified->Item;
    const std::string key = MatchKey(item.DA), status = DeliveryStatusName(item.DeliveryStatus);
    // A delivered message has no reason: code 000 there is no "Unknown subscriber".
    const std::string reasonText = item.DeliveryStatus == 0 ? "" : ReasonText(item.ReasonCode);
    const std::string message = HexToText(item.Msg);
    const int64_t scts = Seconds(item.SCTS), dscts = Seconds(item.DSCTS);
    const auto [target, targetStatus] = match(key, scts);
    if (target != 0) {
      addEvent(target, "notification", status, scts, dscts, item.ReasonCode, reasonText, message);
      applyStatus(target, targetStatus, status, time, dscts, item.ReasonCode, reasonText);
      return;
    }
    const int64_t id = aNextId();
    bindRow(id, kDirectionNotification, "", item.DA, key, item.OA, message, false, hs::kUnmatched,
            scts);
    insertMessage->BindNull(10).BindInt(11, item.PID).BindNull(12).BindNull(13);
    insertMessage->BindReal(14, 0).BindInt(17, dscts).BindInt(18, item.ReasonCode);
    insertMessage->BindText(19, reasonText).Run();
    addEvent(id, "notification", status, scts, dscts, item.ReasonCode, reasonText, message);
    aChanges.Set(id, hs::kUnmatched);
  }
}

bool TMessageStore::Open() {
  const std::string shown = "History store " + path_;
  const size_t slash = path_.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(path_.substr(0, slash))) {
    Report("open", shown + " cannot be opened: " + strerror(errno));
    return false;
  }
  const bool readOnly = Exists(path_) && !MayWrite(path_);
  auto writer = std::make_unique<TWriter>();
  writer->lockFd =
      ::open(path_.c_str(), (readOnly ? O_RDONLY : O_RDWR | O_CREAT) | O_CLOEXEC, 0600);
  if (writer->lockFd < 0) {
    Report("open", shown + " cannot be opened: " + strerror(errno));
    return false;
  }
  // Messages are personal data: the owner's alone, also when an older
  // program or a copy left the file open to others.
  struct stat st;
  if (::fstat(writer->lockFd, &st) == 0 && (st.st_mode & 077) != 0)
    ::fchmod(writer->lockFd, st.st_mode & 0700);
  try {
    writer->db = OpenDb(path_, readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
    sqlite3* db = writer->db.get();
    // Short at start, so that a locked file cannot hold up the program.
    sqlite3_busy_timeout(db, 20);
    int version = 0;
    {
      TStatement read(db, "PRAGMA user_version");
      if (read.Step()) version = static_cast<int>(read.Int(0));
    }
    if (version > kSchemaVersion) {
      reopenAllowed_ = false;
      Report("newer", shown + " was written by a newer Qorvel (schema version " +
                          std::to_string(version) + ", this one knows up to " +
                          std::to_string(kSchemaVersion) +
                          "); it is left as it is and nothing is recorded");
      return false;
    }
    if (readOnly && version < kSchemaVersion) {
      reopenAllowed_ = false;
      Report("read-only", shown + " cannot be written: the file is read-only");
      return false;
    }
    if (!readOnly) {
      Exec(db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
      if (limits_.MaxPages > 0)
        Exec(db, ("PRAGMA max_page_count = " + std::to_string(limits_.MaxPages)).c_str());
      if (version < kSchemaVersion) {
        Exec(db, "BEGIN IMMEDIATE");
        try {
          for (int v = version; v < kSchemaVersion; ++v) Exec(db, kMigrations[v]);
          Exec(db, ("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
          Exec(db, "COMMIT");
        } catch (...) {
          sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
          throw;
        }
      }
      Exec(db, "CREATE TABLE IF NOT EXISTS id_counter (next INTEGER NOT NULL)");
      writer->Prepare();
    }
    // Long enough for another writer's transaction, short enough that a
    // held lock is soon reported.
    sqlite3_busy_timeout(db, 250);
    int64_t firstId = 0;
    if (!readOnly) firstId = ReserveIds(db);
    {
      TLockGuard g(lock_);
      if (!readOnly) {
        nextId_ = firstId;
        idLimit_ = firstId + kIdBlock;
        spareId_ = spareLimit_ = 0;
      }
      writable_ = !readOnly;
      readable_ = true;
      ++generation_;
      // A pass runs at every opening; Flush waits for it.
      retentionBusy_ = !readOnly;
    }
    if (readOnly) {
      reopenAllowed_ = false;
      Report("read-only", shown + " cannot be written: the file is read-only");
      return false;
    }
    writer_ = std::move(writer);
    nextRetention_ = 0;
    return true;
  } catch (const ESqlite& e) {
    const int code = e.code & 0xff;
    if (code != SQLITE_CORRUPT && code != SQLITE_NOTADB) {
      Report("open " + std::to_string(code),
             shown + " cannot be opened: " + Reason(e.code, e.what()));
      return false;
    }
  }
  writer.reset();
  return MoveAside() && Open();
}

bool TMessageStore::MoveAside() {
  {
    TLockGuard g(lock_);
    writable_ = false;
    readable_ = false;
    ++generation_;
  }
  const std::string stamp = LocalStamp();
  std::string aside = path_ + ".corrupt-" + stamp;
  for (int n = 2; Exists(aside); ++n) aside = path_ + ".corrupt-" + stamp + "-" + std::to_string(n);
  if (::rename(path_.c_str(), aside.c_str()) != 0) {
    reopenAllowed_ = false;
    Report("corrupt",
           "History store " + path_ + " is corrupt and cannot be moved aside: " + strerror(errno));
    return false;
  }
  // Its log and index belong to it; beside a new file they would be read as its own.
  for (const char* part : {"-wal", "-shm"})
    if (Exists(path_ + part)) ::rename((path_ + part).c_str(), (aside + part).c_str());
  Report("corrupt " + aside, "History store " + path_ + " was corrupt; moved aside to " + aside +
                                 ", a new one started");
  return true;
}

int64_t TMessageStore::TakeId() {
  if (nextId_ >= idLimit_ && spareId_ != 0) {
    nextId_ = spareId_;
    idLimit_ = spareLimit_;
    spareId_ = spareLimit_ = 0;
  }
  return nextId_ < idLimit_ ? nextId_++ : 0;
}

int64_t TMessageStore::NextId() {
  {
    TLockGuard g(lock_);
    if (const int64_t id = TakeId(); id != 0) return id;
  }
  // The blocks ran out within one batch: one id from the file, in the
  // batch's own transaction, so that a rollback returns it too.
  TStatement take(writer_->db.get(), "UPDATE id_counter SET next = next + 1 RETURNING next - 1");
  if (!take.Step()) throw ESqlite(SQLITE_ERROR, "the id counter is missing");
  return take.Int(0);
}

int64_t TMessageStore::ReserveIds(sqlite3* db) {
  Exec(db, "BEGIN IMMEDIATE");
  try {
    int64_t next = 0;
    {
      TStatement read(db, "SELECT next FROM id_counter");
      if (read.Step()) next = read.Int(0);
    }
    if (next == 0) {
      TStatement read(db, "SELECT coalesce(max(id), 0) + 1 FROM messages");
      next = read.Step() ? read.Int(0) : 1;
      TStatement(db, "INSERT INTO id_counter (next) VALUES (?)").BindInt(1, next + kIdBlock).Run();
    } else {
      TStatement(db, "UPDATE id_counter SET next = ?").BindInt(1, next + kIdBlock).Run();
    }
    Exec(db, "COMMIT");
    return next;
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void TMessageStore::GiveBackIds() {
  if (writer_ == nullptr) return;
  int64_t used, top;
  {
    TLockGuard g(lock_);
    used = nextId_;
    top = spareId_ != 0 ? spareLimit_ : idLimit_;
  }
  if (used >= top) return;
  try {
    TStatement back(writer_->db.get(), "UPDATE id_counter SET next = ? WHERE next = ?");
    back.BindInt(1, used).BindInt(2, top).Run();
  } catch (const ESqlite&) {
    // A gap in the ids is all it costs.
  }
}

bool TMessageStore::Enqueue(TRecord aRecord) {
  bool dropped = false, wake = false;
  {
    TLockGuard g(lock_);
    if (queue_.size() >= kQueueLimit) {
      ++stats_.Dropped;
      dropped = true;
    } else {
      if (queue_.empty()) firstQueuedAt_ = SteadyMillis();
      aRecord.Seq = nextSeq_++;
      queue_.push_back(std::move(aRecord));
      wake = queue_.size() == 1 || queue_.size() == static_cast<size_t>(kBatchRecords);
    }
  }
  if (wake) wake_.notify_all();
  if (dropped) ReportNotKeepingUp();
  return !dropped;
}

void TMessageStore::ReportNotKeepingUp() {
  Report("dropped", "History store " + path_ + " is not keeping up; messages are left out of it");
}

int64_t TMessageStore::RecordSubmit(const THistorySubmit& aSubmit) {
  TRecord record{0, aSubmit.Time != 0 ? aSubmit.Time : NowMillis(), TSubmitRecord{0, aSubmit}};
  int64_t id;
  bool outOfIds = false;
  {
    TLockGuard g(lock_);
    id = writable_ ? TakeId() : 0;
    if (id == 0) {
      if (!path_.empty()) ++stats_.Dropped;
      outOfIds = writable_;
    }
  }
  // The file would not give the next block of ids: as full as a full queue.
  if (outOfIds) ReportNotKeepingUp();
  if (id == 0) return 0;
  std::get<TSubmitRecord>(record.Body).Id = id;
  return Enqueue(std::move(record)) ? id : 0;
}

void TMessageStore::RecordSubmitResult(int64_t aId, bool aAccepted, TDateTime aSCTS,
                                       std::string aError, int aTRN) {
  if (aId <= 0) return;
  Enqueue(TRecord{0, NowMillis(),
                  TResultRecord{aId, aAccepted, aAccepted ? Seconds(aSCTS) : 0,
                                aAccepted ? std::string() : std::move(aError), aTRN}});
}

int64_t TMessageStore::RecordReceived(const TRetrieveDeliverySMItem& aItem) {
  TRecord record{0, NowMillis(), TReceivedRecord{0, aItem}};
  int64_t id;
  bool outOfIds = false;
  {
    TLockGuard g(lock_);
    id = writable_ ? TakeId() : 0;
    if (id == 0) {
      if (!path_.empty()) ++stats_.Dropped;
      outOfIds = writable_;
    }
  }
  // The file would not give the next block of ids: as full as a full queue.
  if (outOfIds) ReportNotKeepingUp();
  if (id == 0) return 0;
  std::get<TReceivedRecord>(record.Body).Id = id;
  return Enqueue(std::move(record)) ? id : 0;
}

void TMessageStore::RecordNotification(const TRetrieveDeliveryNotificationItem& aItem) {
  {
    TLockGuard g(lock_);
    if (!writable_) {
      if (!path_.empty()) ++stats_.Dropped;
      return;
    }
  }
  Enqueue(TRecord{0, NowMillis(), TNotificationRecord{aItem}});
}

void TMessageStore::Report(const std::string& aKind, std::string aProblem) {
  {
    TLockGuard g(lock_);
    if (!reportedKinds_.insert(aKind).second) return;
    ++reportsMade_;
    problem_ = aProblem;
    undelivered_.push_back(std::move(aProblem));
  }
  wake_.notify_all();
}

void TMessageStore::DeliverReports() {
  std::vector<std::string> reports;
  {
    TLockGuard g(lock_);
    reports.swap(undelivered_);
  }
  if (reports.empty()) return;
  if (handlers_.OnProblem)
    for (const std::string& report : reports) handlers_.OnProblem(report);
  TLockGuard g(lock_);
  reportsDelivered_ += static_cast<int64_t>(reports.size());
  flushed_.notify_all();
}

std::string TMessageStore::Problem() const {
  TLockGuard g(lock_);
  return problem_;
}

THistoryStats TMessageStore::Stats() const {
  TLockGuard g(lock_);
  THistoryStats stats = stats_;
  stats.Queued = static_cast<int64_t>(queue_.size());
  return stats;
}

void TMessageStore::Flush() {
  if (!thread_.joinable()) return;
  TLockGuard g(lock_);
  const int64_t target = nextSeq_ - 1, failures = failures_;
  flushWanted_ = true;
  wake_.notify_all();
  while (!stop_ && (reportsDelivered_ < reportsMade_ ||
                    (failures_ == failures && (handledSeq_ < target || retentionBusy_))))
    flushed_.wait(lock_);
}

void TMessageStore::WriterLoop() {
  enum class TStep { Report, Reopen, Ids, Commit, Retention, Stop };
  std::vector<TRecord> batch;  // a failed one waits here for its retry
  int64_t retryAt = 0;
  for (;;) {
    DeliverReports();
    TStep step;
    {
      TLockGuard g(lock_);
      for (;;) {
        const int64_t now = SteadyMillis();
        const bool retryDue = now >= retryAt;
        if (writer_ == nullptr && !(batch.empty() && queue_.empty())) {
          // Nowhere to write them.
          stats_.Dropped += static_cast<int64_t>(batch.size() + queue_.size());
          batch.clear();
          queue_.clear();
        }
        if (!undelivered_.empty()) {
          step = TStep::Report;
          break;
        }
        if (stop_ && batch.empty() && (queue_.empty() || writer_ == nullptr)) {
          step = TStep::Stop;
          break;
        }
        // The next block is taken while half of this one is left.
        if (writer_ != nullptr && !stop_ && spareId_ == 0 && idLimit_ - nextId_ < kIdBlock / 2 &&
            retryDue) {
          step = TStep::Ids;
          break;
        }
        if (writer_ == nullptr) {
          if (!stop_ && reopenAllowed_ && retryDue) {
            step = TStep::Reopen;
            break;
          }
        } else if (!batch.empty()) {
          if (retryDue || stop_) {
            step = TStep::Commit;
            break;
          }
        } else if (!queue_.empty()) {
          if (stop_ || flushWanted_ || queue_.size() >= static_cast<size_t>(kBatchRecords) ||
              now - firstQueuedAt_ >= kBatchMillis) {
            const size_t n = std::min(queue_.size(), static_cast<size_t>(kBatchRecords));
            batch.reserve(n);
            for (size_t i = 0; i < n; ++i) {
              batch.push_back(std::move(queue_.front()));
              queue_.pop_front();
            }
            step = TStep::Commit;
            break;
          }
        } else {
          if (!retentionBusy_ && now >= nextRetention_) retentionBusy_ = true;
          if (retentionBusy_ && retryDue) {
            step = TStep::Retention;
            break;
          }
        }
        // Nothing to do before a deadline: a waiting Flush hears how far it got.
        if (batch.empty() && queue_.empty()) {
          handledSeq_ = nextSeq_ - 1;
          flushWanted_ = false;
        }
        if (writer_ == nullptr) retentionBusy_ = false;
        flushed_.notify_all();
        int64_t until = now + kRetentionEveryMillis;
        if (!queue_.empty() && batch.empty())
          until = std::min(until, firstQueuedAt_ + kBatchMillis);
        if (!retryDue) until = std::min(until, retryAt);
        if (writer_ != nullptr && !retentionBusy_) until = std::min(until, nextRetention_);
        wake_.wait_for(lock_, std::chrono::milliseconds(std::max<int64_t>(1, until - now)));
      }
    }
    switch (step) {
      case TStep::Report:
        break;
      case TStep::Reopen:
        if (!Open()) retryAt = SteadyMillis() + kRetryMillis;
        break;
      case TStep::Ids: {
        int64_t first = 0;
        try {
          first = ReserveIds(writer_->db.get());
        } catch (const ESqlite& e) {
          WriteFailed(e.code, e.what());
        }
        TLockGuard g(lock_);
        if (first != 0) {
          spareId_ = first;
          spareLimit_ = first + kIdBlock;
        } else {
          ++failures_;
          retryAt = SteadyMillis() + kRetryMillis;
        }
        break;
      }
      case TStep::Commit: {
        const int64_t last = batch.back().Seq;
        const bool done = Commit(batch);
        TLockGuard g(lock_);
        if (done) {
          handledSeq_ = std::max(handledSeq_, last);
          batch.clear();
        } else {
          ++failures_;
          retryAt = SteadyMillis() + kRetryMillis;
          if (stop_) {
            stats_.Dropped += static_cast<int64_t>(batch.size() + queue_.size());
            batch.clear();
            queue_.clear();
          }
        }
        flushed_.notify_all();
        break;
      }
      case TStep::Retention: {
        bool more = false, failed = false;
        try {
          more = RetentionStep();
        } catch (const ESqlite& e) {
          WriteFailed(e.code, e.what());
          failed = true;
        }
        TLockGuard g(lock_);
        if (failed) {
          ++failures_;
          retryAt = SteadyMillis() + kRetryMillis;
        }
        if (!more || failed) {
          retentionBusy_ = false;
          retentionBelow_ = -1;
          nextRetention_ = SteadyMillis() + kRetentionEveryMillis;
        }
        flushed_.notify_all();
        break;
      }
      case TStep::Stop: {
        GiveBackIds();
        DeliverReports();
        TLockGuard g(lock_);
        handledSeq_ = nextSeq_ - 1;
        retentionBusy_ = false;
        flushed_.notify_all();
        return;
      }
    }
  }
}

// At full speed nearly every result comes in the batch of its submit: the
// two are then written as one row, not inserted and then looked up and
// updated. Not across a notification between them, which must find the
// submit as it stood. For each record: for a submit, its folded result; for
// that result, itself (to be passed over); else null.
std::vector<const TMessageStore::TRecord*> TMessageStore::FoldResults(
    const std::vector<TRecord>& aBatch) {
  std::vector<const TRecord*> folded(aBatch.size(), nullptr);
  std::unordered_map<int64_t, size_t> submits;
  for (size_t i = 0; i < aBatch.size(); ++i) {
    const auto& body = aBatch[i].Body;
    if (std::holds_alternative<TNotificationRecord>(body)) {
      submits.clear();
    } else if (const auto* submit = std::get_if<TSubmitRecord>(&body)) {
      submits[submit->Id] = i;
    } else if (const auto* result = std::get_if<TResultRecord>(&body)) {
      const auto at = submits.find(result->Id);
      if (at == submits.end()) continue;
      folded[at->second] = &aBatch[i];
      folded[i] = &aBatch[i];
      submits.erase(at);
    }
  }
  return folded;
}

bool TMessageStore::Commit(std::vector<TRecord>& aBatch) {
  TChanges changes;
  sqlite3* db = writer_->db.get();
  try {
    Exec(db, "BEGIN IMMEDIATE");
    try {
      const std::function<int64_t()> nextId = [this] { return NextId(); };
      const std::vector<const TRecord*> folded = FoldResults(aBatch);
      for (size_t i = 0; i < aBatch.size(); ++i) {
        if (folded[i] == &aBatch[i]) continue;
        writer_->Apply(aBatch[i], changes, nextId, folded[i]);
      }
      writer_->EndBatch();
      Exec(db, "COMMIT");
    } catch (...) {
      writer_->made.clear();
      writer_->doomed.clear();
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  } catch (const ESqlite& e) {
    WriteFailed(e.code, e.what());
    return false;
  }
  {
    TLockGuard g(lock_);
    ++stats_.Batches;
    stats_.Committed += static_cast<int64_t>(aBatch.size());
    stats_.LargestBatch = std::max(stats_.LargestBatch, static_cast<int64_t>(aBatch.size()));
  }
  if (std::vector<THistoryStatusChange> list = changes.Take();
      handlers_.OnStatusChanged && !list.empty())
    handlers_.OnStatusChanged(std::move(list));
  return true;
}

void TMessageStore::WriteFailed(int aCode, const std::string& aMessage) {
  const int code = aCode & 0xff;
  if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) {
    writer_.reset();
    if (MoveAside()) Open();
    return;
  }
  Report("write " + std::to_string(code),
         "History store " + path_ + " cannot be written: " + Reason(aCode, aMessage));
}

bool TMessageStore::RetentionStep() {
  sqlite3* db = writer_->db.get();
  std::vector<int64_t> ids;
  if (limits_.KeepDays > 0) {
    TStatement old(db, "SELECT id FROM messages WHERE time < ? ORDER BY time LIMIT ?");
    old.BindInt(1, NowMillis() - int64_t{limits_.KeepDays} * 86400000).BindInt(2, kRetentionChunk);
    while (old.Step()) ids.push_back(old.Int(0));
  }
  if (ids.empty() && limits_.MaxMessages > 0) {
    // Found once a pass: rows made meanwhile are newer and do not move it.
    if (retentionBelow_ < 0) {
      TStatement newest(db, "SELECT id FROM messages ORDER BY id DESC LIMIT 1 OFFSET ?");
      newest.BindInt(1, limits_.MaxMessages - 1);
      retentionBelow_ = newest.Step() ? newest.Int(0) : 0;
    }
    TStatement surplus(db, "SELECT id FROM messages WHERE id < ? ORDER BY id LIMIT ?");
    surplus.BindInt(1, retentionBelow_).BindInt(2, kRetentionChunk);
    while (surplus.Step()) ids.push_back(surplus.Int(0));
  }
  if (ids.empty()) return false;
  Exec(db, "BEGIN IMMEDIATE");
  try {
    writer_->Remove(ids, ids);
    Exec(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return true;
}

std::unique_ptr<TMessageStore::TReader> TMessageStore::TakeReader() {
  int64_t generation;
  {
    TLockGuard g(lock_);
    if (!readable_) return nullptr;
    generation = generation_;
  }
  {
    TLockGuard g(readLock_);
    while (!idleReaders_.empty()) {
      std::unique_ptr<TReader> reader = std::move(idleReaders_.back());
      idleReaders_.pop_back();
      if (reader->generation == generation) return reader;
    }
  }
  auto reader = std::make_unique<TReader>();
  reader->db = OpenDb(path_, SQLITE_OPEN_READONLY);
  sqlite3_busy_timeout(reader->db.get(), 1000);
  reader->generation = generation;
  return reader;
}

void TMessageStore::GiveBackReader(std::unique_ptr<TReader> aReader) {
  TLockGuard g(readLock_);
  // Enough for the window and a few bus callers at once.
  if (idleReaders_.size() < 4) idleReaders_.push_back(std::move(aReader));
}

namespace {

// The WHERE clause of a filter and the values it binds, in order.
struct TWhere {
  std::string Sql;
  std::vector<std::variant<int64_t, std::string>> Values;
  std::vector<bool> Blob;

  void Add(const char* aSql, std::variant<int64_t, std::string> aValue, bool aBlob = false) {
    Sql += Sql.empty() ? " WHERE " : " AND ";
    Sql += aSql;
    Values.push_back(std::move(aValue));
    Blob.push_back(aBlob);
  }
  void BindTo(TStatement& aStatement, int aFirst = 1) const {
    for (size_t i = 0; i < Values.size(); ++i) {
      const int index = aFirst + static_cast<int>(i);
      if (const auto* number = std::get_if<int64_t>(&Values[i])) {
        aStatement.BindInt(index, *number);
      } else if (Blob[i]) {
        aStatement.BindBlob(index, std::get<std::string>(Values[i]));
      } else {
        aStatement.BindText(index, std::get<std::string>(Values[i]));
      }
    }
  }
};

TWhere WhereOf(const THistoryFilter& aFilter) {
  TWhere where;
  if (const std::string key = MatchKey(aFilter.Number); !key.empty()) {
    if (!aFilter.NumberAnywhere) {
      // A range, so that the index serves it: keys are digits, below 0xFF.
      where.Add("number_key >= ?", key);
      where.Add("number_key < ?", key + '\xff');
    } else if (key.size() >= 3) {
      std::string phrase = "\"";
      for (char c : key) phrase += c == '"' ? std::string("\"\"") : std::string(1, c);
      where.Add("id IN (SELECT rowid FROM numbers WHERE numbers MATCH ?)", phrase + "\"");
    } else {
      where.Add("instr(number_key, ?) > 0", key);
    }
  }
  if (!aFilter.Text.empty()) where.Add("instr(text, ?) > 0", aFilter.Text, true);
  if (!aFilter.Status.empty()) where.Add("status = ?", aFilter.Status);
  if (aFilter.Since > 0) where.Add("time >= ?", aFilter.Since);
  if (!aFilter.Direction.empty()) where.Add("direction = ?", aFilter.Direction);
  return where;
}

const char* OrderOf(THistorySort aSort) {
  // Ids follow the order of recording, which is the order of time.
  switch (aSort) {
    case THistorySort::OldestFirst:
      return " ORDER BY id";
    case THistorySort::Number:
      return " ORDER BY number_key, id DESC";
    case THistorySort::Status:
      return " ORDER BY status, id DESC";
    case THistorySort::NewestFirst:
      break;
  }
  return " ORDER BY id DESC";
}

}  // namespace

std::vector<THistoryRow> TMessageStore::Query(const THistoryFilter& aFilter, THistorySort aSort,
                                              int64_t aOffset, int aLimit) {
  std::vector<THistoryRow> rows;
  if (aLimit <= 0) return rows;
  try {
    std::unique_ptr<TReader> reader = TakeReader();
    if (reader == nullptr) return rows;
    const TWhere where = WhereOf(aFilter);
    {
      TStatement select(reader->db.get(), (std::string("SELECT ") + kRowColumns + " FROM messages" +
                                           where.Sql + OrderOf(aSort) + " LIMIT ? OFFSET ?")
                                              .c_str());
      where.BindTo(select);
      const int next = static_cast<int>(where.Values.size()) + 1;
      select.BindInt(next, std::min(aLimit, kMaxQueryRows))
          .BindInt(next + 1, std::max<int64_t>(0, aOffset));
      while (select.Step()) rows.push_back(ReadRow(select));
    }
    GiveBackReader(std::move(reader));
  } catch (const ESqlite& e) {
    Report("read", "History store " + path_ + " cannot be read: " + Reason(e.code, e.what()));
    rows.clear();
  }
  return rows;
}

int64_t TMessageStore::Count(const THistoryFilter& aFilter) {
  int64_t count = 0;
  try {
    std::unique_ptr<TReader> reader = TakeReader();
    if (reader == nullptr) return 0;
    const TWhere where = WhereOf(aFilter);
    {
      TStatement select(reader->db.get(), ("SELECT count(*) FROM messages" + where.Sql).c_str());
      where.BindTo(select);
      if (select.Step()) count = select.Int(0);
    }
    GiveBackReader(std::move(reader));
  } catch (const ESqlite& e) {
    Report("read", "History store " + path_ + " cannot be read: " + Reason(e.code, e.what()));
    return 0;
  }
  return count;
}

std::optional<THistoryStory> TMessageStore::Story(int64_t aId) {
  std::optional<THistoryStory> story;
  try {
    std::unique_ptr<TReader> reader = TakeReader();
    if (reader == nullptr) return story;
    sqlite3* db = reader->db.get();
    {
      TStatement select(db, (std::string("SELECT ") + kRowColumns +
                             ", own_address, mcls, pid, nt, rpi, vp, trn, dscts, reason"
                             " FROM messages WHERE id = ?")
                                .c_str());
      select.BindInt(1, aId);
      if (select.Step()) {
        story.emplace();
        story->Row = ReadRow(select);
        story->OwnAddress = select.Text(11);
        story->MCLs = select.OptionalInt(12);
        story->PID = select.OptionalInt(13);
        story->NT = select.OptionalInt(14);
        story->RPI = select.OptionalInt(15);
        story->VP = select.Real(16);
        story->TRN = select.OptionalInt(17);
        story->DSCTS = FromSeconds(select.Int(18));
        story->Reason = select.OptionalInt(19);
      }
    }
    if (story) {
      TStatement events(db,
                        "SELECT time, kind, status, scts, dscts, reason, text, message"
                        " FROM events WHERE message_id = ? ORDER BY id");
      events.BindInt(1, aId);
      while (events.Step()) {
        THistoryEvent& event = story->Events.emplace_back();
        event.Time = events.Int(0);
        event.Kind = events.Text(1);
        event.Status = events.Text(2);
        event.SCTS = FromSeconds(events.Int(3));
        event.DSCTS = FromSeconds(events.Int(4));
        event.Reason = events.OptionalInt(5);
        event.Text = events.Text(6);
        event.Message = events.Text(7);
      }
    }
    GiveBackReader(std::move(reader));
  } catch (const ESqlite& e) {
    Report("read", "History store " + path_ + " cannot be read: " + Reason(e.code, e.what()));
    story.reset();
  }
  return story;
}

}  // namespace qorvel
