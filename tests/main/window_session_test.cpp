// The whole application as a person uses it: the real window on the real
// supervisor, driven by its controls, against the in-process SMSC.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QTest>

#include "config/config.h"
#include "temp_dir.h"
#include "app/emidm.h"
#include "connect/main_thread.h"
#include "tools/smsc/smsc_simulator.h"
#include "ui/emi_form.h"
#include "ui/terminal.h"

namespace qorvel::testing {
namespace {

using namespace std::chrono_literals;

TEST(WindowSession, ConnectTransmitThenAMessageAndANotificationArrive) {
  main_thread::SetMainThread();
  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  TSmscSimulator smsc(config);
  TTempDir dir;
  WriteText(dir.File("EMI.INI"),
            "[EMI]\nIP=127.0.0.1\nPort=" + std::to_string(smsc.Port()) +
                "\nLogFile=\nPhone.Number=0612345678\nMessage=48656C6C6F\n"
                "Notification.Delivered=1\n[EMI.Connection]\nUser=1234\nPassword=" +
                ScramblePassword("pw") + "\n");

  TEMIDM dm(TIniFile(dir.File("EMI.INI")), SystemClock());
  TEMIForm form(dm);
  dm.SetForm(&form);
  form.show();
  const auto log1 = [&] {
    auto* log = form.findChild<TTerminal*>("Log1");
    log->Flush();
    return log->toPlainText().toStdString();
  };
  const auto waitFor = [&](const std::string& aText) {
    return main_thread::WaitOnMainThread(
        [&] {
          QCoreApplication::processEvents();
          return log1().find(aText) != std::string::npos;
        },
        10s);
  };

  QTest::mouseClick(form.findChild<QAbstractButton*>("ConnectButton"), Qt::LeftButton);
  ASSERT_TRUE(waitFor("Connected to KESTRA")) << log1();
  QTest::mouseClick(form.findChild<QAbstractButton*>("Button3"), Qt::LeftButton);
  EXPECT_TRUE(waitFor("SCTS: ")) << log1();
  EXPECT_TRUE(waitFor("Status: 0-delivered (OK)")) << log1();

  TMobileMessage msg;
  msg.OA = "0612000001";
  msg.DA = "1234";
  msg.Msg = "from a mobile";
  smsc.SendDeliver(msg);
  EXPECT_TRUE(waitFor(",\"0612000001\",\"#1234\",RPI:0, \"from a mobile\"")) << log1();
  EXPECT_EQ(log1().find("Error"), std::string::npos) << log1();
  dm.SetForm(nullptr);
}

}  // namespace
}  // namespace qorvel::testing
