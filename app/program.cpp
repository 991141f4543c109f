#include "app/program.h"

#include <QApplication>
#include <QFileInfo>
#include <QStringList>
#include <memory>

#include "app/config/switches.h"
#include "app/emidm.h"
#include "automation/program_automation.h"
#include "automation/start_mode.h"
#include "ui/emi_form.h"
#include "ui/qt_main_thread.h"

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
  QApplication::setApplicationName("Qorvel");
  ConnectMainThreadToEventLoop();

  auto dm = std::make_unique<TEMIDM>();
  int result = 0;
  {
    TEMIForm form(*dm);
    dm->SetForm(&form);
    form.show();
    {
      // Clients reach the window's supervisor; the server goes before both.
      TProgramAutomation automation(
          *dm, mode, [&form](const std::string& aLine) { form.StatusLog().AddLine(aLine); });
      result = QApplication::exec();
    }
    // The window goes first; the supervisor must not write to it meanwhile.
    dm->SetForm(nullptr);
  }
  dm.reset();
  return result;
}

}  // namespace qorvel
