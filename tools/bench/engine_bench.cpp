// Figures for the engine against the simulated SMSC on 127.0.0.1:
//  - SubmitMessage round trips: median and 99th percentile, and the overhead
//    above the engine's fixed 200 ms pause after every attempt;
//  - an inbound burst of operations 52 written in one go: how long until all
//    are acknowledged and handed to OnRxCommand, how many the backlog
//    throttle dropped, and the largest queue seen.
// Usage: engine_bench [submits=200] [burst=1000]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "connect/main_thread.h"
#include "emi/emi_client.h"
#include "tools/smsc/smsc_simulator.h"
#include "transport/client_socket_connection.h"

using namespace qorvel;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * (v.size() - 1) + 0.5);
  return v[i];
}

}  // namespace

int main(int argc, char** argv) {
  const int submits = argc > 1 ? std::atoi(argv[1]) : 200;
  const int burst = argc > 2 ? std::atoi(argv[2]) : 1000;
  main_thread::SetMainThread();

  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  config.Notifications = false;
  TSmscSimulator smsc(config);

  TClientSocketConnection socket;
  socket.SetAddress("127.0.0.1");
  socket.SetPort(smsc.Port());
  TEMIClient engine;
  engine.SetComDevice(&socket);
  engine.RepeatCount = 2;
  TParams params;
  params.SetValue("USER", "1234");
  params.SetValue("PASSWORD", "pw");
  engine.SetParams(params);

  std::atomic<int> dispatched{0};
  std::atomic<int> largestQueue{0};
  engine.OnRxCommand = [&](TComponent*, uint8_t aOT, uint8_t, bool aResult, const std::string&) {
    if (aOT == 52 && !aResult) ++dispatched;
  };
  engine.OnRxCommandBeforeAcknowledge = [&](TComponent*, uint8_t, uint8_t, bool, const std::string&,
                                            bool&) {
    int q = engine.RxQueueCount();
    int seen = largestQueue.load();
    while (q > seen && !largestQueue.compare_exchange_weak(seen, q)) {
    }
  };
  engine.Open();

  std::vector<double> times;
  for (int i = 0; i < submits; ++i) {
    auto start = Clock::now();
    engine.SubmitMessage("0612345678", "Hello from the benchmark", false, 255, 0, 0, 0, 0);
    times.push_back(Ms(Clock::now() - start));
  }
  const double median = Percentile(times, 0.5);
  const double p99 = Percentile(times, 0.99);
  std::printf("submit: %d round trips, median %.2f ms, p99 %.2f ms, max %.2f ms\n", submits, median,
              p99, *std::max_element(times.begin(), times.end()));
  std::printf("submit: overhead above the fixed 200 ms pause: median %.2f ms, p99 %.2f ms\n",
              median - 200.0, p99 - 200.0);

  smsc.ClearRecords();
  std::vector<std::string> frames;
  for (int i = 0; i < burst; ++i) {
    TMobileMessage m;
    m.OA = "0612" + std::to_string(100000 + i);
    m.DA = "1234";
    m.Msg = "burst message " + std::to_string(i);
    frames.push_back(smsc.DeliverFrame(m));
  }
  auto start = Clock::now();
  smsc.SendTogether(frames);
  // The main loop dispatches as the application's would, until the burst has
  // settled: every datagram handed over, or nothing new for two seconds.
  int last = -1;
  auto lastChange = Clock::now();
  Clock::time_point settled = start;
  while (dispatched.load() < burst) {
    main_thread::WaitOnMainThread([] { return false; }, std::chrono::milliseconds(5));
    int now = dispatched.load() + static_cast<int>(smsc.ClientAnswers().size());
    if (now != last) {
      last = now;
      lastChange = Clock::now();
      settled = lastChange;
    } else if (Clock::now() - lastChange > std::chrono::seconds(2)) {
      break;
    }
  }
  if (dispatched.load() >= burst) settled = Clock::now();
  const int acked = static_cast<int>(smsc.ClientAnswers().size());
  std::printf(
      "burst: %d operations 52 in one write: %d acknowledged, %d dispatched, %d dropped "
      "by the throttle, largest queue %d, done after %.0f ms\n",
      burst, acked, dispatched.load(), burst - acked, largestQueue.load(), Ms(settled - start));
  engine.Close();
  return 0;
}
