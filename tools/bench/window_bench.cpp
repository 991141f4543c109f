// window_bench: windowed submits, an engine over TCP against the simulated
// SMSC on 127.0.0.1 (a fresh simulator and engine for every run).
//  - submits per second and the latency of each (StartSubmit to completion)
//    at Window 1, 10 and 100, with the window kept full;
//  - exactly once: submits at Window 100 while the centre refuses some, answers
//    some too late and drops the connection once; the program plays the
//    supervisor, reopening and sending again only what never reached the
//    wire, then checks the caller's results against the centre's counts;
//  - a flood of operations 52 in one write while submits run at Window 1:
//    the share handed to the application on first sending, the backlog
//    throttle unchanged;
//  - how late a 10 ms timer on the main thread runs while the engine works,
//    while the centre keeps a full window unanswered, and while the engine
//    tries again and again to connect to a port that never answers (as a
//    host that drops connection requests); how long closing then takes to
//    end a connect under way.
// Every phase gives up after --limit seconds and says so. Exits 1 when a
// check fails, a phase gave up, or, where no answer comes late, an answer
// missed its submit or the centre took a message twice; 2 on a bad option.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "connect/clock.h"
#include "connect/main_thread.h"
#include "emi/codec.h"
#include "emi/emi_client.h"
#include "tools/smsc/silent_port.h"
#include "tools/smsc/smsc_simulator.h"
#include "transport/client_socket_connection.h"

using namespace qorvel;

namespace {

constexpr char kUsage[] =
    "usage: window_bench [--w1=50] [--w10=10000] [--w100=10000] [--exact=10000]\n"
    "                    [--extra=0] [--repeats=1] [--silent=4000] [--limit=120]\n"
    "                    [--connect=4000] [--flood=10000] [--seed=1] [--json]\n"
    "  --w1, --w10, --w100  messages submitted at Window 1, 10 and 100 (0 skips)\n"
    "  --exact              messages of the exactly-once run at Window 100 (0 skips)\n"
    "  --extra              submits kept waiting in the engine's queue beyond the window\n"
    "  --repeats            attempts per message in the exactly-once run\n"
    "  --silent             milliseconds the centre leaves a full window unanswered\n"
    "  --limit              seconds after which a phase gives up\n"
    "  --connect            milliseconds of connect attempts to a silent port (0 skips)\n"
    "  --flood              operations 52 written at once while submits run (0 skips)\n"
    "  --seed               the centre's seed for its faults\n"
    "  --json               print the figures as JSON instead of tables\n";

constexpr char kRecipient[] = "0612345678";
// How the engine words a time-out: a failure like any other, except that the
// SMSC was still up and simply did not answer in time.
constexpr char kTimedOutText[] = "Expected server answer is \"ACK\" or \"NAK\"";
constexpr int kProbeTickMs = 10;
constexpr int kMaxReopens = 5;

struct TOptions {
  int W1 = 50;
  int W10 = 10000;
  int W100 = 10000;
  int Exact = 10000;
  int Extra = 0;
  int Repeats = 1;
  int SilentMs = 4000;
  int ConnectMs = 4000;
  int Flood = 10000;
  int LimitS = 120;
  uint64_t Seed = 1;
  bool Json = false;
};

bool ParseOptions(int argc, char** argv, TOptions& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--json") {
      o.Json = true;
      continue;
    }
    const auto eq = arg.find('=');
    if (!arg.starts_with("--") || eq == std::string_view::npos) return false;
    const std::string_view name = arg.substr(2, eq - 2);
    const std::string text(arg.substr(eq + 1));
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0) return false;
    const int v = static_cast<int>(std::min<long long>(value, 1'000'000'000));
    if (name == "w1") o.W1 = v;
    else if (name == "w10") o.W10 = v;
    else if (name == "w100") o.W100 = v;
    else if (name == "exact") o.Exact = v;
    else if (name == "extra") o.Extra = v;
    else if (name == "repeats") o.Repeats = std::max(1, v);
    else if (name == "silent") o.SilentMs = v;
    else if (name == "connect") o.ConnectMs = v;
    else if (name == "flood") o.Flood = v;
    else if (name == "limit") o.LimitS = std::max(1, v);
    else if (name == "seed") o.Seed = static_cast<uint64_t>(value);
    else return false;
  }
  return true;
}

// Sub-millisecond time on the clock the main thread's timers run on.
double NowMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

struct TStats {
  std::size_t Count = 0;
  double Median = 0, P99 = 0, Worst = 0;
};

TStats Summarise(std::vector<double> v) {
  TStats s;
  s.Count = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  // Nearest rank.
  auto rank = [&](double p) {
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size()) + 0.999999);
    return v[std::clamp<std::size_t>(i, 1, v.size()) - 1];
  };
  s.Median = rank(0.5);
  s.P99 = rank(0.99);
  s.Worst = v.back();
  return s;
}

// Runs hand-over work and due timers until aDone holds; false when aLimitMs
// passed first.
bool RunUntil(const std::function<bool()>& aDone, double aLimitMs) {
  return main_thread::WaitOnMainThread(
      aDone, std::chrono::milliseconds(static_cast<long long>(std::max(aLimitMs, 0.0))));
}

// A chain of 10 ms timers on the main thread, each noting how long after its
// due time it ran: what a user interface on this thread would feel.
class TProbe {
 public:
  void Start() {
    running_ = true;
    Arm();
  }
  void Stop() {
    running_ = false;
    if (timer_ != 0) SystemClock().Cancel(timer_);
    timer_ = 0;
  }
  TStats Lateness() const { return Summarise(late_); }

 private:
  void Arm() {
    // Due as the timer queue reckons it, in whole milliseconds.
    const double due = static_cast<double>(SystemClock().Now() + kProbeTickMs);
    timer_ = SystemClock().Post(kProbeTickMs, [this, due] {
      timer_ = 0;
      late_.push_back(std::max(0.0, NowMs() - due));
      if (running_) Arm();
    });
  }

  bool running_ = false;
  TTimerId timer_ = 0;
  std::vector<double> late_;
};

TSmscConfig CentreConfig(uint64_t aSeed) {
  TSmscConfig c;
  c.Account = "1234";
  c.Password = "pw";
  // Notifications would add traffic of their own to every submit.
  c.Notifications = false;
  c.Seed = aSeed;
  return c;
}

// One engine over its own TCP connection to its own simulated centre.
struct TRig {
  TRig(TSmscConfig aConfig, int aWindow) : Smsc(std::move(aConfig)) {
    Socket.SetAddress("127.0.0.1");
    Socket.SetPort(Smsc.Port());
    Engine.SetComDevice(&Socket);
    Engine.Window = aWindow;
    TParams params;
    params.SetValue("USER", "1234");
    params.SetValue("PASSWORD", "pw");
    Engine.SetParams(params);
    // An answer to a submit belongs to that submit's completion; one that
    // reaches the application found no submit waiting for it.
    Engine.OnRxCommand = [this](TComponent*, uint8_t aOT, uint8_t, bool aResult,
                                const std::string&) {
      if (aResult && aOT == 51) ++Strays;
    };
  }
  int Strays = 0;
  TSmscSimulator Smsc;
  TClientSocketConnection Socket;  // before the engine, which uses it to the end
  TEMIClient Engine;
};

std::string MessageText(std::string_view aRun, int aNumber) {
  return "window bench " + std::string(aRun) + " message " + std::to_string(aNumber);
}

// --- Throughput and latency ---------------------------------------------------

struct TWindowRun {
  int Window = 0;
  int Messages = 0;
  int Pending = 0;
  int Completed = 0, Acked = 0, Other = 0;
  int Doubled = 0;  // completions beyond the first for one submit
  int Strays = 0;   // answers to submits that reached OnRxCommand instead
  TSmscCounts Counts;
  double Seconds = 0;
  TStats Latency, Probe;
  bool GaveUp = false;
};

TWindowRun RunWindow(const TOptions& o, int aWindow, int aCount) {
  TWindowRun r;
  r.Window = aWindow;
  r.Messages = aCount;
  r.Pending = aWindow + o.Extra;
  TRig rig(CentreConfig(o.Seed), aWindow);
  rig.Engine.Open();

  std::vector<double> latency;
  latency.reserve(aCount);
  std::vector<int> completions(aCount, 0);
  int started = 0, inFlight = 0;
  const std::string run = "w" + std::to_string(aWindow);
  std::function<void()> feed = [&] {
    while (started < aCount && inFlight < r.Pending) {
      const int i = started++;
      ++inFlight;
      const double t0 = NowMs();
      rig.Engine.StartSubmit(kRecipient, MessageText(run, i + 1), false, 255, 0, 0, 0, 0,
                             [&, i, t0](const TOperationResult& aResult, TDateTime) {
                               if (++completions[i] > 1) {
                                 ++r.Doubled;
                                 return;
                               }
                               latency.push_back(NowMs() - t0);
                               --inFlight;
                               ++r.Completed;
                               ++(aResult.Ack() ? r.Acked : r.Other);
                               feed();
                             });
    }
  };

  TProbe probe;
  probe.Start();
  const double t0 = NowMs();
  feed();
  r.GaveUp = !RunUntil([&] { return r.Completed == aCount; }, o.LimitS * 1000.0);
  r.Seconds = (NowMs() - t0) / 1000.0;
  probe.Stop();
  r.Latency = Summarise(latency);
  r.Probe = probe.Lateness();
  r.Strays = rig.Strays;
  // What a give-up leaves pending fails on closing; its completions still
  // refer to this frame, so they are run before it ends.
  started = aCount;
  rig.Engine.Close();
  RunUntil([&] { return inFlight == 0; }, 5000);
  r.Counts = rig.Smsc.Counts();
  return r;
}

// --- Exactly once -------------------------------------------------------------

struct TExactRun {
  int Messages = 0;
  int RecTimeout = 0;
  int Acked = 0, Naked = 0;
  std::vector<int> TimedOut;   // written, no answer in time
  std::vector<int> LostAfter;  // written, then the link went
  int Resends = 0;             // submits started again, having never been written
  std::vector<int> Resent;     // the messages concerned
  int Reopens = 0;
  int Strays = 0;    // answers to submits that reached OnRxCommand instead
  int Doubled = 0;   // a submit completed more than once
  int Resettled = 0; // a message given a second final result
  int Unsettled = 0; // messages without a final result at the end
  std::vector<std::string> Notes;
  double Seconds = 0;
  bool GaveUp = false;
  TSmscCounts Counts;
  bool OneResultEach = false, AcceptedFits = false, NoDuplicates = false, RefusedFits = false;
  int MayHaveBeenTaken() const { return static_cast<int>(TimedOut.size() + LostAfter.size()); }
  bool Held() const { return OneResultEach && AcceptedFits && NoDuplicates && RefusedFits; }
};

TExactRun RunExactlyOnce(const TOptions& o) {
  constexpr int kWindow = 100;
  TExactRun r;
  r.Messages = o.Exact;
  TSmscConfig config = CentreConfig(o.Seed);
  config.NakShare = 0.01;
  config.LateShare = 0.01;
  config.LateBy = std::chrono::milliseconds(5000);
  config.DropAfter = o.Exact / 2;
  TRig rig(std::move(config), kWindow);
  // Another window's worth waits in the engine's queue, so that the drop
  // catches messages that were never written as well as those that were.
  const int pending = 2 * kWindow;
  rig.Engine.RepeatCount = o.Repeats;
  r.RecTimeout = rig.Engine.RecTimeout;
  rig.Engine.Open();

  enum TFinal : char { fNone, fAck, fNak, fTimedOut, fLost };
  std::vector<TFinal> final(o.Exact, fNone);
  std::vector<int> completions;  // per submit started
  std::deque<int> toSend;
  for (int i = 0; i < o.Exact; ++i) toSend.push_back(i);
  int settled = 0, inFlight = 0;
  bool linkDown = false;

  auto settle = [&](int i, TFinal f) {
    if (final[i] != fNone) {
      ++r.Resettled;
      return;
    }
    final[i] = f;
    ++settled;
    if (f == fAck) ++r.Acked;
    if (f == fNak) ++r.Naked;
    if (f == fTimedOut) r.TimedOut.push_back(i + 1);
    if (f == fLost) r.LostAfter.push_back(i + 1);
  };
  std::function<void()> feed = [&] {
    while (!linkDown && inFlight < pending && !toSend.empty()) {
      const int i = toSend.front();
      toSend.pop_front();
      const std::size_t submit = completions.size();
      completions.push_back(0);
      ++inFlight;
      auto done = [&, i, submit](const TOperationResult& aResult, TDateTime) {
        if (++completions[submit] > 1) {
          ++r.Doubled;
          return;
        }
        --inFlight;
        if (aResult.Ack()) {
          settle(i, fAck);
        } else if (aResult.Kind == TOperationResult::okNak) {
          settle(i, fNak);
        } else if (!aResult.Written) {
          // Never on the wire: the centre cannot have it, so it goes again
          // once the link is back.
          ++r.Resends;
          if (r.Resent.empty() || r.Resent.back() != i + 1) r.Resent.push_back(i + 1);
          toSend.push_back(i);
          linkDown = true;
        } else if (aResult.ErrorText() == kTimedOutText) {
          settle(i, fTimedOut);
        } else {
          settle(i, fLost);
          linkDown = true;
        }
        feed();
      };
      try {
        rig.Engine.StartSubmit(kRecipient, MessageText("exact", i + 1), false, 255, 0, 0, 0, 0,
                               std::move(done));
      } catch (const std::exception& e) {
        // Refused before anything was sent: as unsent as it gets.
        --inFlight;
        completions[submit] = 1;
        toSend.push_front(i);
        linkDown = true;
        r.Notes.push_back(std::string("StartSubmit refused: ") + e.what());
      }
    }
  };

  const double t0 = NowMs();
  const double limitMs = o.LimitS * 1000.0;
  feed();
  while (settled < o.Exact) {
    const double left = limitMs - (NowMs() - t0);
    if (!RunUntil([&] { return settled == o.Exact || (linkDown && inFlight == 0); }, left)) {
      r.GaveUp = true;
      break;
    }
    if (settled == o.Exact) break;
    // The supervisor's part: once everything started has come back, a new
    // connection for what is left.
    if (r.Reopens == kMaxReopens) {
      r.Notes.push_back("gave up reopening after " + std::to_string(kMaxReopens) + " times");
      r.GaveUp = true;
      break;
    }
    ++r.Reopens;
    rig.Engine.Close();
    try {
      rig.Engine.Open();
    } catch (const std::exception& e) {
      r.Notes.push_back(std::string("reopening failed: ") + e.what());
      RunUntil([] { return false; }, 200);
      continue;
    }
    linkDown = false;
    feed();
  }
  r.Seconds = (NowMs() - t0) / 1000.0;
  toSend.clear();
  rig.Engine.Close();
  RunUntil([&] { return inFlight == 0; }, 5000);
  // Anything still on its way to the centre is read by now.
  RunUntil([] { return false; }, 200);
  r.Counts = rig.Smsc.Counts();
  r.Strays = rig.Strays;
  std::sort(r.TimedOut.begin(), r.TimedOut.end());
  std::sort(r.LostAfter.begin(), r.LostAfter.end());

  r.Unsettled = o.Exact - settled;
  r.OneResultEach = r.Unsettled == 0 && r.Doubled == 0 && r.Resettled == 0;
  r.AcceptedFits =
      r.Counts.Accepted >= r.Acked && r.Counts.Accepted <= r.Acked + r.MayHaveBeenTaken();
  r.RefusedFits =
      r.Counts.Refused >= r.Naked && r.Counts.Refused <= r.Naked + r.MayHaveBeenTaken();
  r.NoDuplicates = r.Counts.Duplicates == 0;
  return r;
}

// --- The main thread while the centre is silent -------------------------------

struct TSilentRun {
  int Window = 100;
  int RecTimeout = 0;
  int Outstanding = 0;  // submits the engine held when the silence ended
  int Read = 0;         // submits the centre read, repeats included
  double Seconds = 0;
  TStats Probe;
};

TSilentRun RunSilent(const TOptions& o) {
  TSilentRun r;
  TRig rig(CentreConfig(o.Seed), r.Window);
  r.RecTimeout = rig.Engine.RecTimeout;
  rig.Engine.Open();
  rig.Smsc.WithholdAnswers(51);
  int inFlight = 0;
  for (int i = 0; i < r.Window; ++i) {
    ++inFlight;
    rig.Engine.StartSubmit(kRecipient, MessageText("silent", i + 1), false, 255, 0, 0, 0, 0,
                           [&](const TOperationResult&, TDateTime) { --inFlight; });
  }
  TProbe probe;
  probe.Start();
  const double t0 = NowMs();
  RunUntil([] { return false; }, o.SilentMs);
  r.Seconds = (NowMs() - t0) / 1000.0;
  probe.Stop();
  r.Probe = probe.Lateness();
  r.Outstanding = rig.Engine.OperationsPending();
  r.Read = static_cast<int>(rig.Smsc.Operations(51).size());
  rig.Smsc.ClearRules();
  rig.Engine.Close();
  RunUntil([&] { return inFlight == 0; }, 5000);
  return r;
}

// --- Connecting to a port that never answers ----------------------------------

struct TConnectRun {
  bool Skipped = false;
  int ConnectTimeoutMs = 1000;
  int Attempts = 0;  // attempts that ended at their time-out
  double Seconds = 0;
  TStats Probe;
  double CloseMs = 0;  // closing with a connect under way
};

// Attempts follow each other 200 ms apart, as the supervisor's reconnection
// does, each bounded by a short ConnectTimeout so that several fit.
TConnectRun RunConnect(const TOptions& o) {
  TConnectRun r;
  TSilentPort silent;
  if (silent.Port() == 0) {
    r.Skipped = true;
    return r;
  }
  TClientSocketConnection socket;
  socket.SetAddress("127.0.0.1");
  socket.SetPort(silent.Port());
  socket.SetConnectTimeout(std::chrono::milliseconds(r.ConnectTimeoutMs));
  TEMIClient engine;
  engine.SetComDevice(&socket);
  TParams params;
  params.SetValue("USER", "1234");
  engine.SetParams(params);

  bool running = true;
  TTimerId next = 0;
  std::function<void()> attempt = [&] {
    next = 0;
    engine.StartOpen([&](std::exception_ptr aFailure) {
      if (aFailure) ++r.Attempts;
      if (running) next = SystemClock().Post(200, attempt);
    });
  };
  TProbe probe;
  probe.Start();
  const double t0 = NowMs();
  attempt();
  RunUntil([] { return false; }, o.ConnectMs);
  r.Seconds = (NowMs() - t0) / 1000.0;
  probe.Stop();
  r.Probe = probe.Lateness();
  running = false;
  if (next != 0) {
    SystemClock().Cancel(next);
    attempt();
  }
  RunUntil([] { return false; }, 100);
  const double c0 = NowMs();
  engine.Close();
  r.CloseMs = NowMs() - c0;
  return r;
}

// --- Messages from mobiles while submits run -----------------------------------

struct TFloodRun {
  int Flood = 0;
  int Dispatched = 0;  // distinct operations 52 the application was handed
  int Submits = 0;     // submits completed meanwhile
  double Seconds = 0;
  TStats Probe;
};

TFloodRun RunFlood(const TOptions& o) {
  TFloodRun r;
  r.Flood = o.Flood;
  TRig rig(CentreConfig(o.Seed), 1);
  std::vector<bool> seen(static_cast<std::size_t>(o.Flood), false);
  rig.Engine.OnRxCommand = [&](TComponent*, uint8_t aOT, uint8_t, bool aResult,
                               const std::string& aData) {
    if (aOT != 52 || aResult) return;
    // The message's number is the last word of its text, in the hex of field 21.
    const std::string text = HexToText(FieldAt(aData, 20));
    const int n = std::atoi(text.c_str() + text.rfind(' ') + 1);
    if (n >= 1 && n <= o.Flood && !seen[static_cast<std::size_t>(n - 1)]) {
      seen[static_cast<std::size_t>(n - 1)] = true;
      ++r.Dispatched;
    }
  };
  rig.Engine.Open();
  bool submitting = true;
  std::function<void()> next = [&] {
    rig.Engine.StartSubmit(kRecipient, "flood bench", false, 255, 0, 0, 0, 0,
                           [&](const TOperationResult&, TDateTime) {
                             ++r.Submits;
                             if (submitting) next();
                           });
  };
  next();
  std::vector<std::string> frames;
  frames.reserve(static_cast<std::size_t>(o.Flood));
  for (int i = 1; i <= o.Flood; ++i) {
    TMobileMessage m;
    m.OA = "0612000001";
    m.DA = "1234";
    m.Msg = "flood " + std::to_string(i);
    m.SCTS = "070503140559";
    frames.push_back(rig.Smsc.DeliverFrame(m));
  }
  TProbe probe;
  probe.Start();
  const double t0 = NowMs();
  rig.Smsc.SendTogether(frames);
  // Until every message arrived, or none arrived for two seconds.
  int last = -1;
  while (r.Dispatched < o.Flood && r.Dispatched != last) {
    last = r.Dispatched;
    RunUntil([&] { return r.Dispatched == o.Flood; }, 2000);
  }
  r.Seconds = (NowMs() - t0) / 1000.0;
  probe.Stop();
  r.Probe = probe.Lateness();
  submitting = false;
  RunUntil([&] { return rig.Engine.OperationsPending() == 0; }, 5000);
  rig.Engine.Close();
  return r;
}

void PrintFlood(const TFloodRun& f) {
  std::printf(
      "Flood: %d operations 52 in one write while submits ran at Window 1 (%d completed\n"
      "meanwhile): %d handed to the application on first sending (%.2f %%) in %.2f s. Probe\n"
      "lateness: median %.2f ms, p99 %.2f ms, worst %.2f ms.\n\n",
      f.Flood, f.Submits, f.Dispatched, 100.0 * f.Dispatched / std::max(1, f.Flood), f.Seconds,
      f.Probe.Median, f.Probe.P99, f.Probe.Worst);
}

// --- Output -------------------------------------------------------------------

// 1-3, 7, 9-12
std::string Ranges(const std::vector<int>& aNumbers) {
  std::vector<int> n = aNumbers;
  std::sort(n.begin(), n.end());
  std::string out;
  for (std::size_t i = 0; i < n.size();) {
    std::size_t j = i;
    while (j + 1 < n.size() && n[j + 1] == n[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(n[i]);
    if (j > i) out += "-" + std::to_string(n[j]);
    i = j + 1;
  }
  return out.empty() ? "none" : out;
}

std::string JsonStats(const TStats& s) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "{\"count\": %zu, \"median\": %.3f, \"p99\": %.3f, \"worst\": %.3f}",
                s.Count, s.Median, s.P99, s.Worst);
  return buf;
}

std::string JsonList(const std::vector<int>& v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + std::to_string(v[i]);
  return out + "]";
}

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

void PrintConnect(const TConnectRun& c) {
  if (c.Skipped) {
    std::printf("Connecting: skipped, this system answers connections beyond a full backlog.\n\n");
    return;
  }
  std::printf(
      "Connecting to a port that never answers for %.2f s: %d attempts ended at their %d ms\n"
      "time-out, 200 ms apart. Probe lateness: median %.2f ms, p99 %.2f ms, worst %.2f ms\n"
      "(%zu ticks). Closing with a connect under way took %.2f ms.\n\n",
      c.Seconds, c.Attempts, c.ConnectTimeoutMs, c.Probe.Median, c.Probe.P99, c.Probe.Worst,
      c.Probe.Count, c.CloseMs);
}

void PrintTables(const TOptions& o, const std::vector<TWindowRun>& runs,
                 const TExactRun* exact, const TSilentRun* silent) {
  std::printf("window_bench: engine over TCP, simulated SMSC on 127.0.0.1, seed %llu\n\n",
              static_cast<unsigned long long>(o.Seed));
  if (!runs.empty()) {
    std::printf(
        "Submits; latency from StartSubmit to completion; probe = lateness of a 10 ms timer on\n"
        "the main thread meanwhile. Pending = submits kept started (window + %d queued).\n",
        o.Extra);
    std::printf("%6s %8s %7s %6s %6s %5s %5s %8s %9s | %9s %9s %9s | %6s %6s %6s\n", "window",
                "messages", "pending", "acked", "other", "stray", "dup", "seconds", "submits/s",
                "lat med", "lat p99", "lat worst", "pr med", "pr p99", "pr max");
    for (const auto& r : runs) {
      std::printf(
          "%6d %8d %7d %6d %6d %5d %5d %8.2f %9.1f | %9.2f %9.2f %9.2f | %6.2f %6.2f %6.2f%s\n",
          r.Window, r.Messages, r.Pending, r.Acked, r.Other, r.Strays, r.Counts.Duplicates,
          r.Seconds,
                  r.Completed / r.Seconds, r.Latency.Median, r.Latency.P99, r.Latency.Worst,
                  r.Probe.Median, r.Probe.P99, r.Probe.Worst,
                  r.GaveUp ? "  GAVE UP" : "");
      if (r.GaveUp)
        std::printf("       gave up after %d s: %d of %d completed\n", o.LimitS, r.Completed,
                    r.Messages);
      if (r.Doubled)
        std::printf("       %d completions beyond the first for one submit\n", r.Doubled);
    }
    std::printf("(all times in ms)\n");
    if (std::any_of(runs.begin(), runs.end(), [](const auto& r) { return r.Strays > 0; }))
      std::printf(
          "stray: ACKs that reached OnRxCommand instead of completing their submit. The SMSC\n"
          "answers every submit at once here, so each is an answer the engine did not match: its\n"
          "submit waits out the time-out and is sent again (dup: the SMSC took it twice).\n");
    std::printf("\n");
  }
  if (silent) {
    std::printf(
        "Silent SMSC: window %d full of submits left unanswered for %.2f s (engine defaults:\n"
        "time-out %d ms, then repeats); %d submits read by the SMSC, %d still pending at the end.\n",
        silent->Window, silent->Seconds, silent->RecTimeout, silent->Read,
        silent->Outstanding);
    std::printf("  probe lateness: median %.2f ms, p99 %.2f ms, worst %.2f ms (%zu ticks)\n\n",
                silent->Probe.Median, silent->Probe.P99, silent->Probe.Worst, silent->Probe.Count);
  }
  if (exact) {
    const TExactRun& e = *exact;
    std::printf(
        "Exactly once: %d messages at window 100, 200 started at a time; the SMSC refuses 1 %%,\n"
        "answers 1 %% 5000 ms late and drops the connection after submit %d. Engine: time-out\n"
        "%d ms, %d attempt(s) per message. Reopened %d time(s); %.2f s%s.\n",
        e.Messages, e.Messages / 2, e.RecTimeout, o.Repeats, e.Reopens, e.Seconds,
        e.GaveUp ? ", GAVE UP" : "");
    std::printf("  caller:  acked %d, refused %d, timed out %d, lost after writing %d\n", e.Acked,
                e.Naked, static_cast<int>(e.TimedOut.size()),
                static_cast<int>(e.LostAfter.size()));
    std::printf("           may have been taken (timed out or lost after writing): %d\n",
                e.MayHaveBeenTaken());
    std::printf("           resent because never written: %d submits of %d messages\n",
                e.Resends, static_cast<int>(e.Resent.size()));
    std::printf("  timed out:          %s\n", Ranges(e.TimedOut).c_str());
    std::printf("  lost after writing: %s\n", Ranges(e.LostAfter).c_str());
    std::printf("  resent:             %s\n", Ranges(e.Resent).c_str());
    std::printf("  SMSC:    received %d, accepted %d, refused %d, duplicates %d\n",
                e.Counts.Received, e.Counts.Accepted, e.Counts.Refused, e.Counts.Duplicates);
    std::printf(
        "  answers to submits that reached OnRxCommand instead of a completion: %d\n"
        "           (late answers to timed-out submits belong there; any beyond them did not\n"
        "           find the submit still waiting for them)\n",
        e.Strays);
    for (const auto& note : e.Notes) std::printf("  note: %s\n", note.c_str());
    auto check = [](bool aHeld, const char* aWhat) {
      std::printf("  [%s] %s\n", aHeld ? "held" : "FAILED", aWhat);
    };
    if (e.Unsettled || e.Doubled || e.Resettled)
      std::printf("  without a result %d, extra completions %d, second results %d\n", e.Unsettled,
                  e.Doubled, e.Resettled);
    check(e.OneResultEach, "every message ended in exactly one final result");
    check(e.AcceptedFits, "acked <= SMSC accepted <= acked + may have been taken");
    check(e.RefusedFits, "refused <= SMSC refused <= refused + may have been taken");
    check(e.NoDuplicates, "SMSC took no message twice");
  }
}

void PrintJson(const TOptions& o, const std::vector<TWindowRun>& runs, const TExactRun* exact,
               const TSilentRun* silent) {
  std::printf("{\n  \"seed\": %llu,\n  \"limit_s\": %d,\n  \"windows\": [",
              static_cast<unsigned long long>(o.Seed), o.LimitS);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const auto& r = runs[i];
    std::printf(
        "%s\n    {\"window\": %d, \"messages\": %d, \"pending\": %d, \"acked\": %d, \"other\": %d, "
        "\"doubled\": %d, \"stray\": %d, \"smsc_accepted\": %d, \"smsc_duplicates\": %d,\n"
        "     \"seconds\": %.3f, \"submits_per_s\": %.2f, \"gave_up\": %s,\n"
        "     \"latency_ms\": %s,\n     \"probe_late_ms\": %s}",
        i ? "," : "", r.Window, r.Messages, r.Pending, r.Acked, r.Other, r.Doubled, r.Strays,
        r.Counts.Accepted, r.Counts.Duplicates, r.Seconds,
        r.Completed / r.Seconds, r.GaveUp ? "true" : "false", JsonStats(r.Latency).c_str(),
        JsonStats(r.Probe).c_str());
  }
  std::printf("\n  ]");
  if (silent)
    std::printf(
        ",\n  \"silent\": {\"window\": %d, \"seconds\": %.3f, \"read\": %d, \"pending_at_end\": %d, "
        "\"probe_late_ms\": %s}",
        silent->Window, silent->Seconds, silent->Read, silent->Outstanding,
        JsonStats(silent->Probe).c_str());
  if (exact) {
    const TExactRun& e = *exact;
    std::string notes = "[";
    for (std::size_t i = 0; i < e.Notes.size(); ++i)
      notes += (i ? ", " : "") + JsonString(e.Notes[i]);
    notes += "]";
    std::printf(
        ",\n  \"exactly_once\": {\"messages\": %d, \"repeats\": %d, \"seconds\": %.3f, "
        "\"gave_up\": %s, \"reopens\": %d,\n"
        "    \"acked\": %d, \"refused\": %d, \"timed_out\": %s,\n    \"lost_after_writing\": %s,\n"
        "    \"resends\": %d, \"resent\": %s,\n"
        "    \"stray\": %d, \"unsettled\": %d, \"doubled\": %d, \"resettled\": %d, \"notes\": %s,\n"
        "    \"smsc\": {\"received\": %d, \"accepted\": %d, \"refused\": %d, \"duplicates\": %d},\n"
        "    \"checks\": {\"one_result_each\": %s, \"accepted_fits\": %s, \"refused_fits\": %s, "
        "\"no_duplicates\": %s}}",
        e.Messages, o.Repeats, e.Seconds, e.GaveUp ? "true" : "false", e.Reopens, e.Acked,
        e.Naked, JsonList(e.TimedOut).c_str(), JsonList(e.LostAfter).c_str(), e.Resends,
        JsonList(e.Resent).c_str(), e.Strays, e.Unsettled, e.Doubled, e.Resettled, notes.c_str(),
        e.Counts.Received, e.Counts.Accepted, e.Counts.Refused, e.Counts.Duplicates,
        e.OneResultEach ? "true" : "false", e.AcceptedFits ? "true" : "false",
        e.RefusedFits ? "true" : "false", e.NoDuplicates ? "true" : "false");
  }
  std::printf("\n}\n");
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  if (!ParseOptions(argc, argv, o)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  main_thread::SetMainThread();

  std::vector<TWindowRun> runs;
  TSilentRun silent;
  TExactRun exact;
  TConnectRun connect;
  TFloodRun flood;
  try {
    if (o.Flood > 0) flood = RunFlood(o);
    if (o.ConnectMs > 0) connect = RunConnect(o);
    for (auto [window, count] : {std::pair{1, o.W1}, {10, o.W10}, {100, o.W100}})
      if (count > 0) runs.push_back(RunWindow(o, window, count));
    if (o.SilentMs > 0) silent = RunSilent(o);
    if (o.Exact > 0) exact = RunExactlyOnce(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "window_bench: %s\n", e.what());
    return 1;
  }

  const TSilentRun* s = o.SilentMs > 0 ? &silent : nullptr;
  const TExactRun* e = o.Exact > 0 ? &exact : nullptr;
  if (o.Json) {
    PrintJson(o, runs, e, s);
  } else {
    PrintTables(o, runs, e, s);
    if (o.ConnectMs > 0) PrintConnect(connect);
    if (o.Flood > 0) PrintFlood(flood);
  }

  bool ok = !e || (e->Held() && !e->GaveUp);
  for (const auto& r : runs)
    ok = ok && !r.GaveUp && r.Doubled == 0 && r.Strays == 0 && r.Counts.Duplicates == 0;
  return ok ? 0 : 1;
}
