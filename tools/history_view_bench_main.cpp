// history_view_bench: what the window's History page costs on a large store.
// Builds a store of --rows messages (1,000,000; submits with their results,
// notifications and messages from mobiles), or reuses --file when it already
// holds that many, then prints:
//  - opening the store, and opening the main window with the store against
//    opening it without one (its History page reads nothing until shown);
//  - from creating the page to its first page of rows shown, for a few fresh
//    pages in turn;
//  - the last row shown after scrolling to the end, and a text filter's rows
//    and count, both read beside the main thread;
//  - the longest the main thread went without running its 5 ms timer
//    meanwhile.
// With --show it then opens the main window on the store until it is closed.
// Usage: history_view_bench [--rows N] [--file PATH] [--show]
// Without --file the store lives in a new folder under /var/tmp (a disk, not
// memory), removed afterwards.
#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/emi_form_host.h"
#include "app/message_store.h"
#include "ui/emi_form.h"
#include "ui/history_view.h"

namespace {

using namespace qorvel;
using TClock = std::chrono::steady_clock;

double Ms(TClock::duration aSpan) {
  return std::chrono::duration<double, std::milli>(aSpan).count();
}

// Runs the event loop until aDone holds; false after aLimit.
bool RunUntil(const std::function<bool()>& aDone, std::chrono::seconds aLimit) {
  const auto until = TClock::now() + aLimit;
  while (!aDone()) {
    if (TClock::now() > until) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  }
  return true;
}

// The longest the main thread left a 5 ms timer waiting beyond its time.
class TStallMeter {
 public:
  TStallMeter() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout,
                     [this] { longest_ = std::max(longest_, since_.restart() - 5); });
    since_.start();
    timer_.start();
  }
  qint64 Longest() const { return longest_; }

 private:
  QTimer timer_;
  QElapsedTimer since_;
  qint64 longest_ = 0;
};

void Fill(TMessageStore& aStore, int64_t aRows) {
  const TDateTime base = EncodeDateTime({2024, 5, 2, 10, 0, 0, 0});
  const auto started = TClock::now();
  for (int64_t i = 0; i < aRows; ++i) {
    const std::string number = "06" + std::to_string(10000000 + i % 90000);
    const TDateTime scts = base + static_cast<double>(i / 50) / 86400;
    if (i % 10 == 9) {
      TRetrieveDeliverySMItem item;
      item.OA = number;
      item.DA = "1234";
      item.Msg = "Reply " + std::to_string(i) + " from a mobile";
      item.SCTS = scts;
      aStore.RecordReceived(item);
    } else {
      THistorySubmit submit;
      submit.Source = i % 3 == 0 ? ":1.42" : "window";
      submit.Number = number;
      submit.Text =
          "Message " + std::to_string(i) + ": your code is " + std::to_string(i * 7919 % 1000000);
      submit.NT = 1;
      const int64_t id = aStore.RecordSubmit(submit);
      if (i % 20 == 3) {
        aStore.RecordSubmitResult(id, false, 0, "02-Syntax error");
      } else if (i % 20 != 7) {
        aStore.RecordSubmitResult(id, true, scts, "", static_cast<int>(i % 100));
        if (i % 4 != 0) {
          TRetrieveDeliveryNotificationItem note;
          note.OA = "1234";
          note.DA = number;
          note.SCTS = scts;
          note.DeliveryStatus = i % 13 == 0 ? 2 : 0;
          note.DSCTS = scts + 4.0 / 86400;
          aStore.RecordNotification(note);
        }
      }
    }
    // The queue holds at most kQueueLimit records.
    if (i % 20000 == 19999) aStore.Flush();
    if (i % 100000 == 99999)
      std::fprintf(stderr, "  %lld messages, %.0f s\n", static_cast<long long>(i + 1),
                   Ms(TClock::now() - started) / 1000);
  }
  aStore.Flush();
}

// Just enough of a supervisor to open the window: nothing connects.
class TIdleHost : public IEMIFormHost {
 public:
  explicit TIdleHost(TMessageStore* aStore) : store_(aStore) {}
  const TIniFile& Settings() const override { return settings_; }
  TEMIClient& Client() override { return client_; }
  TClientSocketConnection& Line() override { return line_; }
  void ClearReconnectPending() override {}
  void StartConnect(std::function<void(std::exception_ptr)>) override {}
  bool Connecting() const override { return false; }
  void Disconnect() override {}
  int64_t RecordWindowSubmit(const TSubmitItem&) override { return 0; }
  void RecordSubmit(int64_t, bool, TDateTime, const std::string&, int) override {}
  bool ReconnectionArmed() const override { return false; }
  TMessageStore* History() override { return store_; }

 private:
  TMessageStore* store_;
  TIniFile settings_{"/nonexistent/EMI.INI"};
  TClientSocketConnection line_;
  TEMIClient client_;
};

// Milliseconds from creating the main window to its being shown.
double OpenWindow(TMessageStore* aStore) {
  TIdleHost host(aStore);
  const auto started = TClock::now();
  TEMIForm form(host);
  form.show();
  QCoreApplication::processEvents();
  return Ms(TClock::now() - started);
}

double Median(std::vector<double> aValues) {
  std::sort(aValues.begin(), aValues.end());
  return aValues[aValues.size() / 2];
}

struct TOptions {
  int64_t Rows = 1000000;
  std::string File;
  bool Show = false;
};

bool ReadOptions(int aArgc, char** aArgv, TOptions& aOptions) {
  for (int i = 1; i < aArgc; ++i) {
    const std::string arg = aArgv[i];
    if (arg == "--show") {
      aOptions.Show = true;
    } else if (arg == "--rows" && i + 1 < aArgc) {
      char* end = nullptr;
      aOptions.Rows = std::strtoll(aArgv[++i], &end, 10);
      if (*end != '\0' || aOptions.Rows < 1 || aOptions.Rows > 100000000) {
        std::fprintf(stderr, "--rows: \"%s\" is not a number from 1 to 100000000\n", aArgv[i]);
        return false;
      }
    } else if (arg == "--file" && i + 1 < aArgc) {
      aOptions.File = aArgv[++i];
    } else {
      std::fprintf(stderr, "usage: history_view_bench [--rows N] [--file PATH] [--show]\n");
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ReadOptions(argc, argv, options)) return 2;
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  std::filesystem::path scratch;
  std::string path = options.File;
  if (path.empty()) {
    std::string pattern = "/var/tmp/qorvel-history-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("/var/tmp");
      return 1;
    }
    scratch = pattern;
    path = (scratch / "messages.db").string();
  }
  THistoryLimits keepAll;
  keepAll.KeepDays = 0;
  int64_t held = 0;
  {
    TMessageStore store(path, keepAll);
    held = store.Count({});
    if (held < options.Rows) {
      std::printf("building a store of %lld messages in %s\n",
                  static_cast<long long>(options.Rows - held), path.c_str());
      const auto started = TClock::now();
      Fill(store, options.Rows - held);
      std::printf("  built in %.1f s\n", Ms(TClock::now() - started) / 1000);
    }
  }

  const auto opening = TClock::now();
  auto store = std::make_unique<TMessageStore>(path, keepAll);
  const double openMs = Ms(TClock::now() - opening);
  if (!store->Problem().empty()) {
    std::fprintf(stderr, "%s\n", store->Problem().c_str());
    return 1;
  }
  std::printf("store %s\n", path.c_str());
  std::printf("open the store:                         %8.1f ms\n", openMs);

  // The first window pays for the style and the fonts; the rest alternate.
  OpenWindow(nullptr);
  std::vector<double> without, with;
  for (int run = 0; run < 7; ++run) {
    without.push_back(OpenWindow(nullptr));
    with.push_back(OpenWindow(store.get()));
  }
  std::printf("open the window without a store:        %8.1f ms (median of 7)\n", Median(without));
  std::printf("open the window with the store:         %8.1f ms (median of 7)\n", Median(with));

  TStallMeter stalls;
  std::vector<double> firstPages, counted;
  int64_t shownRows = 0;
  for (int run = 0; run < 5; ++run) {
    const auto created = TClock::now();
    auto view = std::make_unique<THistoryView>(store.get(), nullptr);
    view->resize(1000, 600);
    view->show();
    THistoryModel& model = *view->Model();
    const bool shown = RunUntil(
        [&] {
          return model.rowCount() > 0 &&
                 model.index(0, 0).data(THistoryModel::kIdRole).toLongLong() != 0;
        },
        std::chrono::seconds(60));
    if (!shown) {
      std::fprintf(stderr, "the first page did not show within a minute\n");
      return 1;
    }
    firstPages.push_back(Ms(TClock::now() - created));
    RunUntil([&] { return !model.Counting(); }, std::chrono::seconds(60));
    counted.push_back(Ms(TClock::now() - created));
    shownRows = model.rowCount();
  }
  std::printf("messages in the table:                  %8lld\n", static_cast<long long>(shownRows));
  std::printf("create the page to its first rows shown: %7.1f ms median of 5 (%.1f..%.1f)\n",
              Median(firstPages), *std::min_element(firstPages.begin(), firstPages.end()),
              *std::max_element(firstPages.begin(), firstPages.end()));
  std::printf("create the page to the count shown:      %7.1f ms median of 5 (%.1f..%.1f)\n",
              Median(counted), *std::min_element(counted.begin(), counted.end()),
              *std::max_element(counted.begin(), counted.end()));

  {
    // The page goes before the store it reads: a page may still be read.
    THistoryView view(store.get(), nullptr);
    view.resize(1000, 600);
    view.show();
    THistoryModel& model = *view.Model();
    RunUntil([&] { return model.rowCount() > 0 && !model.Counting(); }, std::chrono::seconds(60));
    auto* table = view.findChild<QTableView*>();
    const int last = model.rowCount() - 1;
    auto started = TClock::now();
    table->scrollToBottom();
    RunUntil([&] { return model.index(last, 0).data(THistoryModel::kIdRole).toLongLong() != 0; },
             std::chrono::seconds(120));
    std::printf("scroll to the end, last row shown:       %8.1f ms\n", Ms(TClock::now() - started));

    THistoryFilter text;
    text.Text = "code is 77";
    started = TClock::now();
    model.SetFilter(text);
    RunUntil([&] { return !model.Counting(); }, std::chrono::seconds(300));
    std::printf("text filter \"%s\": %d rows, counted in   %8.1f ms\n", text.Text.c_str(),
                model.rowCount(), Ms(TClock::now() - started));
    std::printf("longest wait of the main thread:        %8lld ms\n",
                static_cast<long long>(stalls.Longest()));
    std::printf("rows read by the last page: %lld in %lld queries\n",
                static_cast<long long>(model.RowsRead()), static_cast<long long>(model.Queries()));
  }

  if (options.Show) {
    TIdleHost host(store.get());
    TEMIForm form(host);
    form.resize(1100, 640);
    form.show();
    app.exec();
  }
  store.reset();
  if (!scratch.empty()) std::filesystem::remove_all(scratch);
  return 0;
}
