#pragma once
// The message history: every submit with its options and result, every
// message from a mobile (operation 52) and every delivery notification
// (operation 53), kept in one SQLite file that outlives the program.
//
// Recording never waits for the disk and never fails the caller: the record
// calls append to a bounded queue in memory, and one writer thread commits
// the queue in batches, one transaction each. A batch is committed at the
// latest kBatchMillis (200 ms) after its first record was queued, or as soon
// as kBatchRecords (500) are queued, whichever comes first. So after a kill -9
// what the file lacks is at most the records of the last 200 ms, plus the one
// batch (at most 500 records) whose commit was under way: a commit is durable
// once it returns (write-ahead log; a power cut may lose more).
//
// A store that cannot be opened or written (read-only, disk full, locked by
// another program, in use by another Qorvel, corrupt, written by a newer
// Qorvel, which is then left untouched) is reported once per
// kind of trouble through OnProblem and stays in Problem(); traffic goes on.
// A failed batch is kept and tried again every second; meanwhile the queue
// grows up to kQueueLimit records, beyond which records are dropped and
// counted. A corrupt file is renamed to "<file>.corrupt-YYYYMMDD-HHMMSS" (its
// write-ahead log and index beside it likewise) and a new store is started;
// nothing is deleted. Retention (KeepDays, MaxMessages) runs on the writer
// at opening and every ten minutes, 1000 rows per transaction, between
// batches.
//
// A notification is matched to the submit it reports on by recipient and
// SCTS: the recipient compared as the SMSC writes it (MatchKey), the SCTS to
// the second. Among several submits to the same recipient accepted in the
// same second, the oldest not yet in a final state (delivered, not delivered,
// failed) takes it. A final status is never replaced; later notifications
// are kept as events of the message. A notification that matches nothing is
// kept as a row of its own, status "unmatched"; should the result of its
// submit come later (the writer's order need not be the wire's), the
// notification moves to the submit and its own row goes.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "app/jobs.h"
#include "config/ini_file.h"
#include "connect/thread_annotations.h"
#include "emi/datetime.h"
#include "emi/items.h"

struct sqlite3;

namespace qorvel {

// The statuses of a message, as rows and OnStatusChanged carry them.
namespace history_status {
inline constexpr std::string_view kSubmitted = "submitted";  // no answer yet
inline constexpr std::string_view kAccepted = "accepted";
inline constexpr std::string_view kFailed = "failed";
inline constexpr std::string_view kBuffered = "buffered";
inline constexpr std::string_view kDelivered = "delivered";
inline constexpr std::string_view kNotDelivered = "not delivered";
inline constexpr std::string_view kReceived = "received";    // a message from a mobile
inline constexpr std::string_view kUnmatched = "unmatched";  // a notification of its own
// Only in OnStatusChanged: an unmatched notification found its submit; its row is gone.
inline constexpr std::string_view kMatched = "matched";
}  // namespace history_status

struct THistoryStatusChange {
  int64_t Id = 0;
  std::string Status;
};

struct THistoryLimits {
  // Rows older than this many days go; 0 keeps them however old.
  int KeepDays = 90;
  // Only the newest this many messages stay; 0 for no limit.
  int64_t MaxMessages = 0;
  // The most database pages (4 KiB) the file may take, beyond which writing
  // fails as on a full disk; 0 for as many as the disk holds.
  int64_t MaxPages = 0;
};

// [History] KeepDays and MaxMessages of aIni; raises EIniFileError naming
// the key for a value out of range.
THistoryLimits HistoryLimitsOf(const TIniFile& aIni);

// One submit as its requester made it.
struct THistorySubmit {
  // "window", or the bus client's unique name (":1.42").
  std::string Source;
  // The recipient as the requester gave it.
  std::string Number;
  // The recipient as the engine writes it for the SMSC (ToSmscAddress); when
  // empty, Number stands for it. Matching notifications relies on it only
  // where SMT_INT_PREFIX is neither empty nor "00".
  std::string SmscNumber;
  // Characters of a text, octets of data.
  std::string Text;
  bool Binary = false;
  uint8_t MCLs = 255;
  uint8_t PID = 0;
  uint8_t NT = 0;
  uint8_t RPI = 0;
  // Days; 0 none.
  TDateTime VP = 0;
  // Milliseconds since 1970 UTC; 0 for the moment of recording.
  int64_t Time = 0;
};

// The submit of a queued job.
THistorySubmit HistorySubmitOf(const TSubmitItem& aItem, std::string aSource);

inline constexpr std::string_view kDirectionOut = "out";
inline constexpr std::string_view kDirectionIn = "in";
inline constexpr std::string_view kDirectionNotification = "notification";

// One message as the history lists it.
struct THistoryRow {
  int64_t Id = 0;
  // Milliseconds since 1970 UTC: when it was submitted or received.
  int64_t Time = 0;
  // kDirectionOut (a submit), kDirectionIn (from a mobile) or
  // kDirectionNotification (an unmatched one).
  std::string Direction;
  std::string Source;
  // The recipient of a submit or notification, the originator of a message from a mobile.
  std::string Number;
  std::string Text;
  bool Binary = false;
  std::string Status;
  // Milliseconds since 1970 UTC: when the status was learnt.
  int64_t StatusTime = 0;
  // The SMSC's time stamp, to the second; 0 unknown.
  TDateTime SCTS = 0;
  // The error of a failed submit, or the reason a notification gave.
  std::string Error;
};

// One step in a message's life.
struct THistoryEvent {
  int64_t Time = 0;  // ms since 1970 UTC
  // "submitted", "accepted", "failed", "received" or "notification".
  std::string Kind;
  // Of a notification: delivered, buffered, not delivered, or "status N".
  std::string Status;
  TDateTime SCTS = 0;
  TDateTime DSCTS = 0;
  int Reason = -1;  // -1 none
  // The error text, or a notification's reason text.
  std::string Text;
  // A notification's own text, as the SMSC wrote it.
  std::string Message;
};

// A message with every field, and its events in order.
struct THistoryStory {
  THistoryRow Row;
  // The client's own address (of a message from a mobile or a notification).
  std::string OwnAddress;
  int MCLs = -1, PID = -1, NT = -1, RPI = -1;  // -1 not given
  TDateTime VP = 0;
  int TRN = -1;
  TDateTime DSCTS = 0;
  int Reason = -1;
  std::vector<THistoryEvent> Events;
};

struct THistoryFilter {
  // Matched against MatchKey of the numbers, so "+3161" finds "0031612…" as
  // well: at its start, or anywhere with NumberAnywhere. Empty: any.
  std::string Number;
  bool NumberAnywhere = false;
  // Octets anywhere in the text; empty: any.
  std::string Text;
  // One of history_status; empty: any.
  std::string Status;
  // Milliseconds since 1970 UTC; rows from then on. 0: any.
  int64_t Since = 0;
  // One of the directions; empty: any.
  std::string Direction;
};

enum class THistorySort { NewestFirst, OldestFirst, Number, Status };

struct THistoryStats {
  int64_t Batches = 0;
  int64_t Committed = 0;  // records
  int64_t LargestBatch = 0;
  int64_t Dropped = 0;  // records never written: queue full, store off, batch refused
  int64_t Queued = 0;   // waiting now
};

// The recipient or originator in the form a notification's address and a
// submit's can be compared in: "+", "#" and a leading "00" dropped.
std::string MatchKey(std::string_view aNumber);

// Threads: construct and destroy on one thread; the record calls, the queries,
// Problem(), Stats() and Flush() from any thread, also during destruction's
// flush. The handlers run on the writer thread with no lock held; they must
// not call Flush() nor destroy the store.
class TMessageStore {
 public:
  static constexpr int kBatchMillis = 200;
  static constexpr int kBatchRecords = 500;
  static constexpr size_t kQueueLimit = 100000;
  static constexpr int kSchemaVersion = 1;
  // Ids are taken from the file in blocks of this many, so that two Qorvels
  // on one file (one ending as the next starts) never hand out the same id.
  static constexpr int64_t kIdBlock = 10000;

  struct THandlers {
    // A new kind of trouble, as Problem() then reads.
    std::function<void(const std::string& aProblem)> OnProblem;
    // After each committed batch, once, on the writer: every message whose
    // status the batch changed (a new message included), with its last
    // status, in the order of their first change. Once per batch rather than
    // per message, since at full speed a hand-over per message costs more
    // than the writing.
    std::function<void(std::vector<THistoryStatusChange> aChanges)> OnStatusChanged;
  };

  // Opens or creates aPath (its folder 0700 and the file 0600 when missing,
  // group and others' access removed from an existing file), then starts the
  // writer. Quick whatever the store's size: no integrity scan. Never throws
  // for a bad store: it becomes Problem(). An empty aPath is a store turned
  // off: nothing is recorded, queries find nothing, and no thread runs.
  TMessageStore(std::string aPath, THistoryLimits aLimits, THandlers aHandlers = {});
  // Commits what is queued (unless the store cannot be written), stops and
  // joins the writer.
  ~TMessageStore();
  TMessageStore(const TMessageStore&) = delete;
  TMessageStore& operator=(const TMessageStore&) = delete;

  const std::string& Path() const { return path_; }

  // ---- any thread; never waits for the disk, never throws ----
  // The message's id, at once; 0 when it cannot be recorded (store off, not
  // open, queue full). Ids only grow, also across reopenings.
  int64_t RecordSubmit(const THistorySubmit& aSubmit) EXCLUDES(lock_);
  // aSCTS of an accepted submit; aError of a failed one. A second result for
  // the same id, or one for id 0, changes nothing.
  void RecordSubmitResult(int64_t aId, bool aAccepted, TDateTime aSCTS, std::string aError,
                          int aTRN = -1) EXCLUDES(lock_);
  int64_t RecordReceived(const TRetrieveDeliverySMItem& aItem) EXCLUDES(lock_);
  void RecordNotification(const TRetrieveDeliveryNotificationItem& aItem) EXCLUDES(lock_);

  // ---- any thread; read the committed state beside the writer ----
  // aLimit rows (at most 10000) after the first aOffset ones in aSort's order.
  std::vector<THistoryRow> Query(const THistoryFilter& aFilter, THistorySort aSort, int64_t aOffset,
                                 int aLimit) EXCLUDES(readLock_, lock_);
  int64_t Count(const THistoryFilter& aFilter) EXCLUDES(readLock_, lock_);
  std::optional<THistoryStory> Story(int64_t aId) EXCLUDES(readLock_, lock_);

  // The latest trouble reported; empty while there was none.
  std::string Problem() const EXCLUDES(lock_);
  THistoryStats Stats() const EXCLUDES(lock_);
  // Waits until everything recorded before the call is committed (or
  // dropped) and no retention pass is under way, or until a commit fails
  // after the call; and until OnProblem has heard every problem found so
  // far. For tests, tools and closing; never on the path of traffic.
  void Flush() EXCLUDES(lock_);

 private:
  struct TSubmitRecord {
    int64_t Id;
    THistorySubmit Submit;
  };
  struct TResultRecord {
    int64_t Id;
    bool Accepted;
    int64_t SCTS;  // seconds
    std::string Error;
    int TRN;
  };
  struct TReceivedRecord {
    int64_t Id;
    TRetrieveDeliverySMItem Item;
  };
  struct TNotificationRecord {
    TRetrieveDeliveryNotificationItem Item;
  };
  struct TRecord {
    int64_t Seq;
    int64_t Time;  // ms since 1970 UTC
    std::variant<TSubmitRecord, TResultRecord, TReceivedRecord, TNotificationRecord> Body;
  };
  class TWriter;
  class TReader;
  static std::vector<const TRecord*> FoldResults(const std::vector<TRecord>& aBatch);

  // Opens the writer's connection; false (and a problem reported) when it
  // cannot. Before the writer starts, then on the writer thread.
  bool Open() EXCLUDES(lock_);
  // A fresh id for a row the writer makes (an unmatched notification), within
  // the batch's transaction.
  int64_t NextId() EXCLUDES(lock_);
  // The next id of the blocks reserved, or 0 when they are used up.
  int64_t TakeId() REQUIRES(lock_);
  // Reserves the next block in the file; its first id. Writer thread (or
  // Open, before the writer has its connection).
  static int64_t ReserveIds(sqlite3* aDb);
  // Returns the unused ids of the last block, unless another Qorvel has
  // reserved since. Writer thread, at the end.
  void GiveBackIds() EXCLUDES(lock_);
  // Adds aRecord to the queue unless it is full; false when dropped.
  bool Enqueue(TRecord aRecord) EXCLUDES(lock_);
  void ReportNotKeepingUp() EXCLUDES(lock_);
  // Reports aProblem unless its kind was reported before. Any thread.
  void Report(const std::string& aKind, std::string aProblem) EXCLUDES(lock_);
  void WriterLoop() EXCLUDES(lock_);
  // Commits aBatch; false when it failed and is to be tried again.
  bool Commit(std::vector<TRecord>& aBatch) EXCLUDES(lock_);
  // Deletes one chunk of rows past the limits; false when none is left.
  bool RetentionStep() EXCLUDES(lock_);
  // Handles a failure of the writer's connection: reports it, and moves a
  // corrupt file aside for a new one. Writer thread.
  void WriteFailed(int aCode, const std::string& aMessage) EXCLUDES(lock_);
  // Renames the corrupt file (and its companions) aside; false when it cannot.
  bool MoveAside() EXCLUDES(lock_);
  void DeliverReports() EXCLUDES(lock_);
  std::unique_ptr<TReader> TakeReader() EXCLUDES(readLock_, lock_);
  void GiveBackReader(std::unique_ptr<TReader> aReader) EXCLUDES(readLock_);
  static int64_t NowMillis();

  const std::string path_;
  const THistoryLimits limits_;
  const THandlers handlers_;

  // Writer thread only (and the constructor, before it starts).
  std::unique_ptr<TWriter> writer_;
  int64_t nextRetention_ = 0;  // steady ms
  // The id below which rows go for MaxMessages, found once per retention pass.
  int64_t retentionBelow_ = -1;
  // Open failed for a reason that may pass (locked, in use, disk full).
  bool reopenAllowed_ = true;

  mutable TMutex lock_;
  std::condition_variable_any wake_;
  std::condition_variable_any flushed_;
  std::deque<TRecord> queue_ GUARDED_BY(lock_);
  int64_t firstQueuedAt_ GUARDED_BY(lock_) = 0;  // steady ms
  bool stop_ GUARDED_BY(lock_) = false;
  bool flushWanted_ GUARDED_BY(lock_) = false;
  // The store is open for writing: ids may be handed out.
  bool writable_ GUARDED_BY(lock_) = false;
  // The schema is known: the readers may look.
  bool readable_ GUARDED_BY(lock_) = false;
  // Ids [nextId_, idLimit_) are ours to hand out, then [spareId_, spareLimit_).
  int64_t nextId_ GUARDED_BY(lock_) = 1;
  int64_t idLimit_ GUARDED_BY(lock_) = 0;
  int64_t spareId_ GUARDED_BY(lock_) = 0;
  int64_t spareLimit_ GUARDED_BY(lock_) = 0;
  int64_t nextSeq_ GUARDED_BY(lock_) = 1;
  // Every record up to this one is committed or dropped.
  int64_t handledSeq_ GUARDED_BY(lock_) = 0;
  // Commits and retention steps that failed, so far.
  int64_t failures_ GUARDED_BY(lock_) = 0;
  // A retention pass is under way.
  bool retentionBusy_ GUARDED_BY(lock_) = false;
  // Bumped whenever the file is replaced, so that readers reopen.
  int64_t generation_ GUARDED_BY(lock_) = 0;
  std::string problem_ GUARDED_BY(lock_);
  std::set<std::string> reportedKinds_ GUARDED_BY(lock_);
  std::vector<std::string> undelivered_ GUARDED_BY(lock_);
  int64_t reportsMade_ GUARDED_BY(lock_) = 0;
  int64_t reportsDelivered_ GUARDED_BY(lock_) = 0;
  THistoryStats stats_ GUARDED_BY(lock_);

  TMutex readLock_;
  std::vector<std::unique_ptr<TReader>> idleReaders_ GUARDED_BY(readLock_);

  std::thread thread_;
};

}  // namespace qorvel
