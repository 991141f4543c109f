// qorvel-smsc-sim (smsc_sim in the build tree): an SMSC on a TCP port, for
// trying a client by hand and for the demo. Prints every frame it reads ("<-")
// and writes ("->") and what happens to the connection ("--"), one line each.
// Stops on SIGINT or SIGTERM, and then tells what became of the submits it
// read. Its manual page, packaging/man/qorvel-smsc-sim.1, follows --help.
#include <signal.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "emi/frame.h"
#include "tools/smsc/smsc_simulator.h"

namespace {

using namespace qorvel;
using std::chrono::milliseconds;

constexpr char kName[] = "qorvel-smsc-sim";

constexpr char kUsage[] =
    "usage: qorvel-smsc-sim [options]\n"
    "  --bind ADDR            listening address (127.0.0.1)\n"
    "  --port N               listening port (0: any free port)\n"
    "  --account A            login account; without it every login is accepted\n"
    "  --password P           login password\n"
    "  --no-login-required    serve a client that has not logged in\n"
    "  --nak OT:CODE          answer operation OT with NAK CODE (CODE is sent as given)\n"
    "  --delay OT:MS          answer operation OT MS milliseconds late\n"
    "  --withhold OT          never answer operation OT\n"
    "  --twice OT             answer operation OT twice\n"
    "  --drop-on OT           close the connection instead of answering OT\n"
    "  --no-notify            send no delivery notifications\n"
    "                         (otherwise NT bit 1: delivered, 2: not delivered, 4: buffered)\n"
    "  --notify-delay MS      notifications this long after the submit's answer (1000),\n"
    "  --notify-delay MS1-MS2 or a random time between MS1 and MS2 for each message:\n"
    "                         they then come in another order than the submits\n"
    "  --notify-fail-share F  that share (0 to 1) of the messages is not delivered (0).\n"
    "                         Each message gets one final state, delivered or not\n"
    "                         delivered, notified when its bit is asked for, after a\n"
    "                         \"buffered\" one when bit 4 is asked for; drawn with --seed\n"
    "  --buffered-reason N    reason code of \"buffered\" notifications (107)\n"
    "  --failed-reason N      reason code of \"not delivered\" notifications (108)\n"
    "  --deliver-every S      send a message from a mobile every S seconds, or at a\n"
    "  --deliver-every S1-S2  random interval between S1 and S2 seconds, once the\n"
    "                         client has logged in\n"
    "  --mo-oa ADDR           its originator (0612345678)\n"
    "  --mo-da ADDR           its recipient (the account)\n"
    "  --mo-text TEXT         its text (\"Hello from a mobile\")\n"
    "  --keepalive-every S    send the centre's keep-alive every S seconds\n"
    "  --keepalive-oa ADDR    keep-alive originator (5555)\n"
    "  --keepalive-da ADDR    keep-alive recipient (1234)\n"
    "  --keepalive-text TEXT  keep-alive text (KEEPALIVE)\n"
    "Operations are answered in the order they arrive, each with its own TRN\n"
    "and OT, however many the client keeps outstanding.\n"
    "  --reorder              answer in a shuffled order: each answer held back\n"
    "                         a random time up to --reorder-ms\n"
    "  --reorder-ms MS        (100)\n"
    "  --window N             at most N operations outstanding (read, answer held\n"
    "                         back); one more gets NAK 04 at once\n"
    "  --max-rate N           at most N submits (51) in any one second, a sliding\n"
    "                         second; the others get NAK 04\n"
    "Faults for the submits, drawn anew for each submit read, so that with the\n"
    "same seed the n-th submit meets the same fate:\n"
    "  --seed N               (1)\n"
    "  --nak-share F          that share (0 to 1) refused with NAK 05\n"
    "  --late-share F         that share answered --late-ms late\n"
    "  --late-ms MS           (1000)\n"
    "  --drop-after N         close the connection once, after the N-th submit is\n"
    "                         read and before it is answered; answers still held\n"
    "                         back on it are lost\n"
    "The first line on stdout names the bound port, for scripts:\n"
    "  HH:MM:SS.mmm -- listening on ADDR:PORT\n"
    "e.g. port=$(sed -n 's/.* listening on .*:\\([0-9]*\\)$/\\1/p' log)\n"
    "The last line, at exit, counts the submits read (one line, broken here):\n"
    "  HH:MM:SS.mmm -- submits: received=N accepted=N refused=N duplicates=N\n"
    "                  notified_delivered=N notified_failed=N\n"
    "accepted: answered with ACK (the message is taken even if the ACK is late\n"
    "and lost with its connection); refused: with NAK; duplicates: accepted ones\n"
    "repeating the recipient and text of an earlier accepted one (they count\n"
    "among the accepted). received - accepted - refused were never answered.\n"
    "notified_delivered, notified_failed: notifications of that final state\n"
    "written to the client (\"buffered\" ones are not counted).\n"
    "  --counts FILE          the same counts as one line of JSON:\n"
    "    {\"received\": N, \"accepted\": N, \"refused\": N, \"duplicates\": N,\n"
    "     \"notified_delivered\": N, \"notified_failed\": N, \"final\": B}\n"
    "                         written at start, within 0.1 s of each change and at\n"
    "                         exit, each time whole (a rename): a reader never sees\n"
    "                         half of one. \"final\" is true only in the one written\n"
    "                         at exit, after the last submit was read\n";

// A fixed period, or a random one between two bounds drawn anew each time.
struct TPeriod {
  milliseconds Low{0}, High{0};
};

struct TOptions {
  TSmscConfig Config;
  std::vector<std::pair<int, TAnswerRule>> Rules;
  std::optional<TPeriod> DeliverEvery;
  std::optional<milliseconds> KeepAliveEvery;
  TMobileMessage Mobile;
  bool MobileDAGiven = false;
  bool Reorder = false;
  std::string CountsFile;
};

[[noreturn]] void Fail(const std::string& aWhy) {
  std::cerr << kName << ": " << aWhy << "\n" << kUsage;
  std::exit(2);
}

int ToInt(std::string_view aText, const std::string& aOption) {
  int value = 0;
  auto [end, error] = std::from_chars(aText.data(), aText.data() + aText.size(), value);
  if (error != std::errc() || end != aText.data() + aText.size() || value < 0) {
    Fail(aOption + " needs a number, not \"" + std::string(aText) + "\"");
  }
  return value;
}

int ToOT(std::string_view aText, const std::string& aOption) {
  int ot = ToInt(aText, aOption);
  if (ot > 99) Fail(aOption + ": operation types run from 0 to 99");
  return ot;
}

double ToShare(std::string_view aText, const std::string& aOption) {
  try {
    std::size_t used = 0;
    double share = std::stod(std::string(aText), &used);
    if (used == aText.size() && share >= 0 && share <= 1) return share;
  } catch (const std::exception&) {
  }
  Fail(aOption + " needs a share from 0 to 1");
}

milliseconds ToPeriod(std::string_view aSeconds, const std::string& aOption) {
  try {
    std::size_t used = 0;
    double seconds = std::stod(std::string(aSeconds), &used);
    if (used == aSeconds.size() && seconds > 0) {
      return milliseconds(static_cast<int64_t>(seconds * 1000));
    }
  } catch (const std::exception&) {
  }
  Fail(aOption + " needs a positive number of seconds");
}

milliseconds ToMilliseconds(std::string_view aText, const std::string& aOption) {
  return milliseconds(ToInt(aText, aOption));
}

// One value, or a range LOW-HIGH, each bound read by aRead.
TPeriod ToRange(std::string_view aText, const std::string& aOption,
                milliseconds (*aRead)(std::string_view, const std::string&)) {
  // A '-' past the first character separates the bounds; a leading one is a
  // sign, which aRead refuses.
  std::size_t dash = aText.find('-', 1);
  if (dash == std::string_view::npos) {
    milliseconds fixed = aRead(aText, aOption);
    return {fixed, fixed};
  }
  TPeriod range{aRead(aText.substr(0, dash), aOption), aRead(aText.substr(dash + 1), aOption)};
  if (range.High < range.Low) Fail(aOption + ": the first bound must not exceed the second");
  return range;
}

std::pair<std::string_view, std::string_view> SplitPair(std::string_view aText,
                                                        const std::string& aOption) {
  std::size_t colon = aText.find(':');
  if (colon == std::string_view::npos) Fail(aOption + " needs OT:VALUE");
  return {aText.substr(0, colon), aText.substr(colon + 1)};
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  o.Mobile.OA = "0612345678";
  o.Mobile.Msg = "Hello from a mobile";
  // A notification that comes at once hides the round trip the user should see.
  o.Config.NotificationDelay = milliseconds(1000);
  o.Config.LateBy = milliseconds(1000);
  milliseconds reorderWithin(100);
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(option + " needs a value");
      return argv[++i];
    };
    TAnswerRule rule;
    if (option == "--bind") {
      o.Config.Address = value();
    } else if (option == "--port") {
      int port = ToInt(value(), option);
      if (port > 65535) Fail("--port: at most 65535");
      o.Config.Port = static_cast<uint16_t>(port);
    } else if (option == "--account") {
      o.Config.Account = value();
    } else if (option == "--password") {
      o.Config.Password = value();
    } else if (option == "--no-login-required") {
      o.Config.LoginRequired = false;
    } else if (option == "--nak") {
      std::string text = value();
      auto [ot, code] = SplitPair(text, option);
      rule.NakCode = std::string(code);
      o.Rules.emplace_back(ToOT(ot, option), rule);
    } else if (option == "--delay") {
      std::string text = value();
      auto [ot, ms] = SplitPair(text, option);
      rule.Delay = milliseconds(ToInt(ms, option));
      o.Rules.emplace_back(ToOT(ot, option), rule);
    } else if (option == "--withhold") {
      rule.Withhold = true;
      o.Rules.emplace_back(ToOT(value(), option), rule);
    } else if (option == "--twice") {
      rule.Copies = 2;
      o.Rules.emplace_back(ToOT(value(), option), rule);
    } else if (option == "--drop-on") {
      rule.Drop = true;
      o.Rules.emplace_back(ToOT(value(), option), rule);
    } else if (option == "--no-notify") {
      o.Config.Notifications = false;
    } else if (option == "--notify-delay") {
      TPeriod delay = ToRange(value(), option, ToMilliseconds);
      o.Config.NotificationDelay = delay.Low;
      o.Config.NotificationDelayMax = delay.High;
    } else if (option == "--notify-fail-share") {
      o.Config.NotDeliveredShare = ToShare(value(), option);
    } else if (option == "--buffered-reason") {
      o.Config.BufferedReason = ToInt(value(), option);
    } else if (option == "--failed-reason") {
      o.Config.NotDeliveredReason = ToInt(value(), option);
    } else if (option == "--deliver-every") {
      o.DeliverEvery = ToRange(value(), option, ToPeriod);
    } else if (option == "--mo-oa") {
      o.Mobile.OA = value();
    } else if (option == "--mo-da") {
      o.Mobile.DA = value();
      o.MobileDAGiven = true;
    } else if (option == "--mo-text") {
      o.Mobile.Msg = value();
    } else if (option == "--keepalive-every") {
      o.KeepAliveEvery = ToPeriod(value(), option);
    } else if (option == "--keepalive-oa") {
      o.Config.KeepAliveOA = value();
    } else if (option == "--keepalive-da") {
      o.Config.KeepAliveDA = value();
    } else if (option == "--keepalive-text") {
      o.Config.KeepAliveText = value();
    } else if (option == "--reorder") {
      o.Reorder = true;
    } else if (option == "--reorder-ms") {
      reorderWithin = milliseconds(ToInt(value(), option));
    } else if (option == "--window") {
      o.Config.Window = ToInt(value(), option);
    } else if (option == "--max-rate") {
      o.Config.MaxRate = ToInt(value(), option);
    } else if (option == "--seed") {
      o.Config.Seed = static_cast<uint64_t>(ToInt(value(), option));
    } else if (option == "--nak-share") {
      o.Config.NakShare = ToShare(value(), option);
    } else if (option == "--late-share") {
      o.Config.LateShare = ToShare(value(), option);
    } else if (option == "--late-ms") {
      o.Config.LateBy = milliseconds(ToInt(value(), option));
    } else if (option == "--drop-after") {
      o.Config.DropAfter = ToInt(value(), option);
    } else if (option == "--counts") {
      o.CountsFile = value();
    } else {
      Fail("unknown option " + option);
    }
  }
  if (!o.MobileDAGiven) o.Mobile.DA = o.Config.Account;
  if (o.Reorder) o.Config.ShuffleWithin = reorderWithin;
  return o;
}

std::string ClockText() {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  auto ms = std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return text;
}

void PrintTraffic(TSmscTraffic aKind, std::string_view aText) {
  const char* arrow = aKind == TSmscTraffic::Sent       ? "->"
                      : aKind == TSmscTraffic::Received ? "<-"
                                                        : "--";
  std::string text = aKind == TSmscTraffic::Event ? std::string(aText) : FrameLogText(aText);
  std::printf("%s %s %s\n", ClockText().c_str(), arrow, text.c_str());
  std::fflush(stdout);
}

// Whole or not at all: written beside the file and renamed over it, so that
// a script polling the file never reads half of it.
bool WriteCounts(const std::string& aPath, const TSmscCounts& aCounts, bool aFinal) {
  std::string temporary = aPath + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (!file) return false;
  std::fprintf(file,
               "{\"received\": %d, \"accepted\": %d, \"refused\": %d, \"duplicates\": %d, "
               "\"notified_delivered\": %d, \"notified_failed\": %d, \"final\": %s}\n",
               aCounts.Received, aCounts.Accepted, aCounts.Refused, aCounts.Duplicates,
               aCounts.NotifiedDelivered, aCounts.NotifiedFailed, aFinal ? "true" : "false");
  bool written = std::fclose(file) == 0;
  return written && std::rename(temporary.c_str(), aPath.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options = ParseOptions(argc, argv);
  options.Config.OnTraffic = PrintTraffic;

  // Blocked before the simulator's thread starts, so that only sigtimedwait()
  // below sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A script that stops reading our output must not kill the centre.
  signal(SIGPIPE, SIG_IGN);
  std::mt19937 random{std::random_device{}()};
  auto draw = [&random](const TPeriod& aPeriod) {
    std::uniform_int_distribution<int64_t> pick(aPeriod.Low.count(), aPeriod.High.count());
    return milliseconds(pick(random));
  };

  // Before the centre opens, so that a script finds the file once the port
  // is named, and a path that cannot be written stops us at once.
  if (!options.CountsFile.empty() && !WriteCounts(options.CountsFile, {}, false)) {
    Fail("--counts: cannot write " + options.CountsFile);
  }

  try {
    TSmscSimulator smsc(options.Config);
    for (auto& [ot, rule] : options.Rules) smsc.AddRule(ot, rule);
    std::printf("%s -- listening on %s:%u\n", ClockText().c_str(), options.Config.Address.c_str(),
                static_cast<unsigned>(smsc.Port()));
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    Clock::time_point nextDeliver =
        Clock::now() + (options.DeliverEvery ? draw(*options.DeliverEvery) : milliseconds(0));
    Clock::time_point nextKeepAlive =
        Clock::now() + options.KeepAliveEvery.value_or(milliseconds(0));
    TSmscCounts written;
    for (;;) {
      Clock::time_point now = Clock::now();
      if (options.DeliverEvery && now >= nextDeliver) {
        if (smsc.SessionOpen()) smsc.SendDeliver(options.Mobile);
        nextDeliver = now + draw(*options.DeliverEvery);
      }
      if (options.KeepAliveEvery && now >= nextKeepAlive) {
        if (smsc.SessionOpen()) smsc.SendKeepAlive();
        nextKeepAlive += *options.KeepAliveEvery;
      }
      TSmscCounts counts = smsc.Counts();
      if (!options.CountsFile.empty() && counts != written) {
        // A failed write is tried again at the next tick.
        if (WriteCounts(options.CountsFile, counts, false)) written = counts;
      }
      timespec tick{0, 100'000'000};
      int signal = sigtimedwait(&stopSignals, nullptr, &tick);
      if (signal == SIGINT || signal == SIGTERM) break;
    }
    std::printf("%s -- stopping\n", ClockText().c_str());
    std::fflush(stdout);
    // Stopped first, so that no submit read after the counts escapes them.
    smsc.Stop();
    TSmscCounts counts = smsc.Counts();
    if (!options.CountsFile.empty() && !WriteCounts(options.CountsFile, counts, true)) {
      std::fprintf(stderr, "%s: cannot write %s\n", kName, options.CountsFile.c_str());
    }
    std::printf(
        "%s -- submits: received=%d accepted=%d refused=%d duplicates=%d notified_delivered=%d "
        "notified_failed=%d\n",
        ClockText().c_str(), counts.Received, counts.Accepted, counts.Refused, counts.Duplicates,
        counts.NotifiedDelivered, counts.NotifiedFailed);
    std::fflush(stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kName, e.what());
    return 1;
  }
  return 0;
}
