#include "main/program.h"

#include <QApplication>
#include <QFileInfo>
#include <QStringList>
#include <memory>

#include "config/config.h"
#include "config/switches.h"
#include "app/emidm.h"
#include "app/log_view_link.h"
#include "main/program_automation.h"
#include "main/quit_on_signal.h"
#include "automation/start_mode.h"
#include "connect/application.h"
#include "connect/clock.h"
#include "ui/emi_form.h"
#include "app/qt_main_thread.h"

namespace qorvel {

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
  QApplication app(argc, argv);
  // Logout, Ctrl-C or a closed terminal end the program as closing the window does.
  const TQuitOnSignal quitOnSignal;
  QApplication::setApplicationName("Qorvel");
  ConnectMainThreadToEventLoop();

  // Failures that no caller hears of (a log file that cannot be written, on
  // the reader thread) go to the status pane rather than to a terminal
  // nobody watches; the link outlives both the window and the engine.
  TLogViewLink errorView;
  SetErrorDisplay([&errorView](const std::exception& aError) {
    errorView.AddLine(std::string("Error: ") + aError.what());
  });
  auto dm = std::make_unique<TEMIDM>(OpenConfig(), SystemClock());
  int result = 0;
  {
    TEMIForm form(*dm);
    dm->SetForm(&form);
    errorView.SetTarget(&form.StatusLog());
    form.show();
    {
      // Clients reach the window's supervisor; the server goes before both.
      TProgramAutomation automation(
          *dm, mode, [&form](const std::string& aLine) { form.StatusLog().AddLine(aLine); });
      result = QApplication::exec();
    }
    // The window goes first; the supervisor must not write to it meanwhile.
    errorView.SetTarget(nullptr);
    dm->SetForm(nullptr);
  }
  dm.reset();
  SetErrorDisplay(nullptr);
  return result;
}

}  // namespace qorvel
