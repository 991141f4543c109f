#pragma once
// TEMISetupDlg: the connection settings (address, port, account, password and
// the pause between reconnection attempts) as the user edits them. The dialog
// only holds the texts; the main window reads and writes EMI.INI around it.
//
// Main thread only. The controls are owned by the dialog.
#include <QDialog>

class QFrame;
class QLineEdit;
class QPushButton;

namespace qorvel {

class TEMISetupDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TEMISetupDlg(QWidget* aParent = nullptr);

  QFrame* const Bevel1;
  QLineEdit* const Address;
  QLineEdit* const Port;
  QLineEdit* const User;
  QLineEdit* const Password;
  QLineEdit* const ReconnectTimeout;
  QPushButton* const OKBtn;
  QPushButton* const CancelBtn;

  // The integer the ReconnectTimeout edit holds. Valid once the dialog has
  // closed with OK.
  int ReconnectTimeoutValue() const;

  // False, with the conversion error in aError, when aText is no integer.
  static bool ReadTimeout(const QString& aText, int& aValue, QString& aError);

  // Closes with OK only when the time-out is an integer; otherwise the user
  // sees why and the dialog stays open, so nothing gets half saved.
  void accept() override;
};

}  // namespace qorvel
