// What the message history costs and keeps. Four parts:
//  a  record rate: 100,000 submits and their results through the store as
//     fast as the writer takes them (records per second, batch sizes), then
//     a paced run at 1,000 submits per second with the writer's share of a core;
//  b  matching: 10,000 submits, two to each recipient in each second, with
//     their notifications arriving in random order (some before the submit's
//     result) spread over --seconds: matched / unmatched / matched twice;
//  c  a store of --rows messages: time to open it, the first page, queries
//     by number (prefix and anywhere) and by text, counts;
//  d  kill -9: a child records 10,000 submits and results at 1,000 a second
//     and is killed after a random delay; what the file holds against what
//     the child had recorded.
// Usage: history_bench [--parts abcd] [--seconds 60] [--rows 1000000] [--dir DIR]
// DIR defaults to a new folder under /var/tmp (a disk, not memory), removed
// afterwards.
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/message_store.h"

using namespace qorvel;
using Clock = std::chrono::steady_clock;

namespace {

const TDateTime kSecond = 1.0 / 86400;
const TDateTime kBase = EncodeDateTime({2024, 5, 2, 10, 0, 0, 0});

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}
double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double CpuSeconds(int aWho) {
  rusage usage{};
  ::getrusage(aWho, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

THistorySubmit Submit(const std::string& aNumber) {
  THistorySubmit submit;
  submit.Source = "bench";
  submit.Number = aNumber;
  submit.Text = "Your parcel 4711 arrives today between 10:00 and 12:00.";
  return submit;
}

std::string Number(int aIndex) {
  char text[24];
  std::snprintf(text, sizeof text, "+3161%07d", aIndex);
  return text;
}

int64_t Scalar(sqlite3* aDb, const char* aSql) {
  sqlite3_stmt* stmt = nullptr;
  int64_t value = -1;
  if (sqlite3_prepare_v2(aDb, aSql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW)
    value = sqlite3_column_int64(stmt, 0);
  sqlite3_finalize(stmt);
  return value;
}

int64_t Scalar(const std::string& aPath, const char* aSql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(aPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const int64_t value = Scalar(db, aSql);
  sqlite3_close(db);
  return value;
}

void PrintStats(const char* aWhat, const THistoryStats& aStats) {
  std::printf("  %s: %lld batches, %.1f records a batch on average, largest %lld, dropped %lld\n",
              aWhat, static_cast<long long>(aStats.Batches),
              aStats.Batches ? static_cast<double>(aStats.Committed) / aStats.Batches : 0.0,
              static_cast<long long>(aStats.LargestBatch), static_cast<long long>(aStats.Dropped));
}

void RecordRate(const std::string& aDir) {
  std::printf("a) record rate\n");
  constexpr int kSubmits = 100000;
  {
    TMessageStore store(aDir + "/rate.db", {});
    const auto start = Clock::now();
    Clock::duration inCalls{};
    for (int i = 0; i < kSubmits; ++i) {
      // Stay below the queue's bound: this measures the writer, not dropping.
      if (i % 1000 == 0)
        while (store.Stats().Queued > 50000)
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const auto before = Clock::now();
      const int64_t id = store.RecordSubmit(Submit(Number(i % 5000)));
      store.RecordSubmitResult(id, true, kBase + (i / 1000) * kSecond, "", i % 100);
      inCalls += Clock::now() - before;
    }
    store.Flush();
    const double elapsed = Seconds(Clock::now() - start);
    std::printf("  %d submits + %d results committed in %.2f s: %.0f records/s\n", kSubmits,
                kSubmits, elapsed, 2 * kSubmits / elapsed);
    std::printf("  caller's time in the record calls: %.2f us per submit + result\n",
                std::chrono::duration<double, std::micro>(inCalls).count() / kSubmits);
    PrintStats("writer", store.Stats());
  }
  {
    // The engine's pace at Window 100 and MaxSubmitsPerSecond 1000.
    constexpr int kRate = 1000, kPacedSeconds = 10;
    TMessageStore store(aDir + "/paced.db", {});
    const double cpuBefore = CpuSeconds(RUSAGE_SELF), mainBefore = CpuSeconds(RUSAGE_THREAD);
    const auto start = Clock::now();
    for (int i = 0; i < kRate * kPacedSeconds; ++i) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000LL / kRate));
      const int64_t id = store.RecordSubmit(Submit(Number(i % 5000)));
      store.RecordSubmitResult(id, true, kBase + (i / kRate) * kSecond, "", i % 100);
    }
    store.Flush();
    const double wall = Seconds(Clock::now() - start);
    const double writer =
        (CpuSeconds(RUSAGE_SELF) - cpuBefore) - (CpuSeconds(RUSAGE_THREAD) - mainBefore);
    std::printf(
        "  paced %d submits/s for %d s: the writer used %.2f s of CPU in %.2f s: %.1f %% of "
        "one core\n",
        kRate, kPacedSeconds, writer, wall, 100 * writer / wall);
    PrintStats("writer", store.Stats());
  }
}

void Matching(const std::string& aDir, double aSeconds) {
  std::printf("b) matching over %.0f s\n", aSeconds);
  constexpr int kSubmits = 10000, kRecipients = 50;
  struct TEvent {
    double At;
    int Kind;  // 0 submit, 1 result, 2 notification
    int Index;
  };
  std::mt19937 random(4711);
  std::uniform_real_distribution<double> unit(0, 1);
  std::vector<TEvent> events;
  // Submits spread over the first half, 100 per simulated SCTS second; each
  // result soon after; each notification at any moment after the submit,
  // so a few come before their result.
  for (int i = 0; i < kSubmits; ++i) {
    const double submitted = aSeconds / 2 * i / kSubmits;
    events.push_back({submitted, 0, i});
    events.push_back({submitted + 0.05 * unit(random), 1, i});
    events.push_back({submitted + (aSeconds - submitted) * unit(random), 2, i});
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const TEvent& a, const TEvent& b) { return a.At < b.At; });
  const std::string path = aDir + "/matching.db";
  std::vector<int64_t> ids(kSubmits, 0);
  int early = 0;
  {
    TMessageStore store(path, {});
    std::vector<bool> answered(kSubmits, false);
    const auto start = Clock::now();
    for (const TEvent& event : events) {
      std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(event.At)));
      const int i = event.Index;
      const TDateTime scts = kBase + (i / 100) * kSecond;
      const std::string number = Number(i % kRecipients);
      if (event.Kind == 0) {
        ids[i] = store.RecordSubmit(Submit(number));
      } else if (event.Kind == 1) {
        store.RecordSubmitResult(ids[i], true, scts, "");
        answered[i] = true;
      } else {
        TRetrieveDeliveryNotificationItem item;
        // As the engine reads it: the SMSC echoes "0031…" and FromSmscAddress gives "+31…".
        item.DA = number;
        item.OA = "1234";
        item.SCTS = scts;
        item.DeliveryStatus = 0;
        item.DSCTS = scts + 3 * kSecond;
        store.RecordNotification(item);
        early += !answered[i];
      }
    }
    store.Flush();
    PrintStats("writer", store.Stats());
  }
  const int64_t matched = Scalar(
      path, "SELECT count(*) FROM messages WHERE direction = 'out' AND status = 'delivered'");
  const int64_t unmatched =
      Scalar(path, "SELECT count(*) FROM messages WHERE direction = 'notification'");
  const int64_t twice = Scalar(path,
                               "SELECT count(*) FROM (SELECT message_id FROM events"
                               " WHERE kind = 'notification' GROUP BY message_id"
                               " HAVING count(*) > 1)");
  std::printf("  %d submits, %d notifications (%d before their submit's result)\n", kSubmits,
              kSubmits, early);
  std::printf("  matched %lld / unmatched %lld / matched twice %lld\n",
              static_cast<long long>(matched), static_cast<long long>(unmatched),
              static_cast<long long>(twice));
}

void BigStore(const std::string& aDir, int aRows) {
  std::printf("c) a store of %d messages\n", aRows);
  const std::string path = aDir + "/big.db";
  { TMessageStore schema(path, {}); }
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  auto start = Clock::now();
  {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* message = nullptr;
    sqlite3_stmt* event = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO messages (id, time, direction, source, number, number_key,"
                       " text, status, status_time, scts) VALUES (?, ?, 'out', 'bench', ?, ?, ?,"
                       " 'delivered', ?, ?)",
                       -1, &message, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO events (message_id, time, kind) VALUES (?, ?, 'submitted')",
                       -1, &event, nullptr);
    for (int i = 1; i <= aRows; ++i) {
      const std::string number = Number(i % 200000);
      const std::string key = MatchKey(number);
      const std::string text = "Message " + std::to_string(i);
      const int64_t time = now - static_cast<int64_t>(aRows - i) * 1000;
      sqlite3_bind_int64(message, 1, i);
      sqlite3_bind_int64(message, 2, time);
      sqlite3_bind_text(message, 3, number.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(message, 4, key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_blob(message, 5, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      sqlite3_bind_int64(message, 6, time);
      sqlite3_bind_int64(message, 7, 3900000000LL + i);
      sqlite3_step(message);
      sqlite3_reset(message);
      sqlite3_bind_int64(event, 1, i);
      sqlite3_bind_int64(event, 2, time);
      sqlite3_step(event);
      sqlite3_reset(event);
    }
    sqlite3_finalize(message);
    sqlite3_finalize(event);
    sqlite3_exec(db, "INSERT INTO numbers (numbers) VALUES ('rebuild'); COMMIT", nullptr, nullptr,
                 nullptr);
    sqlite3_close(db);
  }
  std::printf("  built in %.1f s, %.0f MB\n", Seconds(Clock::now() - start),
              static_cast<double>(std::filesystem::file_size(path)) / 1e6);
  start = Clock::now();
  TMessageStore store(path, {});
  std::printf("  open: %.2f ms (problem: \"%s\")\n", Ms(Clock::now() - start),
              store.Problem().c_str());
  auto timed = [&](const char* aWhat, auto aQuery) {
    const auto begin = Clock::now();
    const auto result = aQuery();
    std::printf("  %-44s %8.2f ms  (%lld)\n", aWhat, Ms(Clock::now() - begin),
                static_cast<long long>(result));
  };
  THistoryFilter prefix;
  prefix.Number = "+316100012";
  THistoryFilter anywhere;
  anywhere.Number = "00123";
  anywhere.NumberAnywhere = true;
  THistoryFilter text;
  text.Text = "Message 99999";
  timed("first page, 100 newest (rows)",
        [&] { return store.Query({}, THistorySort::NewestFirst, 0, 100).size(); });
  timed("first page again (rows)",
        [&] { return store.Query({}, THistorySort::NewestFirst, 0, 100).size(); });
  timed("page 100 by number (rows)",
        [&] { return store.Query({}, THistorySort::Number, 9900, 100).size(); });
  timed("number prefix +316100012, newest 100 (rows)",
        [&] { return store.Query(prefix, THistorySort::NewestFirst, 0, 100).size(); });
  timed("number anywhere 00123, newest 100 (rows)",
        [&] { return store.Query(anywhere, THistorySort::NewestFirst, 0, 100).size(); });
  timed("text 'Message 99999', newest 100 (rows)",
        [&] { return store.Query(text, THistorySort::NewestFirst, 0, 100).size(); });
  timed("Count, all", [&] { return store.Count({}); });
  timed("Count, number prefix +316100012", [&] { return store.Count(prefix); });
  timed("Count, number anywhere 00123", [&] { return store.Count(anywhere); });
  timed("Story of one message (events)", [&] { return store.Story(aRows / 2)->Events.size(); });
  start = Clock::now();
  const int64_t id = store.RecordSubmit(Submit(Number(1)));
  store.Flush();
  std::printf("  a first record and its commit (with retention's pass): %.2f ms, id %lld\n",
              Ms(Clock::now() - start), static_cast<long long>(id));
}

void KillNine(const std::string& aDir) {
  std::printf("d) kill -9 while recording\n");
  constexpr int kSubmits = 10000, kRate = 1000;
  const std::string path = aDir + "/killed.db";
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return;
  std::mt19937 random(static_cast<unsigned>(::time(nullptr)));
  const int delayMs = std::uniform_int_distribution<int>(1000, 9000)(random);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    TMessageStore store(path, {});
    const auto start = Clock::now();
    for (int i = 0; i < kSubmits; ++i) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000LL / kRate));
      const int64_t id = store.RecordSubmit(Submit(Number(i)));
      store.RecordSubmitResult(id, true, kBase + (i / kRate) * kSecond, "");
      const int32_t count = i + 1;
      if (::write(pipeFds[1], &count, sizeof count) != sizeof count) ::_exit(1);
    }
    store.Flush();
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  int32_t recorded = 0, count;
  while (::read(pipeFds[0], &count, sizeof count) == sizeof count) recorded = count;
  ::close(pipeFds[0]);
  const int64_t stored = Scalar(path, "SELECT count(*) FROM messages WHERE status = 'accepted'");
  const int64_t rows = Scalar(path, "SELECT count(*) FROM messages");
  std::printf(
      "  killed after %d ms: the child had recorded %d results; the file holds %lld "
      "(and %lld submits)\n",
      delayMs, recorded, static_cast<long long>(stored), static_cast<long long>(rows));
  std::printf(
      "  missing: %lld results = %.0f ms at %d a second; bound: the last %d ms plus one "
      "batch of at most %d records being committed\n",
      static_cast<long long>(recorded - stored), 1000.0 * (recorded - stored) / kRate, kRate,
      TMessageStore::kBatchMillis, TMessageStore::kBatchRecords);
}

}  // namespace

int main(int argc, char** argv) {
  std::string parts = "abcd", dir;
  double seconds = 60;
  int rows = 1000000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--parts") {
      parts = value;
    } else if (option == "--seconds") {
      seconds = std::atof(value.c_str());
    } else if (option == "--rows") {
      rows = std::atoi(value.c_str());
    } else if (option == "--dir") {
      dir = value;
    } else {
      std::fprintf(stderr, "unknown option %s\n", option.c_str());
      return 2;
    }
  }
  if (seconds <= 0 || rows <= 0) {
    std::fprintf(stderr, "--seconds and --rows must be positive\n");
    return 2;
  }
  bool removeDir = false;
  if (dir.empty()) {
    std::string pattern = "/var/tmp/history-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    dir = pattern;
    removeDir = true;
  }
  std::printf("history_bench in %s; batches: at most %d ms or %d records\n", dir.c_str(),
              TMessageStore::kBatchMillis, TMessageStore::kBatchRecords);
  if (parts.find('a') != std::string::npos) RecordRate(dir);
  if (parts.find('b') != std::string::npos) Matching(dir, seconds);
  if (parts.find('c') != std::string::npos) BigStore(dir, rows);
  if (parts.find('d') != std::string::npos) KillNine(dir);
  if (removeDir) std::filesystem::remove_all(dir);
  return 0;
}
