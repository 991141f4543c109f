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
#include "app/log_view_link.h"
#include "app/qt_main_thread.h"
#include "automation/start_mode.h"
#include "config/config.h"
#include "config/switches.h"
#include "connect/application.h"
#include "connect/clock.h"
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
  auto dm = std::make_unique<TEMIDM>(OpenConfig(), SystemClock());
  int result = 0;
  {
    std::unique_ptr<IEMIFormView> view = aMakeView(*dm);
    dm->SetForm(view.get());
    errorView.SetTarget(&view->StatusLog());
    {
      // Clients reach the view's supervisor; the server goes before both.
      TProgramAutomation automation(
          *dm, aMode, [&view](const std::string& aLine) { view->StatusLog().AddLine(aLine); });
      result = QCoreApplication::exec();
    }
    // The view goes first; the supervisor must not write to it meanwhile.
    errorView.SetTarget(nullptr);
    dm->SetForm(nullptr);
  }
  dm.reset();
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
