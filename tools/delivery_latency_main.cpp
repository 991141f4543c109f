// delivery_latency: how long a message from a mobile takes from the simulated
// SMSC to its "Delivered" line in the status pane. Runs the supervisor with a
// real log view on the Qt event loop against the in-process simulator on
// 127.0.0.1 and prints the median and the worst of N messages (100).
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "app/emidm.h"
#include "tools/smsc/smsc_simulator.h"
#include "app/qt_main_thread.h"
#include "ui/terminal.h"

namespace {

using namespace qorvel;
using TClock = std::chrono::steady_clock;

// The status pane, noting when each "Delivered" line reaches it.
class TTimedStatus : public ILogView {
 public:
  explicit TTimedStatus(TTerminal& aView) : view_(aView) {}
  void AddChars(std::string_view aText) override { view_.AddChars(aText); }
  void AddLine(std::string_view aLine) override {
    if (aLine.starts_with("Delivered: ")) Delivered.push_back(TClock::now());
    view_.AddLine(aLine);
  }
  std::vector<TClock::time_point> Delivered;

 private:
  TTerminal& view_;
};

class TView : public IEMIFormView {
 public:
  TView() : status_(log1_) {}
  ILogView& StatusLog() override { return status_; }
  ILogView& TrafficLog() override { return log2_; }
  void UpdateButtons() override {}
  void ShowRxQueueCount(int) override {}
  void ShowLinkState(const std::string&) override {}
  TTimedStatus& Status() { return status_; }

 private:
  TTerminal log1_, log2_;
  TTimedStatus status_;
};

// Runs the event loop until aDone holds or aLimit passes.
bool RunUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aLimit) {
  const auto deadline = TClock::now() + aLimit;
  while (!aDone()) {
    if (TClock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ConnectMainThreadToEventLoop();

  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  TSmscSimulator smsc(config);

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qorvel-latency-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string ini = (dir / "EMI.INI").string();
  std::ofstream(ini) << "[EMI]\nIP=127.0.0.1\nPort=" << smsc.Port()
                     << "\nLogFile=" << (dir / "traffic.log").string()
                     << "\n[EMI.Connection]\nUser=1234\nPassword=" << ScramblePassword("pw")
                     << "\n";

  int status = 0;
  {
    TView view;
    TEMIDM dm{TIniFile(ini), SystemClock()};
    dm.SetForm(&view);
    dm.RequestActive(true);
    if (!RunUntil([&] { return dm.EngineActive(); }, std::chrono::seconds(5))) {
      std::fprintf(stderr, "delivery_latency: no session\n");
      status = 1;
    }
    TMobileMessage msg;
    msg.OA = "0612345678";
    msg.DA = "1234";
    msg.Msg = "Hello from a mobile";
    std::vector<double> ms;
    for (int i = 0; status == 0 && i < count; ++i) {
      msg.SCTS = FormatStamp(LocalCivilNow());
      const auto sent = TClock::now();
      smsc.SendDeliver(msg);
      if (!RunUntil([&] { return view.Status().Delivered.size() > static_cast<size_t>(i); },
                    std::chrono::seconds(5))) {
        std::fprintf(stderr, "delivery_latency: message %d never shown\n", i + 1);
        status = 1;
        break;
      }
      ms.push_back(
          std::chrono::duration<double, std::milli>(view.Status().Delivered[i] - sent).count());
      RunUntil([] { return false; }, std::chrono::milliseconds(20));
    }
    if (!ms.empty()) {
      std::sort(ms.begin(), ms.end());
      std::printf("messages %zu  median %.2f ms  worst %.2f ms\n", ms.size(), ms[ms.size() / 2],
                  ms.back());
    }
    dm.SetForm(nullptr);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return status;
}
