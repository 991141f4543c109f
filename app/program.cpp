#include "app/program.h"

#include <QApplication>
#include <memory>

#include "app/config/switches.h"
#include "app/emidm.h"
#include "ui/emi_form.h"
#include "ui/qt_main_thread.h"

namespace qorvel {

int RunProgram(int argc, char** argv) {
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
    result = QApplication::exec();
    // The window goes first; the supervisor must not write to it meanwhile.
    dm->SetForm(nullptr);
  }
  dm.reset();
  return result;
}

}  // namespace qorvel
