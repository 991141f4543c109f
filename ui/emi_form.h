#pragma once
// TEMIForm, the main window: the user connects and disconnects, edits the
// connection setup, composes one short message at a time, transmits it and
// checks the connection, and reads the supervisor's status lines (Log1) and
// the EMI traffic (Log2); the frame on the Log2 line the user picks shows
// field by field beside them (DecodedView). A second page beside the log
// panes shows the message history (LogPages: "Traffic", "History"). The last
// message and its options are kept in EMI.INI, written only by "Save".
//
// Main thread only. The window uses the supervisor's engine, transport and
// job timer (IEMIFormHost), which must outlive it; it calls the engine itself
// and keeps the job timer stopped meanwhile, so those calls block the main
// thread until the SMSC answers (the engine still receives meanwhile). The
// controls are owned by the window and named as the handlers below refer to
// them, so that tests and automation can find them by object name.
#include <QMainWindow>
#include <string>

#include "app/emi_form_host.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QSplitter;
class QStackedWidget;
class QStatusBar;
class QTabBar;
class QTabWidget;

namespace qorvel {

class THistoryView;
class TTerminal;

class TEMIForm : public QMainWindow, public IEMIFormView {
  Q_OBJECT

 public:
  // Builds the controls and runs FormCreate (reads EMI.INI).
  explicit TEMIForm(IEMIFormHost& aHost, QWidget* aParent = nullptr);
  ~TEMIForm() override;

  // IEMIFormView
  ILogView& StatusLog() override;
  ILogView& TrafficLog() override;
  void UpdateButtons() override;
  void ShowRxQueueCount(int aCount) override;
  void ShowLinkState(const std::string& aText) override;

  // The prefix and the number, each without surrounding blanks.
  std::string GetNumber() const;
  // The message as it goes out: the octets of the hex text when binary,
  // otherwise the text.
  std::string GetMessage() const;
  // EEMIError -1 "Phone number is empty" when the number (not the prefix) is blank.
  void CheckNumber() const;
  // Why the message as the controls hold it cannot be sent as it is shown,
  // or empty.
  QString MessageError() const;

  // The text the status bar's first panel shows when clicked: a short part,
  // "|", and a longer one.
  QString StatusBarHint() const;

  // Handlers; each reports its own failures and never throws.
  void FormCreate();
  void ConnectButtonClick();
  void DisconnectButtonClick();
  void SetupButtonClick();
  void StatusBarClick();
  void Button1Click();
  void Button3Click();
  void Button4Click();
  void MsgEditChange();
  void MsgHexEditChange();
  void BinaryClick();
  void TabSet1Click();

 protected:
  bool eventFilter(QObject* aWatched, QEvent* aEvent) override;

 private:
  void CreateControls();
  QWidget* CreateDefaultPage();
  QWidget* CreateAdvancedPage();
  void LoadMessageSettings();
  void SaveMessageSettings();
  void AddStatus(std::string_view aLine);
  // Shows the frame of the Log2 line the user put the caret on.
  void Log2CursorMoved();

  IEMIFormHost& host_;

  QStatusBar* StatusBar = nullptr;
  QLabel* StatusPanels[3] = {};
  QSplitter* Splitter2 = nullptr;
  QSplitter* Splitter1 = nullptr;
  TTerminal* Log1 = nullptr;
  TTerminal* Log2 = nullptr;
  QPlainTextEdit* DecodedView = nullptr;
  QTabWidget* LogPages = nullptr;
  THistoryView* HistoryPage = nullptr;
  // The Log2 line last decoded: moving within it decodes nothing anew.
  QString decodedLine_;
  QTabBar* TabSet1 = nullptr;
  QStackedWidget* Notebook2 = nullptr;
  QLineEdit* PrefixEdit = nullptr;
  QLineEdit* NumberEdit = nullptr;
  QLineEdit* MsgEdit = nullptr;
  QLabel* MessageLength = nullptr;
  QLineEdit* MsgHexEdit = nullptr;
  QCheckBox* Binary = nullptr;
  QComboBox* MessageClass = nullptr;
  QSpinBox* PID = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QCheckBox* N_Delivered = nullptr;
  QCheckBox* N_Buffered = nullptr;
  QCheckBox* N_NotDelivered = nullptr;
  QSpinBox* VPH = nullptr;
  QPushButton* Button1 = nullptr;
  QComboBox* RPI = nullptr;
  QPushButton* ConnectButton = nullptr;
  QPushButton* SetupButton = nullptr;
  QPushButton* DisconnectButton = nullptr;
  QStackedWidget* Notebook1 = nullptr;
  QWidget* SmsPage = nullptr;
  QPushButton* Button3 = nullptr;
  QPushButton* Button4 = nullptr;
};

}  // namespace qorvel
