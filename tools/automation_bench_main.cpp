// automation_bench: figures of the automation server in front of the real
// supervisor and the simulator on 127.0.0.1. Run it under a private bus:
//   dbus-run-session -- build/release/tools/automation_bench
// Prints: the engine's own submit beside Submit over the bus (median, 99th
// percentile), 20 clients x 10 submits at once (every message once, every
// reply its own), threads and memory after the run and after 1000 create and
// release cycles, and the time from a mobile's message to OnDelivered at 10
// advised clients.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDir>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "app/emidm.h"
#include "automation/bus_names.h"
#include "main/program_automation.h"
#include "connect/main_thread.h"
#include "emi/codec.h"
#include "tools/smsc/smsc_simulator.h"
#include "app/qt_main_thread.h"

namespace {

using namespace qorvel;
using TClock = std::chrono::steady_clock;

class TNullLog : public ILogView {
 public:
  void AddChars(std::string_view) override {}
  void AddLine(std::string_view) override {}
};

class TQuietForm : public IEMIFormView {
 public:
  ILogView& StatusLog() override { return log_; }
  ILogView& TrafficLog() override { return log_; }
  void UpdateButtons() override {}
  void ShowRxQueueCount(int) override {}
  void ShowLinkState(const std::string&) override {}

 private:
  TNullLog log_;
};

// Spins the main thread's loop (and so the supervisor) until aDone.
void RunUntil(const std::function<bool()>& aDone) {
  while (!aDone()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

double Ms(TClock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

void Report(const char* aWhat, std::vector<double> aMs) {
  if (aMs.empty()) return;
  std::sort(aMs.begin(), aMs.end());
  auto at = [&](double q) {
    return aMs[std::min(aMs.size() - 1, static_cast<size_t>(q * aMs.size()))];
  };
  std::printf("%-44s n=%4zu  median %8.3f ms  p99 %8.3f ms  worst %8.3f ms\n", aWhat, aMs.size(),
              at(0.5), at(0.99), aMs.back());
}

std::string ProcStatus(const char* aKey) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(aKey, 0) == 0) return line;
  }
  return "?";
}

QDBusMessage Call(QDBusConnection& aBus, const QString& aPath, const char* aIface,
                  const char* aMember, const QVariantList& aArgs = {}) {
  QDBusMessage m = QDBusMessage::createMethodCall(QLatin1String(kBusServiceName), aPath,
                                                  QLatin1String(aIface), QLatin1String(aMember));
  m.setArguments(aArgs);
  return aBus.call(m, QDBus::Block, 120000);
}

QString Create(QDBusConnection& aBus) {
  return Call(aBus, QLatin1String(kFactoryPath), kFactoryInterface, "CreateInstance")
      .arguments()
      .value(0)
      .value<QDBusObjectPath>()
      .path();
}

QVariantList SubmitArgs(const std::string& aMsg) {
  return {QStringLiteral("0612345678"),
          QByteArray::fromStdString(aMsg),
          false,
          QVariant::fromValue<short>(255),
          QVariant::fromValue<short>(0),
          QVariant::fromValue<short>(0),
          QVariant::fromValue<short>(0),
          0.0};
}

class TStampRecorder : public QObject {
  Q_OBJECT
 public:
  std::mutex M;
  std::vector<TClock::time_point> At;
 public slots:
  void Record(const QDBusMessage&) {
    std::lock_guard<std::mutex> g(M);
    At.push_back(TClock::now());
  }
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  main_thread::SetMainThread();
  ConnectMainThreadToEventLoop();
  if (!QDBusConnection::sessionBus().isConnected()) {
    std::fprintf(stderr, "automation_bench: no session bus (run under dbus-run-session)\n");
    return 1;
  }
  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  config.Notifications = false;
  TSmscSimulator smsc(config);
  const std::string ini = QDir::tempPath().toStdString() + "/automation_bench_EMI.INI";
  {
    std::ofstream(ini) << "[EMI]\nIP=127.0.0.1\nPort=" << smsc.Port()
                       << "\nReconnectTimeout=0\n[EMI.Connection]\nUser=1234\nPassword="
                       << ScramblePassword("pw") << "\n";
  }
  TQuietForm form;
  TEMIDM dm{TIniFile(ini), SystemClock()};
  dm.SetForm(&form);
  auto automation = std::make_unique<TProgramAutomation>(dm, TStartMode::User, nullptr);
  QCoreApplication::processEvents();
  std::printf("start: %s, %s\n", ProcStatus("Threads").c_str(), ProcStatus("VmRSS").c_str());

  // 1. One client, one message at a time, beside the engine's own submit.
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  std::vector<double> bus, engine;
  std::atomic<bool> done{false};
  std::thread client([&] {
    QDBusConnection c = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "bench-one");
    QString path = Create(c);
    for (int i = 0; i < rounds; ++i) {
      auto t0 = TClock::now();
      QDBusMessage r =
          Call(c, path, kObjectInterface, "Submit", SubmitArgs("one " + std::to_string(i)));
      if (r.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "submit failed: %s\n", qPrintable(r.errorMessage()));
      }
      bus.push_back(Ms(TClock::now() - t0));
    }
    Call(c, path, kObjectInterface, "Release");
    done = true;
  });
  RunUntil([&] { return done.load(); });
  client.join();
  QDBusConnection::disconnectFromBus("bench-one");
  for (int i = 0; i < rounds; ++i) {
    auto t0 = TClock::now();
    dm.EMIClient().SubmitMessage("0612345678", "engine " + std::to_string(i), false, 255, 0, 0, 0,
                                 0);
    engine.push_back(Ms(TClock::now() - t0));
  }
  Report("engine SubmitMessage (main thread)", engine);
  Report("Submit over the bus (one client)", bus);

  // 2. 20 clients x 10 submits at once.
  smsc.ClearRecords();
  const int clients = 20, each = 10;
  std::mutex m;
  std::map<std::string, double> replies;  // message -> SCTS the call returned
  std::vector<double> many;
  std::atomic<int> finished{0}, failures{0};
  std::vector<std::thread> threads;
  for (int k = 0; k < clients; ++k) {
    threads.emplace_back([&, k] {
      const QString name = QStringLiteral("bench-%1").arg(k);
      QDBusConnection c = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
      QString path = Create(c);
      for (int i = 0; i < each; ++i) {
        const std::string msg = "c" + std::to_string(k) + "m" + std::to_string(i);
        auto t0 = TClock::now();
        QDBusMessage r = Call(c, path, kObjectInterface, "Submit", SubmitArgs(msg));
        double ms = Ms(TClock::now() - t0);
        std::lock_guard<std::mutex> g(m);
        many.push_back(ms);
        if (r.type() == QDBusMessage::ReplyMessage) {
          replies[msg] = r.arguments().value(0).toDouble();
        } else {
          ++failures;
        }
      }
      Call(c, path, kObjectInterface, "Release");
      ++finished;
    });
  }
  RunUntil([&] { return finished.load() == clients; });
  for (auto& t : threads) t.join();
  for (int k = 0; k < clients; ++k)
    QDBusConnection::disconnectFromBus(QStringLiteral("bench-%1").arg(k));
  std::map<std::string, int> seen;
  int mismatched = 0;
  for (const TAcceptedSubmit& s : smsc.Submits()) {
    const std::string msg = HexToText(s.Fields[20]);
    ++seen[msg];
    auto it = replies.find(msg);
    if (it == replies.end() || it->second != StampToDateTime(s.SCTS)) ++mismatched;
  }
  int once = 0;
  for (auto& [msg, n] : seen) once += n == 1 ? 1 : 0;
  Report("Submit over the bus (20 clients x 10)", many);
  std::printf(
      "20 x 10: %zu reached the SMSC, %d exactly once, %d failed calls, %d replies not "
      "their own message's stamp\n",
      smsc.Submits().size(), once, failures.load(), mismatched);
  QCoreApplication::processEvents();
  std::printf("after the run: %s, %s, objects %d\n", ProcStatus("Threads").c_str(),
              ProcStatus("VmRSS").c_str(), automation->ObjectCount());

  // 3. 1000 create/release cycles.
  done = false;
  std::thread cycler([&] {
    QDBusConnection c = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "bench-cycle");
    for (int i = 0; i < 1000; ++i) Call(c, Create(c), kObjectInterface, "Release");
    done = true;
  });
  RunUntil([&] { return done.load(); });
  cycler.join();
  QDBusConnection::disconnectFromBus("bench-cycle");
  QCoreApplication::processEvents();
  std::printf("after 1000 create/release: %s, %s, objects %d\n", ProcStatus("Threads").c_str(),
              ProcStatus("VmRSS").c_str(), automation->ObjectCount());

  // 4. A mobile's message to OnDelivered at 10 advised clients.
  QThread listenerThread;
  listenerThread.start();
  std::vector<std::unique_ptr<TStampRecorder>> recorders;
  std::vector<QDBusConnection> listeners;
  for (int k = 0; k < 10; ++k) {
    const QString name = QStringLiteral("bench-listen-%1").arg(k);
    QDBusConnection c = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    auto recorder = std::make_unique<TStampRecorder>();
    recorder->moveToThread(&listenerThread);
    QString path;
    done = false;
    std::thread t([&] {
      path = Create(c);
      Call(c, path, kObjectInterface, "Advise");
      done = true;
    });
    RunUntil([&] { return done.load(); });
    t.join();
    c.connect(QString(), path, QLatin1String(kEventsInterface), QStringLiteral("OnDelivered"),
              recorder.get(), SLOT(Record(QDBusMessage)));
    recorders.push_back(std::move(recorder));
    listeners.push_back(c);
  }
  const int messages = 50;
  std::vector<double> latency;
  TMobileMessage mobile;
  mobile.OA = "0699";
  mobile.DA = "1234";
  for (int i = 0; i < messages; ++i) {
    mobile.Msg = "mo " + std::to_string(i);
    auto t0 = TClock::now();
    smsc.SendDeliver(mobile);
    auto all = [&] {
      for (auto& r : recorders) {
        std::lock_guard<std::mutex> g(r->M);
        if (static_cast<int>(r->At.size()) <= i) return false;
      }
      return true;
    };
    RunUntil(all);
    for (auto& r : recorders) {
      std::lock_guard<std::mutex> g(r->M);
      latency.push_back(Ms(r->At[i] - t0));
    }
  }
  Report("mobile message to OnDelivered (10 clients)", latency);
  listenerThread.quit();
  listenerThread.wait();
  listeners.clear();
  for (int k = 0; k < 10; ++k) {
    QDBusConnection::disconnectFromBus(QStringLiteral("bench-listen-%1").arg(k));
  }
  automation.reset();
  dm.SetForm(nullptr);
  return 0;
}

#include "automation_bench_main.moc"
