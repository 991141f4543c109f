#pragma once
// The supervisor against the in-process SMSC simulator on 127.0.0.1, with a
// window and automation objects that only record what they are told, a temp
// EMI.INI, and a clock that records the engine's and supervisor's fixed
// pauses instead of sitting them out. Steps are run by calling Timer2Timer directly; the Qt loop never runs,
// so the timer itself never fires.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/config.h"
#include "temp_dir.h"
#include "app/emidm.h"
#include "connect/main_thread.h"
#include "test_clocks.h"
#include "tools/smsc/smsc_simulator.h"

namespace qorvel::testing {

using namespace std::chrono_literals;
class TRecordingLog : public ILogView {
 public:
  struct TLine {
    std::string Text;
  };
  void AddChars(std::string_view aText) override {
    std::lock_guard<std::mutex> g(m_);
    chars_ += aText;
  }
  std::string Chars() const {
    std::lock_guard<std::mutex> g(m_);
    return chars_;
  }
  void AddLine(std::string_view aLine) override {
    std::lock_guard<std::mutex> g(m_);
    lines_.push_back({std::string(aLine)});
  }
  std::vector<TLine> Lines() const {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> result;
    for (const TLine& l : Lines()) result.push_back(l.Text);
    return result;
  }
  int Count(std::string_view aPrefix) const {
    int n = 0;
    for (const TLine& l : Lines()) n += l.Text.starts_with(aPrefix) ? 1 : 0;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m_);
    lines_.clear();
  }

 private:
  mutable std::mutex m_;
  std::vector<TLine> lines_;
  std::string chars_;
};

class TFakeForm : public IEMIFormView {
 public:
  ILogView& StatusLog() override { return Log1; }
  ILogView& TrafficLog() override { return Log2; }
  void UpdateButtons() override { ++Updates; }
  void ShowRxQueueCount(int aCount) override { RxQueueShown = aCount; }
  void ShowLinkState(const std::string& aText) override { LinkShown = aText; }

  TRecordingLog Log1;
  TRecordingLog Log2;
  int Updates = 0;
  int RxQueueShown = -1;
  std::string LinkShown;
};

class TFakeAutoObject : public IAutoObject {
 public:
  void FireDelivered(const TRetrieveDeliverySMItem& aItem) override {
    Events.push_back("delivered " + aItem.OA + " " + aItem.Msg);
  }
  void FireDeliveryNotification(const TRetrieveDeliveryNotificationItem& aItem) override {
    Events.push_back("notified " + aItem.DA + " " + std::to_string(aItem.DeliveryStatus));
  }
  void FireActiveChanged() override { Events.push_back("active"); }
  std::vector<std::string> Events;
};

struct TIniSettings {
  int Port = 0;
  int ReconnectTimeout = 60;
  std::string User = "1234";
  std::string Extra;  // more lines of section EMI.Connection
  int Window = 1;
};

class SupervisorTest : public ::testing::Test {
 protected:
  static TSmscConfig SmscConfig() {
    TSmscConfig c;
    c.Account = "1234";
    c.Password = "pw";
    return c;
  }

  void SetUp() override {
    main_thread::SetMainThread();
    ini.Port = smsc.Port();
    WriteIni();
    dm = std::make_unique<TEMIDM>(TIniFile(dir.File("EMI.INI")), clock);
    dm->EMIClient().RecTimeout = 1000;
    dm->EMIClient().RepeatTimeout = 50;
    dm->SetForm(&form);
  }

  void TearDown() override {
    if (dm) dm->SetForm(nullptr);
    dm.reset();
  }

  void WriteIni() {
    WriteText(dir.File("EMI.INI"),
              "[EMI]\nIP=127.0.0.1\nWindow=" + std::to_string(ini.Window) +
                  "\nPort=" + std::to_string(ini.Port) +
                  "\nReconnectTimeout=" + std::to_string(ini.ReconnectTimeout) +
                  "\nLogFile=" + dir.File("traffic.log") + "\n[EMI.Connection]\nUser=" + ini.User +
                  "\nPassword=" + ScramblePassword("pw") + "\n" + ini.Extra);
  }

  // A port on 127.0.0.1 where nobody listens.
  static int DeadPort() {
    TSmscSimulator gone;
    return gone.Port();
  }

  void Tick() { dm->Timer2Timer(&dm->Timer2()); }

  // A step, then the hand-over work until the connect it started has ended.
  void TickConnecting() {
    Tick();
    ASSERT_TRUE(WaitFor([&] { return !dm->Connecting(); }, 20s));
  }

  void Connect() {
    dm->RequestActive(true);
    TickConnecting();
    ASSERT_TRUE(dm->EngineActive()) << ::testing::PrintToString(form.Log1.Texts());
    form.Log1.Clear();
  }

  std::shared_ptr<TJobRequester> Post(const std::string& aName,
                                      const std::string& aDA = "0612345678",
                                      const std::string& aMsg = "Hello", uint8_t aNT = 0) {
    auto item = std::make_unique<TSubmitItem>();
    item->DA = aDA;
    item->Msg = aMsg;
    item->NT = aNT;
    item->Requester = std::make_shared<TJobRequester>();
    std::shared_ptr<TJobRequester> requester = item->Requester;
    dm->PostJob(aName, std::move(item));
    return requester;
  }

  // Runs hand-over work and timers until aDone holds.
  static bool WaitFor(const std::function<bool()>& aDone, std::chrono::milliseconds aLimit = 5s) {
    return main_thread::WaitOnMainThread(aDone, aLimit);
  }
  // Runs steps until aDone holds, as the job timer would.
  bool TickUntil(const std::function<bool()>& aDone, std::chrono::milliseconds aLimit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + aLimit;
    while (!aDone()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Tick();
      WaitFor(aDone, 20ms);
    }
    return true;
  }

  // Runs the hand-over work (received operations) until the status log holds
  // a line that begins with aPrefix.
  bool WaitForLine(std::string_view aPrefix, std::chrono::milliseconds aLimit = 5s) {
    return main_thread::WaitOnMainThread([&] { return form.Log1.Count(aPrefix) > 0; }, aLimit);
  }

  static int CountCompleted(const std::vector<std::shared_ptr<TJobRequester>>& aRequesters) {
    int n = 0;
    for (const auto& r : aRequesters) n += r->Completed() ? 1 : 0;
    return n;
  }

  TSmscSimulator smsc{SmscConfig()};
  TTempDir dir;
  TIniSettings ini;
  TFakeForm form;
  // Fixed pauses are recorded and skipped; waits for the SMSC are real.
  TSkippingClock clock;
  std::unique_ptr<TEMIDM> dm;
};

}  // namespace qorvel::testing
