#include "ui/emi_form.h"

#include <QPointer>

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>
#include <exception>

#include "config/config.h"
#include "config/settings.h"
#include "connect/errors.h"
#include "emi/codec.h"
#include "emi/frame_decode.h"
#include "emi/text.h"
#include "app/date_text.h"
#include "ui/emi_setup_dlg.h"
#include "ui/history_view.h"
#include "ui/message_box.h"
#include "ui/terminal.h"

namespace qorvel {
namespace {

constexpr char kCaption[] = "Qorvel 1.2";
constexpr char kStatusBarHint[] = "Qorvel 1.2, EMI/UCP client|Click for the program's version";
// 'Submiting "%s" to "%s"', in the pieces around the message and the number.
constexpr const char* kSubmitting[] = {"Submiting \"", "\" to \"", "\""};
constexpr char kSCTS[] = "SCTS: ";
constexpr char kFailed[] = "Failed";
constexpr char kConnected[] = "Connected";
constexpr char kDisconnected[] = "Disconnected";
constexpr char kNumberEmpty[] = "Phone number is empty";


constexpr int kWidth = 381;
constexpr int kHeight = 375;
constexpr int kTextMaxLength = 160;
constexpr int kBinaryMaxLength = 140;

// The notification bits of the protocol's NT field.
constexpr uint8_t kNotifyDelivered = 1;
constexpr uint8_t kNotifyNotDelivered = 2;
constexpr uint8_t kNotifyBuffered = 4;

// Texts are octets, one character each; the controls show them as Latin-1.
QString Shown(std::string_view aOctets) {
  return QString::fromLatin1(aOctets.data(), static_cast<qsizetype>(aOctets.size()));
}

std::string Octets(const QString& aText) {
  const QByteArray bytes = aText.toLatin1();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// The index of the first character that is no hex digit, or -1.
int FirstNonHex(const QString& aText) {
  for (qsizetype i = 0; i < aText.size(); ++i) {
    const char16_t u = aText[i].unicode();
    const bool hex = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'F') || (u >= 'a' && u <= 'f');
    if (!hex) return static_cast<int>(i);
  }
  return -1;
}

// An index read from EMI.INI that the list does not have reads as its first item,
// so that no class or reply path outside the protocol's range can go out.
int ListIndex(int aStored, const QComboBox* aList) {
  return aStored >= 0 && aStored < aList->count() ? aStored : 0;
}

void CutText(QLineEdit* aEdit, int aMaxLength) {
  if (aEdit->text().size() > aMaxLength) aEdit->setText(aEdit->text().left(aMaxLength));
}

// The editable one of the two message edits has the window colour, the
// mirrored one its parent's.
void SetEditable(QLineEdit* aEdit, bool aEditable) {
  aEdit->setReadOnly(!aEditable);
  QPalette palette = aEdit->parentWidget()->palette();
  if (!aEditable) palette.setColor(QPalette::Base, palette.color(QPalette::Window));
  aEdit->setPalette(palette);
}

template <typename T>
T* Named(T* aWidget, const char* aName) {
  aWidget->setObjectName(QLatin1String(aName));
  return aWidget;
}

QLabel* Caption(const char* aName, const QString& aText, QWidget* aBuddy, QWidget* aParent) {
  auto* label = Named(new QLabel(aText, aParent), aName);
  label->setBuddy(aBuddy);
  return label;
}

// The spin boxes take a few digits more than their range, so that a value
// typed beyond it shows as typed (in red) and Transmit can refuse it, rather
// than losing its last digit on the way in.
constexpr int kTypedMax = 99999;
constexpr char kValidMax[] = "validMax";

// An up-down control over its edit; the edit is the spin box's own line edit.
QSpinBox* UpDown(const char* aName, const char* aEditName, int aMax, QWidget* aParent) {
  auto* spin = Named(new QSpinBox(aParent), aName);
  spin->setRange(0, kTypedMax);
  spin->setProperty(kValidMax, aMax);
  spin->setWrapping(false);
  spin->setValue(0);
  if (auto* edit = spin->findChild<QLineEdit*>()) edit->setObjectName(QLatin1String(aEditName));
  QObject::connect(spin, &QSpinBox::valueChanged, spin, [spin, aMax](int aValue) {
    spin->setStyleSheet(aValue > aMax ? QStringLiteral("color: red") : QString());
  });
  return spin;
}

// Why a spin box's value is outside its range, or empty.
QString RangeError(const QString& aCaption, const QSpinBox* aSpin) {
  const int max = aSpin->property(kValidMax).toInt();
  if (aSpin->value() <= max) return {};
  return QObject::tr("%1 must be 0 to %2, not %3").arg(aCaption).arg(max).arg(aSpin->value());
}
}  // namespace

TEMIForm::TEMIForm(IEMIFormHost& aHost, QWidget* aParent) : QMainWindow(aParent), host_(aHost) {
  setObjectName(QStringLiteral("EMIForm"));
  setWindowTitle(QLatin1String(kCaption));
  CreateControls();
  resize(kWidth, kHeight);
  FormCreate();
}

TEMIForm::~TEMIForm() = default;

void TEMIForm::CreateControls() {
  auto* central = new QWidget(this);
  setCentralWidget(central);

  // Left: the two log panes above the message composition, and beside them
  // the decoded frame, collapsed until the user picks a frame in Log2.
  Splitter2 = Named(new QSplitter(Qt::Horizontal, central), "Splitter2");
  Splitter1 = Named(new QSplitter(Qt::Vertical, Splitter2), "Splitter1");
  Log1 = Named(new TTerminal(Splitter1), "Log1");
  Log2 = Named(new TTerminal(Splitter1), "Log2");
  for (TTerminal* log : {Log1, Log2}) {
    log->SetMaxLines(100);
    log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    log->setMinimumHeight(24);
  }
  Splitter1->addWidget(Log1);
  Splitter1->addWidget(Log2);
  Splitter1->setChildrenCollapsible(false);
  Splitter1->setStretchFactor(0, 1);
  Splitter1->setStretchFactor(1, 0);
  Splitter1->setSizes({200, 50});
  DecodedView = Named(new QPlainTextEdit(Splitter2), "DecodedView");
  DecodedView->setReadOnly(true);
  DecodedView->setLineWrapMode(QPlainTextEdit::NoWrap);
  DecodedView->setPlaceholderText(tr("Click a frame in the traffic pane to see its fields"));
  Splitter2->addWidget(Splitter1);
  Splitter2->addWidget(DecodedView);
  Splitter2->setCollapsible(0, false);
  Splitter2->setStretchFactor(0, 1);
  Splitter2->setStretchFactor(1, 0);
  Splitter2->setSizes({1, 0});
  connect(Log2, &QPlainTextEdit::cursorPositionChanged, this, [this] { Log2CursorMoved(); });

  // The traffic first, as the window has always opened; the history reads
  // nothing until its page shows.
  LogPages = Named(new QTabWidget(central), "LogPages");
  LogPages->setDocumentMode(true);
  LogPages->addTab(Splitter2, tr("Traffic"));
  HistoryPage =
      Named(new THistoryView(host_.History(), host_.HistoryEvents(), LogPages), "History");
  LogPages->addTab(HistoryPage, tr("History"));

  Notebook2 = Named(new QStackedWidget(central), "Notebook2");
  Notebook2->addWidget(CreateDefaultPage());
  Notebook2->addWidget(CreateAdvancedPage());
  TabSet1 = Named(new QTabBar(central), "TabSet1");
  TabSet1->setShape(QTabBar::RoundedSouth);
  TabSet1->setDrawBase(false);
  TabSet1->setExpanding(false);
  TabSet1->addTab(tr("&Basic"));
  TabSet1->addTab(tr("&Advanced"));
  connect(TabSet1, &QTabBar::currentChanged, this, [this] { TabSet1Click(); });

  auto* left = new QVBoxLayout;
  left->setSpacing(2);
  left->addWidget(LogPages, 1);
  left->addWidget(Notebook2);
  left->addWidget(TabSet1);

  // Right: the connection commands and, while logged in, the SMS commands.
  ConnectButton = Named(new QPushButton(tr("&Connect"), central), "ConnectButton");
  SetupButton = Named(new QPushButton(tr("&Setup..."), central), "SetupButton");
  DisconnectButton = Named(new QPushButton(tr("Dis&connect"), central), "DisconnectButton");
  connect(ConnectButton, &QPushButton::clicked, this, [this] { ConnectButtonClick(); });
  connect(SetupButton, &QPushButton::clicked, this, [this] { SetupButtonClick(); });
  connect(DisconnectButton, &QPushButton::clicked, this, [this] { DisconnectButtonClick(); });

  Notebook1 = Named(new QStackedWidget(central), "Notebook1");
  SmsPage = Named(new QWidget(Notebook1), "SMS");
  Button3 = Named(new QPushButton(tr("&Transmit"), SmsPage), "Button3");
  Button4 = Named(new QPushButton(tr("C&heck conn."), SmsPage), "Button4");
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  auto* sms = new QVBoxLayout(SmsPage);
  sms->setContentsMargins(0, 6, 0, 0);
  sms->addWidget(Button3);
  sms->addWidget(Button4);
  sms->addStretch();
  Notebook1->addWidget(SmsPage);
  Notebook1->addWidget(Named(new QWidget(Notebook1), "Profile"));

  // One width for the whole column, so that the left side keeps its width
  // when the SMS commands come and go.
  int buttonWidth = 0;
  for (const QPushButton* button : {ConnectButton, SetupButton, DisconnectButton, Button3, Button4})
    buttonWidth = std::max(buttonWidth, button->sizeHint().width());
  for (QPushButton* button : {ConnectButton, SetupButton, DisconnectButton, Button3, Button4})
    button->setFixedWidth(buttonWidth);
  Notebook1->setFixedWidth(buttonWidth);

  auto* right = new QVBoxLayout;
  right->addWidget(ConnectButton);
  right->addWidget(SetupButton);
  right->addWidget(DisconnectButton);
  right->addWidget(Notebook1);
  right->addStretch();

  auto* columns = new QHBoxLayout(central);
  columns->setContentsMargins(4, 4, 4, 2);
  columns->addLayout(left, 1);
  columns->addLayout(right);

  // The status bar: a version line on click, an unused panel, the receive queue.
  StatusBar = Named(new QStatusBar(this), "StatusBar");
  setStatusBar(StatusBar);
  StatusBar->setToolTip(StatusBarHint().section(QLatin1Char('|'), 1));
  const Qt::Alignment alignments[3] = {Qt::AlignLeft, Qt::AlignHCenter, Qt::AlignRight};
  for (int i = 0; i < 3; ++i) {
    auto* panel = new QLabel(StatusBar);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    panel->setAlignment(alignments[i] | Qt::AlignVCenter);
    panel->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    StatusPanels[i] = panel;
  }
  // The first panel takes what the two fixed ones leave, up to 250 pixels.
  StatusPanels[0]->setMinimumWidth(40);
  StatusPanels[0]->setMaximumWidth(250);
  StatusBar->addWidget(StatusPanels[0], 1);
  // The second shows the link's state and grows with its text.
  StatusPanels[1]->setMinimumWidth(80);
  StatusPanels[2]->setFixedWidth(80);
  for (int i = 1; i < 3; ++i) StatusBar->addPermanentWidget(StatusPanels[i]);
  StatusBar->installEventFilter(this);
}

QWidget* TEMIForm::CreateDefaultPage() {
  auto* page = Named(new QWidget, "Default");
  PrefixEdit = Named(new QLineEdit(page), "PrefixEdit");
  NumberEdit = Named(new QLineEdit(page), "NumberEdit");
  MsgEdit = Named(new QLineEdit(page), "MsgEdit");
  MsgHexEdit = Named(new QLineEdit(page), "MsgHexEdit");
  MessageLength = Named(new QLabel(QStringLiteral("0"), page), "MessageLength");
  Binary = Named(new QCheckBox(tr("B&inary (8 bit, max.140 chars)"), page), "Binary");

  PrefixEdit->setMaximumWidth(56);
  MsgEdit->setMaxLength(kTextMaxLength);
  MsgHexEdit->setMaxLength(2 * kTextMaxLength);
  MessageLength->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  MessageLength->setMinimumWidth(
      MessageLength->fontMetrics().horizontalAdvance(QStringLiteral("000")));
  connect(MsgEdit, &QLineEdit::textChanged, this, [this] { MsgEditChange(); });
  connect(MsgHexEdit, &QLineEdit::textChanged, this, [this] { MsgHexEditChange(); });
  connect(Binary, &QCheckBox::toggled, this, [this] { BinaryClick(); });

  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(0, 2, 0, 0);
  grid->setVerticalSpacing(3);
  grid->addWidget(Caption("Label1", tr("&Number"), PrefixEdit, page), 0, 0);
  grid->addWidget(PrefixEdit, 0, 1);
  grid->addWidget(NumberEdit, 0, 2, 1, 2);
  grid->addWidget(Caption("Label3", tr("&Message"), MsgEdit, page), 1, 0);
  grid->addWidget(MsgEdit, 1, 1, 1, 3);
  grid->addWidget(MsgHexEdit, 2, 1, 1, 3);
  grid->addWidget(Binary, 3, 1, 1, 2);
  grid->addWidget(MessageLength, 3, 3);
  grid->setColumnStretch(2, 1);
  grid->setRowStretch(4, 1);
  return page;
}

QWidget* TEMIForm::CreateAdvancedPage() {
  auto* page = Named(new QWidget, "Advanced");
  MessageClass = Named(new QComboBox(page), "MessageClass");
  MessageClass->addItems({tr("default"), tr("0..immediate display"), tr("1..ME-memory equipment"),
                          tr("2..SIM"), tr("3..TE-terminate equipment")});
  MessageClass->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  MessageClass->setMinimumContentsLength(8);
  PID = UpDown("PID", "Edit1", 255, page);
  VPH = UpDown("VPH", "Edit2", 999, page);
  RPI = Named(new QComboBox(page), "RPI");
  RPI->addItems({tr("none"), tr("request"), tr("response")});
  Button1 = Named(new QPushButton(tr("Save"), page), "Button1");
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

  GroupBox1 = Named(new QGroupBox(tr("Notification"), page), "GroupBox1");
  N_Delivered = Named(new QCheckBox(tr("&Delivered"), GroupBox1), "N_Delivered");
  N_Buffered = Named(new QCheckBox(tr("B&uffered"), GroupBox1), "N_Buffered");
  N_NotDelivered = Named(new QCheckBox(tr("N&ot delivered"), GroupBox1), "N_NotDelivered");
  auto* checks = new QVBoxLayout(GroupBox1);
  checks->setContentsMargins(6, 2, 6, 2);
  checks->setSpacing(0);
  checks->addWidget(N_Delivered);
  checks->addWidget(N_Buffered);
  checks->addWidget(N_NotDelivered);

  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(0, 2, 0, 0);
  grid->setVerticalSpacing(3);
  grid->addWidget(Caption("Label2", tr("C&lass"), MessageClass, page), 0, 0);
  grid->addWidget(MessageClass, 0, 1, 1, 2);
  grid->addWidget(Caption("Label4", tr("&PID"), PID, page), 1, 0);
  grid->addWidget(PID, 1, 1);
  grid->addWidget(Caption("VP", tr("&VP (hours)"), VPH, page), 2, 0);
  grid->addWidget(VPH, 2, 1);
  grid->addWidget(Caption("Label5", tr("&Reply path"), RPI, page), 3, 0);
  grid->addWidget(RPI, 3, 1);
  grid->addWidget(GroupBox1, 1, 2, 3, 2);
  grid->addWidget(Button1, 0, 3);
  grid->setColumnStretch(2, 1);
  grid->setRowStretch(4, 1);
  return page;
}

void TEMIForm::Log2CursorMoved() {
  // Log2 puts its caret at the end whenever it shows new traffic; only a
  // line the user went to is decoded.
  if (Log2->Flushing() || !Log2->hasFocus()) return;
  const QString line = Log2->textCursor().block().text();
  if (line == decodedLine_) return;
  decodedLine_ = line;
  const TDecodedFrame frame = DecodeFrame(Octets(line));
  if (!frame.Found) return;
  const std::string text = DecodedText(frame);
  DecodedView->setPlainText(
      QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).trimmed());
  const QList<int> sizes = Splitter2->sizes();
  if (sizes.value(1) == 0) {
    const int total = sizes.value(0) + sizes.value(1);
    Splitter2->setSizes({total - total * 2 / 5, total * 2 / 5});
  }
}

// ---- IEMIFormView -----------------------------------------------------------

ILogView& TEMIForm::StatusLog() {
  return *Log1;
}
ILogView& TEMIForm::TrafficLog() {
  return *Log2;
}

void TEMIForm::UpdateButtons() {
  const bool active = host_.Client().Active();
  // A connect under way, or an automatic reconnection waiting for its next
  // attempt, can be ended with Disconnect.
  const bool connecting = !active && host_.Connecting();
  const bool armed = !active && host_.ReconnectionArmed();
  Notebook1->setVisible(active);
  ConnectButton->setEnabled(!active && !connecting);
  SetupButton->setEnabled(!active && !connecting);
  DisconnectButton->setEnabled(active || connecting || armed);
}

void TEMIForm::ShowLinkState(const std::string& aText) {
  StatusPanels[1]->setText(Shown(aText));
}

void TEMIForm::ShowRxQueueCount(int aCount) {
  StatusPanels[2]->setText(QString::number(aCount));
}

// ---- the message as composed -----------------------------------------------

std::string TEMIForm::GetNumber() const {
  return TrimBlanks(Octets(PrefixEdit->text())) + TrimBlanks(Octets(NumberEdit->text()));
}

std::string TEMIForm::GetMessage() const {
  return Binary->isChecked() ? HexToText(Octets(MsgHexEdit->text())) : Octets(MsgEdit->text());
}

void TEMIForm::CheckNumber() const {
  if (TrimBlanks(Octets(NumberEdit->text())).empty()) throw EEMIError(-1, kNumberEmpty);
  // Whatever else a number holds would shift the fields of the frame.
  if (const char* why = RecipientError(GetNumber(), host_.Client().Params())) {
    const QString shown = PrefixEdit->text().trimmed() + NumberEdit->text().trimmed();
    throw EEMIError(-1, "Phone number " + std::string(why) + ": \"" + Octets(shown.left(40)) +
                            (shown.size() > 40 ? "..." : "") + "\"");
  }
}

QString TEMIForm::MessageError() const {
  for (const QString& why : {RangeError(QStringLiteral("PID"), PID),
                             RangeError(QStringLiteral("VP (hours)"), VPH)})
    if (!why.isEmpty()) return why;
  if (Binary->isChecked()) {
    const QString hex = MsgHexEdit->text();
    if (const int at = FirstNonHex(hex); at >= 0)
      return tr("Message (hex) holds \"%1\" at position %2, which is no hex digit")
          .arg(hex.mid(at, 1))
          .arg(at + 1);
    if (hex.size() % 2 != 0)
      return tr("Message (hex) has an odd number of digits: each octet takes two");
    return {};
  }
  QString unsendable;
  for (QChar c : MsgEdit->text())
    if (c.unicode() > 0xFF && !unsendable.contains(c)) unsendable += c;
  if (!unsendable.isEmpty())
    return tr("Message holds characters that cannot be sent: %1").arg(unsendable);
  return {};
}

QString TEMIForm::StatusBarHint() const {
  return QLatin1String(kStatusBarHint);
}

// ---- handlers ---------------------------------------------------------------

void TEMIForm::FormCreate() {
  setMinimumSize(size());
  Notebook1->setCurrentWidget(SmsPage);
  UpdateButtons();
  LoadMessageSettings();
  TabSet1Click();
  BinaryClick();
}

void TEMIForm::LoadMessageSettings() {
  using namespace settings;
  const TIniFile& ini = host_.Settings();
  PrefixEdit->setText(Shown(Read(ini, kPhonePrefix)));
  NumberEdit->setText(Shown(Read(ini, kPhoneNumber)));
  const bool binary = Read(ini, kBinary);
  Binary->setChecked(binary);
  const std::string message = Read(ini, kMessage);
  if (binary)
    MsgHexEdit->setText(Shown(message));
  else
    MsgEdit->setText(Shown(HexToText(message)));
  MessageClass->setCurrentIndex(ListIndex(Read(ini, kClass), MessageClass));
  RPI->setCurrentIndex(ListIndex(Read(ini, kRPI), RPI));
  PID->setValue(Read(ini, kPID));
  VPH->setValue(Read(ini, kVPHours));
  N_Delivered->setChecked(Read(ini, kNotificationDelivered));
  N_Buffered->setChecked(Read(ini, kNotificationBuffered));
  N_NotDelivered->setChecked(Read(ini, kNotificationNotDelivered));
}

void TEMIForm::SaveMessageSettings() {
  using namespace settings;
  TIniFile ini = host_.Settings();
  const bool binary = Binary->isChecked();
  Write(ini, kPhonePrefix, Octets(PrefixEdit->text()));
  Write(ini, kPhoneNumber, Octets(NumberEdit->text()));
  Write(ini, kBinary, binary);
  Write(ini, kMessage, binary ? Octets(MsgHexEdit->text()) : TextToHex(Octets(MsgEdit->text())));
  Write(ini, kClass, MessageClass->currentIndex());
  Write(ini, kRPI, RPI->currentIndex());
  Write(ini, kPID, PID->value());
  Write(ini, kVPHours, VPH->value());
  Write(ini, kNotificationDelivered, N_Delivered->isChecked());
  Write(ini, kNotificationBuffered, N_Buffered->isChecked());
  Write(ini, kNotificationNotDelivered, N_NotDelivered->isChecked());
}

void TEMIForm::ConnectButtonClick() {
  host_.ClearReconnectPending();
  // The answer comes later; the window may be gone by then.
  host_.StartConnect([window = QPointer<TEMIForm>(this)](std::exception_ptr aFailure) {
    if (window.isNull() || !aFailure) return;
    try {
      std::rethrow_exception(aFailure);
    } catch (const EOpenCancelled&) {
    } catch (const std::exception& e) {
      window->AddStatus(e.what());
      window->AddStatus(kFailed);
    }
  });
}

void TEMIForm::DisconnectButtonClick() {
  try {
    host_.Disconnect();
  } catch (const std::exception& e) {
    ShowMessage(this, Shown(e.what()));
  }
}

void TEMIForm::SetupButtonClick() {
  try {
    using namespace settings;
    TIniFile ini = host_.Settings();
    TEMISetupDlg dialog(this);
    dialog.Address->setText(Shown(Read(ini, kIP)));
    dialog.Port->setText(Shown(Read(ini, kPortText)));
    dialog.User->setText(Shown(Read(ini, kUser)));
    dialog.Password->setText(Shown(ScramblePassword(Read(ini, kPassword))));
    dialog.ReconnectTimeout->setText(Shown(Read(ini, kReconnectTimeoutShown)));
    if (dialog.exec() != QDialog::Accepted) return;

    const int reconnectTimeout = dialog.ReconnectTimeoutValue();
    Write(ini, kIP, Octets(dialog.Address->text()));
    Write(ini, kPortText, Octets(dialog.Port->text()));
    Write(ini, kUser, Octets(dialog.User->text()));
    Write(ini, kPassword, ScramblePassword(Octets(dialog.Password->text())));
    Write(ini, kReconnectTimeoutStored, reconnectTimeout);
  } catch (const std::exception& e) {
    ShowMessage(this, Shown(e.what()));
  }
}

void TEMIForm::StatusBarClick() {
  StatusPanels[0]->setText(StatusBarHint().section(QLatin1Char('|'), 0, 0));
}

void TEMIForm::Button1Click() {
  try {
    SaveMessageSettings();
  } catch (const std::exception& e) {
    ShowMessage(this, Shown(e.what()));
  }
}

void TEMIForm::Button3Click() {
  try {
    CheckNumber();
  } catch (const std::exception& e) {
    ShowMessage(this, Shown(e.what()));
    return;
  }
  if (const QString why = MessageError(); !why.isEmpty()) {
    ShowMessage(this, why);
    return;
  }
  if ((Binary->isChecked() ? MsgHexEdit : MsgEdit)->text().isEmpty() &&
      !AskQuestion(this, tr("The message is empty. Send it anyway?")))
    return;
  int64_t historyId = 0;
  try {
    const bool binary = Binary->isChecked();
    const std::string message = GetMessage();
    const std::string number = GetNumber();
    std::string line = kSubmitting[0];
    line += binary ? TextToHex(message) : message;
    line += kSubmitting[1];
    line += number;
    line += kSubmitting[2];
    AddStatus(line);
    const uint8_t nt = (N_Delivered->isChecked() ? kNotifyDelivered : 0) |
                       (N_NotDelivered->isChecked() ? kNotifyNotDelivered : 0) |
                       (N_Buffered->isChecked() ? kNotifyBuffered : 0);
    // "default" is item 0 and means no class: 255 as an octet.
    const auto classes = static_cast<uint8_t>(MessageClass->currentIndex() - 1);
    TSubmitItem item;
    item.DA = number;
    item.Msg = message;
    item.Binary = binary;
    item.MCLs = classes;
    item.PID = static_cast<uint8_t>(PID->value());
    item.NT = nt;
    item.RPI = static_cast<uint8_t>(RPI->currentIndex());
    item.VP = VPH->value() / 24.0;
    historyId = host_.RecordWindowSubmit(item);
    // The answer comes later; the window may be gone by then, the
    // supervisor not.
    host_.Client().StartSubmit(
        item.DA, item.Msg, item.Binary, item.MCLs, item.PID, item.NT, item.RPI, item.VP,
        [window = QPointer<TEMIForm>(this), host = &host_, historyId](
            const TOperationResult& aResult, TDateTime aSCTS) {
          host->RecordSubmit(historyId, aResult.Ack(), aSCTS,
                             aResult.Ack() ? std::string() : aResult.ErrorText(), aResult.TRN);
          if (window.isNull()) return;
          if (!aResult.Ack()) {
            window->AddStatus(aResult.ErrorText());
            window->AddStatus(kFailed);
            return;
          }
          std::string stamp = kSCTS;
          stamp += DateTimeOctets(aSCTS);
          window->AddStatus(stamp);
        });
  } catch (const std::exception& e) {
    if (historyId != 0) host_.RecordSubmit(historyId, false, 0, e.what(), -1);
    AddStatus(e.what());
    AddStatus(kFailed);
  }
}

void TEMIForm::Button4Click() {
  host_.Client().StartCheckAlive([window = QPointer<TEMIForm>(this)](bool aAlive) {
    if (window.isNull()) return;
    window->AddStatus(aAlive ? kConnected : kDisconnected);
    // The buttons and the Transmit page follow what the line said.
    if (!aAlive) window->DisconnectButtonClick();
  });
}

void TEMIForm::MsgEditChange() {
  MessageLength->setText(QString::number(MsgEdit->text().size()));
  if (!Binary->isChecked()) MsgHexEdit->setText(Shown(TextToHex(Octets(MsgEdit->text()))));
}

void TEMIForm::MsgHexEditChange() {
  if (!Binary->isChecked()) return;
  // A text that is no hex keeps the last good message on show.
  const QString hex = MsgHexEdit->text();
  const int bad = FirstNonHex(hex);
  // Where the hex goes wrong is shown at once; Transmit refuses it.
  MsgHexEdit->setStyleSheet(bad >= 0 || hex.size() % 2 != 0 ? QStringLiteral("color: red")
                                                            : QString());
  MsgHexEdit->setToolTip(bad >= 0              ? tr("No hex digit at position %1").arg(bad + 1)
                         : hex.size() % 2 != 0 ? tr("An odd number of hex digits")
                                               : QString());
  if (bad < 0) MsgEdit->setText(Shown(HexToText(Octets(hex))));
}

void TEMIForm::BinaryClick() {
  const bool binary = Binary->isChecked();
  SetEditable(MsgHexEdit, binary);
  SetEditable(MsgEdit, !binary);
  const int maxLength = binary ? kBinaryMaxLength : kTextMaxLength;
  CutText(MsgEdit, maxLength);
  CutText(MsgHexEdit, 2 * maxLength);
  MsgEdit->setMaxLength(maxLength);
  MsgHexEdit->setMaxLength(2 * maxLength);
  // Back to text: the hex edit shows again what would go out, even after an
  // odd or broken hex text.
  if (!binary) MsgHexEdit->setText(Shown(TextToHex(Octets(MsgEdit->text()))));
}

void TEMIForm::TabSet1Click() {
  Notebook2->setCurrentIndex(TabSet1->currentIndex());
}

bool TEMIForm::eventFilter(QObject* aWatched, QEvent* aEvent) {
  if (aWatched == StatusBar && aEvent->type() == QEvent::MouseButtonRelease) StatusBarClick();
  return QMainWindow::eventFilter(aWatched, aEvent);
}

void TEMIForm::AddStatus(std::string_view aLine) {
  Log1->AddLine(aLine);
}

}  // namespace qorvel
