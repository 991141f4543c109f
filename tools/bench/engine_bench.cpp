// Figures for the engine against the simulated SMSC on 127.0.0.1:
//  - SubmitMessage round trips: median and 99th percentile, and the overhead
//    above the engine's fixed 200 ms pause after every attempt;
//  - an inbound burst of operations 52 written in one go: how long until all
//    are acknowledged and handed to OnRxCommand, how many the backlog
//    throttle dropped, and the largest queue seen;
//  - inbound operations 52 with a window of one (each sent only after the
//    acknowledgement of the one before): the steady rate through to
//    OnRxCommand, the acknowledgement latency, and the main thread's CPU time
//    per dispatched datagram. With busy=1 another thread keeps a core busy
//    meanwhile.
// Usage: engine_bench [submits=200] [burst=1000] [window1=2000] [busy=0]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
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

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
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
  const int window1 = argc > 3 ? std::atoi(argv[3]) : 2000;
  const bool busy = argc > 4 && std::atoi(argv[4]) != 0;
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
  // Acknowledgements may still be on their way to the simulator.
  smsc.WaitForClientAnswers(static_cast<std::size_t>(burst), std::chrono::seconds(2));
  const int acked = static_cast<int>(smsc.ClientAnswers().size());
  std::printf(
      "burst: %d operations 52 in one write: %d acknowledged, %d dispatched, %d dropped "
      "by the throttle, largest queue %d, done after %.0f ms\n",
      burst, acked, dispatched.load(), burst - acked, largestQueue.load(), Ms(settled - start));

  // Window of one: the peer sends each operation only once the one before is
  // acknowledged, as a careful SMSC does.
  smsc.ClearRecords();
  dispatched = 0;
  std::vector<std::string> single;
  for (int i = 0; i < window1; ++i) {
    TMobileMessage m;
    m.OA = "0613" + std::to_string(100000 + i);
    m.DA = "1234";
    m.Msg = "window message " + std::to_string(i);
    single.push_back(smsc.DeliverFrame(m));
  }
  std::atomic<bool> stopBusy{false};
  std::thread spinner;
  if (busy) {
    spinner = std::thread([&] {
      volatile unsigned long n = 0;
      while (!stopBusy.load(std::memory_order_relaxed)) n = n + 1;
    });
  }
  std::vector<double> ackLatency;
  std::atomic<bool> feederDone{false};
  std::thread feeder([&] {
    for (int i = 0; i < window1; ++i) {
      auto sent = Clock::now();
      smsc.SendTogether({single[i]});
      if (!smsc.WaitForClientAnswers(static_cast<std::size_t>(i) + 1, std::chrono::seconds(5)))
        break;
      ackLatency.push_back(Ms(Clock::now() - sent));
    }
    feederDone = true;
  });
  const double cpuBefore = ThreadCpuMs();
  start = Clock::now();
  auto lastDispatch = start;
  int seen = 0;
  while (dispatched.load() < window1) {
    main_thread::WaitOnMainThread([] { return false; }, std::chrono::milliseconds(5));
    if (dispatched.load() != seen) {
      seen = dispatched.load();
      lastDispatch = Clock::now();
    } else if (feederDone && Clock::now() - lastDispatch > std::chrono::seconds(2)) {
      break;
    }
  }
  const double took = Ms(Clock::now() - start);
  const double cpu = ThreadCpuMs() - cpuBefore;
  feeder.join();
  stopBusy = true;
  if (spinner.joinable()) spinner.join();
  const int handed = dispatched.load();
  std::printf(
      "window 1%s: %d operations 52: %d acknowledged, %d dispatched in %.0f ms, %.0f per second\n",
      busy ? " (other core busy)" : "", window1, static_cast<int>(ackLatency.size()), handed, took,
      handed * 1000.0 / took);
  if (!ackLatency.empty())
    std::printf("window 1: ack latency median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                Percentile(ackLatency, 0.5), Percentile(ackLatency, 0.99),
                *std::max_element(ackLatency.begin(), ackLatency.end()));
  if (handed > 0)
    std::printf("window 1: main thread CPU %.1f us per dispatched datagram\n",
                cpu * 1000.0 / handed);
  engine.Close();
  return 0;
}
