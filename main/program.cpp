#include "main/program.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>
#include <functional>
#include <memory>

#include "app/emidm.h"
#include "app/headless_view.h"
#include "app/history_events.h"
#include "app/message_store.h"
#include "app/log_view_link.h"
#include "app/qt_main_thread.h"
#include "automation/start_mode.h"
#include "config/config.h"
#include "config/switches.h"
#include "connect/application.h"
#include "connect/clock.h"
#include "connect/main_thread.h"
#include "main/program_automation.h"
#include "main/quit_on_signal.h"
#include "ui/emi_form.h"

namespace qorvel {
namespace {

// Qt aborts when a window's platform finds no screen; QT_QPA_PLATFORM names
// one that needs none (offscreen, in tests).
bool HasScreen() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// The message history that EMI.INI names, reporting to aEvents; nullptr when
// it is off, or its settings are wrong (then aTrouble says why).
std::unique_ptr<TMessageStore> OpenHistory(const TIniFile& aSettings, THistoryEvents& aEvents,
                                           std::string& aTrouble) {
  std::string path;
  THistoryLimits limits;
  try {
    path = HistoryFile(aSettings, InBuildTree(AppDirectory()));
    limits = HistoryLimitsOf(aSettings);
  } catch (const std::exception& e) {
    aTrouble = std::string("History off: ") + e.what();
    return nullptr;
  }
  if (path.empty()) return nullptr;
  return std::make_unique<TMessageStore>(std::move(path), limits, aEvents.StoreHandlers());
}

// The supervisor, its view (made by aMakeView once the supervisor exists) and
// the automation server, until the event loop ends.
int RunSupervised(TStartMode aMode,
                  const std::function<std::unique_ptr<IEMIFormView>(TEMIDM&)>& aMakeView) {
  // Logout, Ctrl-C or a closed terminal end the program as closing the window does.
  const TQuitOnSignal quitOnSignal;
  ConnectMainThreadToEventLoop();
  // Failures that no caller hears of (a log file that cannot be written, on
  // the reader thread) go to the status pane rather than to a terminal
  // nobody watches; the link outlives both the view and the engine.
  TLogViewLink errorView;
  SetErrorDisplay([&errorView](const std::exception& aError) {
    errorView.AddLine(std::string("Error: ") + aError.what());
  });
  const TIniFile settings = OpenConfig();
  // Posted to from the store's thread: it outlives the store.
  THistoryEvents historyEvents;
  std::string historyTrouble;
  std::unique_ptr<TMessageStore> history = OpenHistory(settings, historyEvents, historyTrouble);
  auto dm = std::make_unique<TEMIDM>(settings, SystemClock());
  dm->SetHistory(history.get(), &historyEvents);
  int result = 0;
  {
    std::unique_ptr<IEMIFormView> view = aMakeView(*dm);
    dm->SetForm(view.get());
    errorView.SetTarget(&view->StatusLog());
    if (!historyTrouble.empty()) view->StatusLog().AddLine(historyTrouble);
    // Each kind of trouble is reported once; traffic goes on without the store.
    QObject::connect(&historyEvents, &THistoryEvents::Problem, &historyEvents,
                     [&view](const QString& aText) { view->StatusLog().AddLine(aText.toStdString()); });
    {
      // Clients reach the view's supervisor; the server goes before both.
      TProgramAutomation automation(
          *dm, aMode, [&view](const std::string& aLine) { view->StatusLog().AddLine(aLine); },
          history.get(), &historyEvents);
      result = QCoreApplication::exec();
    }
    // The view goes first; the supervisor must not write to it meanwhile.
    QObject::disconnect(&historyEvents, &THistoryEvents::Problem, nullptr, nullptr);
    errorView.SetTarget(nullptr);
    dm->SetForm(nullptr);
  }
  dm.reset();
  // A retry or a pause left armed holds a caller's reply; it goes while the
  // bus connection it needs still exists.
  main_thread::DropDelayed();
  // What is still queued reaches the file before the program ends.
  history.reset();
  SetErrorDisplay(nullptr);
  return result;
}

}  // namespace

int RunProgram(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const TStartMode mode = StartModeFromArguments(arguments);
  // Registration needs no window, and may run where there is no screen.
  if (auto code = RunRegistration(
          mode, QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath(), arguments)) {
    return *code;
  }
  SetCommandLine(argc, argv);
  if (!HasScreen()) {
    if (mode != TStartMode::Automation) {
      std::fputs(
          "qorvel: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset);\n"
          "started by the session bus (/AUTOMATION) it runs without a window\n",
          stderr);
      return 1;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("Qorvel");
    return RunSupervised(mode, [](TEMIDM&) { return std::make_unique<THeadlessView>(stderr); });
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("Qorvel");
  return RunSupervised(mode, [](TEMIDM& aSupervisor) {
    auto form = std::make_unique<TEMIForm>(aSupervisor);
    form->show();
    return form;
  });
}

}  // namespace qorvel
