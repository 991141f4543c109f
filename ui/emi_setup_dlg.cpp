#include "ui/emi_setup_dlg.h"

#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "config/ini_file.h"
#include "emi/text.h"
#include "ui/message_box.h"

namespace qorvel {
namespace {

template <typename T>
T* Named(T* aWidget, const char* aName) {
  aWidget->setObjectName(QLatin1String(aName));
  return aWidget;
}

}  // namespace

TEMISetupDlg::TEMISetupDlg(QWidget* aParent)
    : QDialog(aParent),
      Bevel1(Named(new QFrame(this), "Bevel1")),
      Address(Named(new QLineEdit(Bevel1), "Address")),
      Port(Named(new QLineEdit(Bevel1), "Port")),
      User(Named(new QLineEdit(Bevel1), "User")),
      Password(Named(new QLineEdit(Bevel1), "Password")),
      ReconnectTimeout(Named(new QLineEdit(Bevel1), "ReconnectTimeout")),
      OKBtn(Named(new QPushButton(tr("OK"), this), "OKBtn")),
      CancelBtn(Named(new QPushButton(tr("Cancel"), this), "CancelBtn")) {
  setObjectName(QStringLiteral("EMISetupDlg"));
  setWindowTitle(tr("Qorvel setup"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  Bevel1->setFrameShape(QFrame::Box);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Password->setEchoMode(QLineEdit::Password);
  // The style's own mask character differs between styles; users expect "*".
  Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));

  auto* fields = new QGridLayout(Bevel1);
  fields->setColumnStretch(1, 1);
  const std::pair<const char*, QLineEdit*> rows[] = {{"IP", Address},
                                                     {"Port", Port},
                                                     {"User", User},
                                                     {"Password", Password},
                                                     {"Reconect timeout (sec)", ReconnectTimeout}};
  int n = 0;
  for (const auto& [caption, edit] : rows) {
    auto* label = new QLabel(tr(caption), Bevel1);
    label->setObjectName(QStringLiteral("Label%1").arg(++n));
    label->setBuddy(edit);
    // The long caption takes two lines rather than the edits' width.
    label->setWordWrap(true);
    label->setMaximumWidth(110);
    fields->addWidget(label, n - 1, 0);
    fields->addWidget(edit, n - 1, 1);
  }

  OKBtn->setDefault(true);
  connect(OKBtn, &QPushButton::clicked, this, &TEMISetupDlg::accept);
  connect(CancelBtn, &QPushButton::clicked, this, &TEMISetupDlg::reject);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Bevel1);
  layout->addStretch();
  layout->addLayout(buttons);

  setFixedSize(242, 236);
  if (const QScreen* screen = aParent ? aParent->screen() : QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
}

bool TEMISetupDlg::ReadTimeout(const QString& aText, int& aValue, QString& aError) {
  const std::string text = TrimBlanks(aText.toLatin1().toStdString());
  // Two different defaults tell "no number" from a number equal to the default.
  const int value = IniTextToInt(text, 0);
  if (value == 0 && IniTextToInt(text, 1) == 1) {
    aError = tr("'%1' is not a valid integer value").arg(aText);
    return false;
  }
  aValue = value;
  return true;
}

int TEMISetupDlg::ReconnectTimeoutValue() const {
  int value = 0;
  QString error;
  ReadTimeout(ReconnectTimeout->text(), value, error);
  return value;
}

void TEMISetupDlg::accept() {
  int value = 0;
  QString error;
  if (!ReadTimeout(ReconnectTimeout->text(), value, error)) {
    ShowMessage(this, error);
    ReconnectTimeout->setFocus();
    ReconnectTimeout->selectAll();
    return;
  }
  // A port that is no number would connect to port 0.
  bool number = false;
  const int port = Port->text().trimmed().toInt(&number);
  if (!number || port < 1 || port > 65535) {
    ShowMessage(this, tr("Port '%1' is not a number from 1 to 65535").arg(Port->text()));
    Port->setFocus();
    Port->selectAll();
    return;
  }
  QDialog::accept();
}

}  // namespace qorvel
