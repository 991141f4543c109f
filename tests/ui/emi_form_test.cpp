// The main window and its setup dialog, driven by object name as a user
// drives them: the mirrored message edits, the settings kept in EMI.INI, and
// connecting, transmitting and checking against the simulated SMSC.
#include "connect/main_thread.h"
#include "ui/emi_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSpinBox>
#include <tuple>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "temp_dir.h"
#include "emi/codec.h"
#include "emi/frame.h"
#include "tests/ui/form_test_host.h"
#include "tools/smsc/smsc_simulator.h"
#include "app/date_text.h"
#include "app/history_events.h"
#include "app/message_store.h"
#include "ui/emi_setup_dlg.h"
#include "ui/history_view.h"
#include "ui/message_box.h"
#include "ui/terminal.h"

namespace qorvel {
namespace {

using testing::ReadText;
using testing::WriteText;

TSmscConfig Quiet() {
  TSmscConfig config;
  config.Account = "1234";
  config.Password = "pw";
  config.Notifications = false;
  return config;
}

class EMIFormTest : public ::testing::Test {
 protected:
  EMIFormTest() {
    previousBox_ = SetMessageBoxHandler(
        [this](QWidget*, const QString& aText) { boxes.push_back(aText.toStdString()); });
  }
  ~EMIFormTest() override {
    host.view = nullptr;
    form.reset();
    SetMessageBoxHandler(previousBox_);
  }

  std::string Ini() const { return dir.File("EMI.INI"); }

  TEMIForm& Form() {
    if (!form) {
      form = std::make_unique<TEMIForm>(host);
      host.view = form.get();
      form->show();
      EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    return *form;
  }

  template <typename T>
  T* Find(const char* aName) {
    T* widget = Form().findChild<T*>(QLatin1String(aName));
    if (widget == nullptr) ADD_FAILURE() << "no " << aName;
    return widget;
  }

  void Click(const char* aButton) {
    QTest::mouseClick(Find<QAbstractButton>(aButton), Qt::LeftButton);
  }

  // Connect answers later: runs the hand-over work until the connect ended.
  void ClickConnect() {
    Click("ConnectButton");
    ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return !host.client.Opening(); },
                                              std::chrono::seconds(10)));
  }

  void Type(const char* aEdit, const QString& aText) {
    QLineEdit* edit = Find<QLineEdit>(aEdit);
    edit->clear();
    QTest::keyClicks(edit, aText);
  }

  QString Text(const char* aName) {
    const QObject* control = Find<QObject>(aName);
    return control != nullptr ? control->property("text").toString() : QString();
  }

  std::vector<std::string> Log1Lines() {
    TTerminal* log = Find<TTerminal>("Log1");
    log->Flush();
    const QString text = log->toPlainText();
    std::vector<std::string> lines;
    if (!text.isEmpty())
      for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back(line.toStdString());
    return lines;
  }

  // Runs the event loop until the status pane's last line begins with aPrefix.
  bool WaitForLastLine(std::string_view aPrefix) {
    return QTest::qWaitFor([&] {
      const auto lines = Log1Lines();
      return !lines.empty() && lines.back().starts_with(aPrefix);
    });
  }

  void ShowPage(int aTab) {
    QTabBar* tabs = Find<QTabBar>("TabSet1");
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(aTab).center());
  }

  // Clicks "Setup..." and has `aUse` work the modal dialog once it shows.
  void WithSetupDialog(const std::function<void(TEMISetupDlg&)>& aUse) {
    bool reached = false;
    QTimer poll;
    QElapsedTimer waited;
    waited.start();
    QObject::connect(&poll, &QTimer::timeout, [&] {
      auto* dialog = Form().findChild<TEMISetupDlg*>();
      if (dialog != nullptr && dialog->isVisible() && !reached) {
        reached = true;
        aUse(*dialog);
      }
      // A dialog that aUse left open, or that never showed, must not hang the test.
      if (dialog != nullptr && dialog->isVisible() && (reached || waited.elapsed() > 5000))
        dialog->reject();
    });
    poll.start(10);
    Click("SetupButton");
    EXPECT_TRUE(reached);
  }

  testing::TTempDir dir;
  TSmscSimulator smsc{Quiet()};
  testing::TFormTestHost host{smsc.Port(), Ini()};
  std::unique_ptr<TEMIForm> form;
  std::vector<std::string> boxes;

 private:
  TMessageBoxHandler previousBox_;
};

TEST_F(EMIFormTest, EveryControlIsThereWithItsCaption) {
  TEMIForm& f = Form();
  EXPECT_EQ(f.windowTitle(), "Qorvel 1.2");
  EXPECT_EQ(f.minimumSize(), QSize(381, 375));
  EXPECT_EQ(f.size(), QSize(381, 375));

  const std::vector<std::pair<const char*, const char*>> captions = {
      {"ConnectButton", "&Connect"},
      {"SetupButton", "&Setup..."},
      {"DisconnectButton", "Dis&connect"},
      {"Button3", "&Transmit"},
      {"Button4", "C&heck conn."},
      {"Button1", "Save"},
      {"Label1", "&Number"},
      {"Label3", "&Message"},
      {"MessageLength", "0"},
      {"Binary", "B&inary (8 bit, max.140 chars)"},
      {"Label2", "C&lass"},
      {"Label4", "&PID"},
      {"Edit1", "0"},
      {"VP", "&VP (hours)"},
      {"Edit2", "0"},
      {"Label5", "&Reply path"},
      {"N_Delivered", "&Delivered"},
      {"N_Buffered", "B&uffered"},
      {"N_NotDelivered", "N&ot delivered"},
  };
  for (const auto& [name, caption] : captions) {
    const QObject* control = f.findChild<QObject*>(QLatin1String(name));
    ASSERT_NE(control, nullptr) << name;
    EXPECT_EQ(control->property("text").toString(), caption) << name;
  }
  for (const char* name : {"PrefixEdit", "NumberEdit", "MsgEdit", "MsgHexEdit"})
    EXPECT_NE(Find<QLineEdit>(name), nullptr);
  EXPECT_EQ(Find<QGroupBox>("GroupBox1")->title(), "Notification");
  EXPECT_EQ(Find<QLabel>("Label1")->buddy(), Find<QLineEdit>("PrefixEdit"));
  EXPECT_EQ(Find<QLabel>("Label3")->buddy(), Find<QLineEdit>("MsgEdit"));
  EXPECT_EQ(Find<QLineEdit>("MsgEdit")->maxLength(), 160);

  const auto items = [&](const char* aName) {
    QStringList list;
    const QComboBox* box = Find<QComboBox>(aName);
    for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
    return list;
  };
  EXPECT_EQ(items("MessageClass"),
            QStringList({"default", "0..immediate display", "1..ME-memory equipment", "2..SIM",
                         "3..TE-terminate equipment"}));
  EXPECT_EQ(items("RPI"), QStringList({"none", "request", "response"}));
  for (const auto& [name, max] : {std::pair{"PID", 255}, std::pair{"VPH", 999}}) {
    const QSpinBox* spin = Find<QSpinBox>(name);
    EXPECT_EQ(spin->minimum(), 0) << name;
    // Typing may go past the range, so that Transmit can refuse what was typed.
    EXPECT_EQ(spin->property("validMax").toInt(), max) << name;
    EXPECT_GT(spin->maximum(), max) << name;
    EXPECT_FALSE(spin->wrapping()) << name;
  }

  QSplitter* splitter = Find<QSplitter>("Splitter1");
  ASSERT_EQ(splitter->count(), 2);
  EXPECT_EQ(splitter->widget(0), Find<TTerminal>("Log1"));
  EXPECT_EQ(splitter->widget(1), Find<TTerminal>("Log2"));
  EXPECT_EQ(Find<TTerminal>("Log1")->MaxLines(), 100);
  EXPECT_EQ(Find<TTerminal>("Log2")->MaxLines(), 100);
  EXPECT_EQ(Find<QStackedWidget>("Notebook1")->currentWidget()->objectName(), "SMS");

  // The tabs choose the composition page.
  QTabBar* tabs = Find<QTabBar>("TabSet1");
  ASSERT_EQ(tabs->count(), 2);
  EXPECT_EQ(tabs->tabText(0), "&Basic");
  EXPECT_EQ(tabs->tabText(1), "&Advanced");
  QStackedWidget* pages = Find<QStackedWidget>("Notebook2");
  EXPECT_EQ(pages->currentWidget()->objectName(), "Default");
  ShowPage(1);
  EXPECT_EQ(pages->currentWidget()->objectName(), "Advanced");
  ShowPage(0);
  EXPECT_EQ(pages->currentWidget()->objectName(), "Default");

  // Status bar: a version line on click; the supervisor writes the third panel.
  QStatusBar* bar = Find<QStatusBar>("StatusBar");
  const auto panels = bar->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
  ASSERT_EQ(panels.size(), 3);
  EXPECT_EQ(Text("StatusPanel0"), "");
  QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(4, bar->height() / 2));
  EXPECT_EQ(Text("StatusPanel0"), f.StatusBarHint().section('|', 0, 0));
  EXPECT_TRUE(Text("StatusPanel0").startsWith("Qorvel 1.2"));
  f.ShowRxQueueCount(3);
  EXPECT_EQ(Text("StatusPanel2"), "3");
}

// The traffic shows at start, as it always did; the history beside it reads
// nothing until its page is chosen, and says so when there is none.
TEST_F(EMIFormTest, TheHistoryPageSitsBesideTheTrafficPanes) {
  THistoryEvents events;
  TMessageStore off("", {});
  TMessageStore real(dir.File("messages.db"), {});
  THistorySubmit submit;
  submit.Number = "0612345678";
  submit.Text = "Hello";
  real.RecordSubmit(submit);
  real.Flush();
  // The window goes before the stores it reads, however the test ends.
  const auto closeWindow = qScopeGuard([this] {
    host.view = nullptr;
    form.reset();
  });
  struct TRow {
    TMessageStore* Store;
    bool Table;
  };
  for (const TRow& row : {TRow{nullptr, false}, TRow{&off, false}, TRow{&real, true}}) {
    SCOPED_TRACE(row.Store == nullptr ? "no store" : row.Store->Path());
    host.view = nullptr;
    form.reset();
    host.history = row.Store;
    host.historyEvents = &events;
    Form();
    QTabWidget* pages = Find<QTabWidget>("LogPages");
    ASSERT_EQ(pages->count(), 2);
    EXPECT_EQ(pages->tabText(0), "Traffic");
    EXPECT_EQ(pages->tabText(1), "History");
    EXPECT_EQ(pages->currentWidget(), Find<QSplitter>("Splitter2"));
    EXPECT_TRUE(Find<TTerminal>("Log1")->isVisible());
    auto* history = Find<THistoryView>("History");
    EXPECT_EQ(history->Model() != nullptr, row.Table);
    if (history->Model() != nullptr) {
      EXPECT_FALSE(history->Model()->Started());
    }

    QTest::mouseClick(pages->tabBar(), Qt::LeftButton, {}, pages->tabBar()->tabRect(1).center());
    EXPECT_TRUE(history->isVisible());
    if (row.Table) {
      EXPECT_TRUE(QTest::qWaitFor([&] {
        return history->Model()->index(0, THistoryModel::kNumber).data().toString() ==
               "0612345678";
      }));
    } else {
      EXPECT_TRUE(Find<QLabel>("HistoryOff")->isVisible());
      EXPECT_EQ(Find<QLabel>("HistoryOff")->text(), "History is off");
      // Why the store is missing shows above it.
      events.PostProblem("History store /x cannot be opened: locked");
      EXPECT_TRUE(QTest::qWaitFor([&] { return Find<QLabel>("HistoryProblem")->isVisible(); }));
      EXPECT_EQ(Find<QLabel>("HistoryProblem")->text(),
                "History store /x cannot be opened: locked");
    }
  }
}

TEST_F(EMIFormTest, AFrameTheUserPicksInTheTrafficPaneShowsDecoded) {
  TEMIForm& f = Form();
  TTerminal* log = Find<TTerminal>("Log2");
  QPlainTextEdit* view = Find<QPlainTextEdit>("DecodedView");
  QSplitter* splitter = Find<QSplitter>("Splitter2");
  ASSERT_TRUE(log && view && splitter);
  EXPECT_TRUE(view->isReadOnly());
  EXPECT_EQ(splitter->sizes().value(1), 0);
  const auto firstLine = [&] {
    return view->toPlainText().section(QLatin1Char('\n'), 0, 0).toStdString();
  };
  const auto putCaret = [&](const QString& aText) {
    const QTextCursor found = log->document()->find(aText);
    ASSERT_FALSE(found.isNull()) << aText.toStdString();
    log->setTextCursor(found);
  };

  log->AddLine("no frame here");
  log->AddLine("01) " + FrameLogText(*ComposeFrame(31, 5, false, "0612345678/0539")));
  log->AddLine("02) " + FrameLogText(*ComposeFrame(60, 6, true, "N/02/")));
  log->Flush();
  // A caret moved while the user is elsewhere is no choice of the user's.
  putCaret("01) ");
  EXPECT_TRUE(view->toPlainText().isEmpty());

  f.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  log->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return log->hasFocus(); }));
  putCaret("02) ");
  EXPECT_EQ(firstLine(), "Operation: 60 Session management (R, TRN 06)");
  EXPECT_TRUE(view->toPlainText().contains("\nEC: 02 = syntax error\n"));
  EXPECT_GT(splitter->sizes().value(1), 0);
  putCaret("01) ");
  EXPECT_EQ(firstLine(), "Operation: 31 Alert (O, TRN 05)");
  EXPECT_TRUE(view->toPlainText().contains("\nPID: 0539 = PC appl. over TCP/IP"));

  // A line without a frame leaves the last frame in view, and so does new
  // traffic that puts the caret on a frame of its own.
  putCaret("no frame");
  EXPECT_EQ(firstLine(), "Operation: 31 Alert (O, TRN 05)");
  log->AddLine("03) " + FrameLogText(*ComposeFrame(52, 7, false, "1/2")));
  log->Flush();
  EXPECT_TRUE(log->textCursor().block().text().startsWith("03) "));
  EXPECT_EQ(firstLine(), "Operation: 31 Alert (O, TRN 05)");
}

TEST_F(EMIFormTest, MessageEditsMirrorEachOther) {
  Form();
  QLineEdit* text = Find<QLineEdit>("MsgEdit");
  QLineEdit* hex = Find<QLineEdit>("MsgHexEdit");
  EXPECT_TRUE(hex->isReadOnly());
  Type("MsgEdit", "Hi");
  EXPECT_EQ(hex->text(), "4869");
  EXPECT_EQ(Text("MessageLength"), "2");

  Click("Binary");
  EXPECT_TRUE(text->isReadOnly());
  EXPECT_FALSE(hex->isReadOnly());
  Type("MsgHexEdit", "48656C6C6F");
  EXPECT_EQ(text->text(), "Hello");
  EXPECT_EQ(Text("MessageLength"), "5");
  // Not hex: the last good text stays on show.
  QTest::keyClicks(hex, "G");
  EXPECT_EQ(text->text(), "Hello");
  // Back to text, the hex edit shows what would go out.
  Click("Binary");
  EXPECT_EQ(hex->text(), "48656C6C6F");
  EXPECT_TRUE(hex->isReadOnly());

  text->setText(QString(150, 'a'));
  EXPECT_EQ(hex->text().size(), 300);
  Click("Binary");
  EXPECT_EQ(text->text(), QString(140, 'a'));
  EXPECT_EQ(hex->text(), QString::fromStdString(TextToHex(std::string(140, 'a'))));
  EXPECT_EQ(text->maxLength(), 140);
  EXPECT_EQ(hex->maxLength(), 280);
  EXPECT_EQ(Text("MessageLength"), "140");
  Click("Binary");
  EXPECT_EQ(text->maxLength(), 160);
  EXPECT_EQ(hex->maxLength(), 320);
}

TEST_F(EMIFormTest, MessageSettingsComeFromEmiIniAndSaveWritesExactlyThem) {
  WriteText(Ini(),
            "[EMI]\nIP=127.0.0.1\nPhone.Prefix=+44\nPhone.Number=1632960000\nBinary=1\n"
            "Message=48656C6C6F\nClass=3\nRPI=2\nPID=64\nVP.Hours=36\n"
            "Notification.Delivered=1\nNotification.Buffered=0\nNotification.NotDelivered=1\n");
  Form();
  EXPECT_EQ(Find<QLineEdit>("PrefixEdit")->text(), "+44");
  EXPECT_EQ(Find<QLineEdit>("NumberEdit")->text(), "1632960000");
  EXPECT_TRUE(Find<QCheckBox>("Binary")->isChecked());
  EXPECT_EQ(Find<QLineEdit>("MsgHexEdit")->text(), "48656C6C6F");
  EXPECT_EQ(Find<QLineEdit>("MsgEdit")->text(), "Hello");
  EXPECT_FALSE(Find<QLineEdit>("MsgHexEdit")->isReadOnly());
  EXPECT_EQ(Find<QComboBox>("MessageClass")->currentText(), "2..SIM");
  EXPECT_EQ(Find<QComboBox>("RPI")->currentText(), "response");
  EXPECT_EQ(Find<QSpinBox>("PID")->value(), 64);
  EXPECT_EQ(Find<QSpinBox>("VPH")->value(), 36);
  EXPECT_TRUE(Find<QCheckBox>("N_Delivered")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>("N_Buffered")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>("N_NotDelivered")->isChecked());

  // A text message is stored in its hex form; other keys keep their place.
  Click("Binary");
  Type("MsgEdit", "Hi");
  Find<QCheckBox>("N_Buffered")->setChecked(true);
  Find<QComboBox>("MessageClass")->setCurrentIndex(0);
  ShowPage(1);
  Click("Button1");
  EXPECT_EQ(ReadText(Ini()),
            "[EMI]\nIP=127.0.0.1\nPhone.Prefix=+44\nPhone.Number=1632960000\nBinary=0\n"
            "Message=4869\nClass=0\nRPI=2\nPID=64\nVP.Hours=36\n"
            "Notification.Delivered=1\nNotification.Buffered=1\nNotification.NotDelivered=1\n");

  std::filesystem::remove(Ini());
  Click("Button1");
  EXPECT_EQ(ReadText(Ini()),
            "[EMI]\nPhone.Prefix=+44\nPhone.Number=1632960000\nBinary=0\nMessage=4869\n"
            "Class=0\nRPI=2\nPID=64\nVP.Hours=36\nNotification.Delivered=1\n"
            "Notification.Buffered=1\nNotification.NotDelivered=1\n");
  EXPECT_TRUE(boxes.empty());
}

TEST_F(EMIFormTest, ListIndexesOutsideTheListsReadAsTheirFirstItem) {
  WriteText(Ini(), "[EMI]\nClass=9\nRPI=-1\n");
  Form();
  EXPECT_EQ(Find<QComboBox>("MessageClass")->currentIndex(), 0);
  EXPECT_EQ(Find<QComboBox>("RPI")->currentIndex(), 0);
}

TEST_F(EMIFormTest, SetupWritesOnlyAfterAValidOk) {
  const std::string before =
      "[EMI]\nIP=10.0.0.1\nPort=5000\n[EMI.Connection]\nUser=1234\nPassword=" +
      ScramblePassword("pw") + "\n";
  WriteText(Ini(), before);

  WithSetupDialog([&](TEMISetupDlg& d) {
    EXPECT_EQ(d.windowTitle(), "Qorvel setup");
    EXPECT_EQ(d.Address->text(), "10.0.0.1");
    EXPECT_EQ(d.Port->text(), "5000");
    EXPECT_EQ(d.User->text(), "1234");
    EXPECT_EQ(d.Password->text(), "pw");
    EXPECT_EQ(d.Password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(d.Password->displayText(), "**");
    EXPECT_EQ(d.ReconnectTimeout->text(), "0");
    d.Address->setText("127.0.0.1");
    QTest::mouseClick(d.CancelBtn, Qt::LeftButton);
    EXPECT_FALSE(d.isVisible());
  });
  EXPECT_EQ(ReadText(Ini()), before);

  WithSetupDialog([&](TEMISetupDlg& d) {
    d.Address->setText("127.0.0.1");
    d.Port->setText("2775");
    d.User->setText("5678");
    d.Password->setText("Secret42");
    d.ReconnectTimeout->setText("abc");
    QTest::mouseClick(d.OKBtn, Qt::LeftButton);
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(boxes, std::vector<std::string>{"'abc' is not a valid integer value"});
    EXPECT_EQ(ReadText(Ini()), before);
    d.ReconnectTimeout->setText("30");
    for (const char* port : {"abc", "0", "65536", ""}) {
      boxes.clear();
      d.Port->setText(port);
      QTest::mouseClick(d.OKBtn, Qt::LeftButton);
      EXPECT_TRUE(d.isVisible()) << port;
      EXPECT_EQ(boxes, std::vector<std::string>{"Port '" + std::string(port) +
                                                "' is not a number from 1 to 65535"});
    }
    EXPECT_EQ(ReadText(Ini()), before);
    d.Port->setText("2775");
    QTest::mouseClick(d.OKBtn, Qt::LeftButton);
    EXPECT_FALSE(d.isVisible());
  });
  const TIniFile ini(Ini());
  EXPECT_EQ(ini.ReadString("EMI", "IP", ""), "127.0.0.1");
  EXPECT_EQ(ini.ReadString("EMI", "Port", ""), "2775");
  EXPECT_EQ(ini.ReadString("EMI", "ReconnectTimeout", ""), "30");
  EXPECT_EQ(ini.ReadString("EMI.Connection", "User", ""), "5678");
  EXPECT_EQ(ini.ReadString("EMI.Connection", "Password", ""), "75gvixvH");
}

TEST_F(EMIFormTest, ButtonsAndTheTransmitPageFollowTheConnection) {
  Form();
  QWidget* smsCommands = Find<QWidget>("Notebook1");
  const auto expectConnected = [&](bool aConnected) {
    EXPECT_EQ(host.client.Active(), aConnected);
    EXPECT_EQ(!smsCommands->isHidden(), aConnected);
    EXPECT_EQ(Find<QPushButton>("ConnectButton")->isEnabled(), !aConnected);
    EXPECT_EQ(Find<QPushButton>("SetupButton")->isEnabled(), !aConnected);
    EXPECT_EQ(Find<QPushButton>("DisconnectButton")->isEnabled(), aConnected);
  };
  expectConnected(false);

  smsc.NakOperation(60, 7, 1);
  ClickConnect();
  expectConnected(false);
  EXPECT_EQ(Log1Lines(), (std::vector<std::string>{"07-Authentication failure", "Failed"}));

  ClickConnect();
  expectConnected(true);
  EXPECT_EQ(host.reconnectCleared, 2);

  Click("DisconnectButton");
  expectConnected(false);
  EXPECT_FALSE(host.line.Active());
  EXPECT_TRUE(smsc.WaitForDisconnect(std::chrono::seconds(5)));
}

// The window stays usable while the SMSC keeps the login waiting, and
// Disconnect ends the connect without a failure to report.
TEST_F(EMIFormTest, DisconnectEndsAConnectThatWaitsForTheSMSC) {
  Form();
  host.client.RecTimeout = 60000;
  smsc.WithholdAnswers(60);
  Click("ConnectButton");
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return !smsc.Operations(60).empty(); },
                                            std::chrono::seconds(5)));
  EXPECT_TRUE(host.client.Opening());
  EXPECT_FALSE(Find<QPushButton>("ConnectButton")->isEnabled());
  EXPECT_TRUE(Find<QPushButton>("DisconnectButton")->isEnabled());

  Click("DisconnectButton");
  EXPECT_FALSE(host.client.Opening());
  EXPECT_FALSE(host.client.Active());
  EXPECT_FALSE(host.line.Active());
  EXPECT_TRUE(Find<QPushButton>("ConnectButton")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("DisconnectButton")->isEnabled());
  EXPECT_TRUE(smsc.WaitForDisconnect(std::chrono::seconds(5)));
  EXPECT_TRUE(Log1Lines().empty());
}

struct TTransmitRow {
  int Class;
  int Hours;
  bool Delivered, Buffered, NotDelivered;
  int ReplyPath;
  bool Binary;
  const char* Message;  // hex when binary
  const char* MCLs;
  const char* NT;
  const char* RPI;
  const char* MT;
  const char* Msg;
};

TEST_F(EMIFormTest, TransmitSendsWhatTheControlsSayAndLogsTheTimeStamp) {
  Form();
  ClickConnect();
  ASSERT_TRUE(host.client.Active());
  Find<QLineEdit>("PrefixEdit")->setText("+44");
  Find<QLineEdit>("NumberEdit")->setText(" 1632960000 ");
  Find<QSpinBox>("PID")->setValue(64);

  const TTransmitRow rows[] = {
      {0, 0, false, false, false, 0, false, "Hello", "", "0", "", "3", "48656C6C6F"},
      {3, 36, true, false, false, 1, false, "Hi", "2", "1", "1", "3", "4869"},
      {1, 1, false, false, true, 2, true, "0102FF", "0", "2", "2", "4", "0102FF"},
      {4, 0, false, true, false, 0, false, "x", "3", "4", "", "3", "78"},
      {2, 0, true, true, true, 0, false, "x", "1", "7", "", "3", "78"},
  };
  for (const TTransmitRow& row : rows) {
    SCOPED_TRACE(row.Message);
    Find<QComboBox>("MessageClass")->setCurrentIndex(row.Class);
    Find<QSpinBox>("VPH")->setValue(row.Hours);
    Find<QCheckBox>("N_Delivered")->setChecked(row.Delivered);
    Find<QCheckBox>("N_Buffered")->setChecked(row.Buffered);
    Find<QCheckBox>("N_NotDelivered")->setChecked(row.NotDelivered);
    Find<QComboBox>("RPI")->setCurrentIndex(row.ReplyPath);
    Find<QCheckBox>("Binary")->setChecked(row.Binary);
    Find<QLineEdit>(row.Binary ? "MsgHexEdit" : "MsgEdit")->setText(row.Message);
    smsc.ClearRecords();

    const TDateTime sent = NowDateTime();
    Click("Button3");
    ASSERT_TRUE(WaitForLastLine("SCTS: "));
    const auto submits = smsc.Submits();
    ASSERT_EQ(submits.size(), 1u);
    const std::vector<std::string>& f = submits[0].Fields;
    EXPECT_EQ(f[0], "00441632960000");
    EXPECT_EQ(f[3], std::string(row.NT) == "0" ? "0" : "1");
    EXPECT_EQ(f[5], row.NT);
    EXPECT_EQ(f[13], "0064");
    EXPECT_EQ(f[18], row.MT);
    EXPECT_EQ(f[20], row.Msg);
    EXPECT_EQ(f[24], row.MCLs);
    EXPECT_EQ(f[25], row.RPI);
    if (row.Hours == 0) {
      EXPECT_EQ(f[12], "");
    } else {
      // The stamp drops the seconds; allow for them and a slow machine.
      const double ahead = StampToDateTime(f[12]) - sent;
      EXPECT_GT(ahead, row.Hours / 24.0 - 2.0 / 1440);
      EXPECT_LE(ahead, row.Hours / 24.0 + 1.0 / 1440);
    }
    const std::string shown = row.Message;
    const auto lines = Log1Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Submiting \"" + shown + "\" to \"+441632960000\"");
    EXPECT_EQ(lines.back(),
              "SCTS: " + DateTimeText(StampToDateTime(submits[0].SCTS)).toStdString());
  }

  smsc.NakOperation(51, 24, 1);
  Click("Button3");
  ASSERT_TRUE(WaitForLastLine("Failed"));
  auto lines = Log1Lines();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{"24-Message too long", "Failed"}));
  EXPECT_TRUE(boxes.empty());
}

// Each is refused with a box naming the field, before anything is logged or
// sent: a number that would shift the frame's fields, hex that is no hex,
// characters that would go out as "?".
TEST_F(EMIFormTest, TransmitRefusesWhatCannotTravelAsShown) {
  Form();
  ClickConnect();
  ASSERT_TRUE(host.client.Active());
  struct TRow {
    const char* Prefix;
    const char* Number;
    bool Binary;
    QString Message;
    std::string Box;
  };
  const TRow rows[] = {
      {"+44", "  ", false, "Hello", "Phone number is empty"},
      {"", "0612/345", false, "Hello",
       "Phone number may hold only digits, after a leading \"+\" or \"#\": \"0612/345\""},
      {"", "abc12", false, "Hello",
       "Phone number may hold only digits, after a leading \"+\" or \"#\": \"abc12\""},
      {"+44", "16329600001234", false, "Hello",
       "Phone number is longer than the 16 digits of an address: \"+4416329600001234\""},
      {"", "0612", true, "48656C6C6F4ZZ",
       "Message (hex) holds \"Z\" at position 12, which is no hex digit"},
      {"", "0612", true, "486", "Message (hex) has an odd number of digits: each octet takes two"},
      {"", "0612", false, QString::fromUtf8("Grüße €5"),
       "Message holds characters that cannot be sent: €"},
  };
  for (const TRow& r : rows) {
    const auto logged = Log1Lines();
    Find<QLineEdit>("PrefixEdit")->setText(r.Prefix);
    Find<QLineEdit>("NumberEdit")->setText(r.Number);
    Find<QCheckBox>("Binary")->setChecked(r.Binary);
    Find<QLineEdit>(r.Binary ? "MsgHexEdit" : "MsgEdit")->setText(r.Message);
    smsc.ClearRecords();
    boxes.clear();
    Click("Button3");
    EXPECT_EQ(boxes, std::vector<std::string>{r.Box}) << r.Number;
    EXPECT_TRUE(smsc.Received().empty()) << r.Number;
    EXPECT_EQ(Log1Lines(), logged) << r.Number;
    if (r.Binary) {
      EXPECT_FALSE(Find<QLineEdit>("MsgHexEdit")->styleSheet().isEmpty()) << "bad hex shows";
    }
  }

  // Numbers beyond their range are shown as typed and refused.
  Find<QLineEdit>("NumberEdit")->setText("0612");
  for (const auto& [spin, edit, typed, box] :
       {std::tuple{"PID", "Edit1", "300", "PID must be 0 to 255, not 300"},
        std::tuple{"VPH", "Edit2", "5000", "VP (hours) must be 0 to 999, not 5000"}}) {
    Type(edit, typed);
    EXPECT_EQ(Find<QSpinBox>(spin)->value(), QString(typed).toInt()) << spin;
    EXPECT_FALSE(Find<QSpinBox>(spin)->styleSheet().isEmpty()) << spin;
    boxes.clear();
    smsc.ClearRecords();
    Click("Button3");
    EXPECT_EQ(boxes, std::vector<std::string>{box});
    EXPECT_TRUE(smsc.Received().empty());
    Type(edit, "0");
  }

  // An empty message goes only when the user says so.
  std::vector<std::string> asked;
  bool yes = false;
  const TQuestionHandler previous = SetQuestionHandler([&](QWidget*, const QString& aText) {
    asked.push_back(aText.toStdString());
    return yes;
  });
  Find<QLineEdit>("NumberEdit")->setText("0612");
  Find<QCheckBox>("Binary")->setChecked(false);
  Find<QLineEdit>("MsgEdit")->setText("");
  smsc.ClearRecords();
  Click("Button3");
  EXPECT_EQ(asked, std::vector<std::string>{"The message is empty. Send it anyway?"});
  EXPECT_TRUE(smsc.Received().empty());
  yes = true;
  Click("Button3");
  EXPECT_TRUE(main_thread::WaitOnMainThread([&] { return !smsc.Operations(51).empty(); },
                                            std::chrono::seconds(5)));
  SetQuestionHandler(previous);
}

TEST_F(EMIFormTest, CheckConnectionReportsTheKeepAlivesAnswer) {
  Form();
  ClickConnect();
  ASSERT_TRUE(host.client.Active());
  Click("Button4");
  EXPECT_TRUE(WaitForLastLine("Connected"));
  smsc.WithholdAnswers(31);
  Click("Button4");
  EXPECT_TRUE(WaitForLastLine("Disconnected"));
  // The controls follow what the line said.
  EXPECT_FALSE(host.client.Active());
  EXPECT_FALSE(host.line.Active());
  EXPECT_TRUE(Find<QPushButton>("ConnectButton")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>("DisconnectButton")->isEnabled());
  EXPECT_TRUE(Find<QWidget>("Notebook1")->isHidden());
}

}  // namespace
}  // namespace qorvel
