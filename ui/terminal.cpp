#include "ui/terminal.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QFileDialog>
#include <QMenu>
#include <QScrollBar>
#include <QMessageBox>
#include <QTime>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace qorvel {

namespace {

QString ToDisplay(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string TimePrefix() {
  return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz ")).toStdString();
}

}  // namespace

TTerminal::TTerminal(QWidget* aParent)
    : QPlainTextEdit(aParent), model_(*this, [this] {
        if (thread_) thread_->Wake();
      }) {
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  shownRaw_ = document()->toRawText();
  // Created last: the model's wake-up reaches it, and producers only get the
  // view once construction is over.
  thread_ = std::make_unique<TTerminalThread>([this] { Flush(); });
}

TTerminal::~TTerminal() {
  // Stopped while the control still exists: a flush already handed to the
  // main thread runs on a complete view. The thread object itself stays so
  // that a late wake-up finds it.
  thread_->Stop();
}

void TTerminal::AddLine(std::string_view aText) {
  // A line is shown cut with its length beyond this: every redraw of the
  // pane costs what the pane holds.
  std::string line = showTimes_.load() ? TimePrefix() : std::string();
  if (aText.size() > kMaxShownLine) {
    line.append(aText.substr(0, kMaxShownLine))
        .append("... (")
        .append(std::to_string(aText.size()))
        .append(" characters)");
  } else {
    line.append(aText);
  }
  model_.AddLine(line);
}

void TTerminal::AddChars(std::string_view aText) {
  model_.AddChars(aText);
}

void TTerminal::AddPair(std::string_view aCaption, std::string_view aText) {
  std::string line;
  line.reserve(aCaption.size() + aText.size() + 2);
  line.append(aCaption).append(": ").append(aText);
  AddLine(line);
}

void TTerminal::ProcessChar(char ch, std::vector<std::string>& lines) {
  model_.BaseProcessChar(ch, lines);
  if (ch == '\n' && showTimes_.load())
    for (char t : TimePrefix()) model_.BaseProcessChar(t, lines);
}

void TTerminal::SetWrapLines(bool aOn) {
  setLineWrapMode(aOn ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

bool TTerminal::SaveTo(const QString& aPath) const {
  QFile file(aPath);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
  const QByteArray octets = toPlainText().toLatin1() + '\n';
  return file.write(octets) == octets.size() && file.flush();
}

void TTerminal::contextMenuEvent(QContextMenuEvent* aEvent) {
  QMenu menu(this);
  QAction* copy = menu.addAction(tr("&Copy"), this, &QPlainTextEdit::copy);
  copy->setEnabled(textCursor().hasSelection());
  menu.addAction(tr("Select &all"), this, &QPlainTextEdit::selectAll);
  menu.addAction(tr("C&lear"), this, [this] { clear(); });
  menu.addAction(tr("&Save as..."), this, [this] {
    const QString path = QFileDialog::getSaveFileName(this, tr("Save as"));
    if (!path.isEmpty() && !SaveTo(path))
      QMessageBox::warning(this, tr("Save as"), tr("Cannot write %1").arg(path));
  });
  menu.addSeparator();
  QAction* wrap = menu.addAction(tr("&Wrap lines"), this, [this](bool aOn) { SetWrapLines(aOn); });
  wrap->setCheckable(true);
  wrap->setChecked(WrapLines());
  QAction* times = menu.addAction(tr("Show &times"), this, [this](bool aOn) { SetShowTimes(aOn); });
  times->setCheckable(true);
  times->setChecked(ShowTimes());
  menu.exec(aEvent->globalPos());
}

std::vector<std::string> TTerminal::CurrentLines() const {
  if (document()->toRawText() == shownRaw_) return shown_;
  // Someone else set the control's text: take it as it stands.
  std::vector<std::string> lines;
  const QString text = toPlainText();
  if (text.isEmpty()) return lines;
  for (const QString& line : text.split(QLatin1Char('\n'))) {
    QByteArray octets = line.toLatin1();
    lines.emplace_back(octets.constData(), static_cast<size_t>(octets.size()));
  }
  return lines;
}

void TTerminal::Flush() {
  TTerminalModel::TFlushResult result = model_.Flush(CurrentLines());

  flushing_ = true;
  setUpdatesEnabled(false);
  if (result.lines != shown_ || document()->toRawText() != shownRaw_) {
    QString text;
    for (size_t i = 0; i < result.lines.size(); ++i) {
      if (i > 0) text += QLatin1Char('\n');
      text += ToDisplay(result.lines[i]);
    }
    setPlainText(text);
    shown_ = std::move(result.lines);
    shownRaw_ = document()->toRawText();
  }
  const QTextBlock last = document()->lastBlock();
  const int column = std::min(result.caretColumn, std::max(0, last.length() - 1));
  const int caret = last.position() + column;
  QTextCursor cursor = textCursor();
  if (cursor.position() != caret || cursor.hasSelection()) {
    cursor.setPosition(caret);
    setTextCursor(cursor);
  }
  flushing_ = false;
  setUpdatesEnabled(true);
  ensureCursorVisible();
  // The newest line from its start, unless its end would then be out of
  // sight: one long frame must not hide the start of every later line.
  QScrollBar* sideways = horizontalScrollBar();
  const int caretX = cursorRect().left() + sideways->value();
  if (sideways->value() != 0 && caretX < viewport()->width()) sideways->setValue(0);
}

void AddLine(TTerminal* aTerminal, std::string_view aText) {
  if (aTerminal != nullptr) aTerminal->AddLine(aText);
}

void AddPair(TTerminal* aTerminal, std::string_view aCaption, std::string_view aText) {
  if (aTerminal != nullptr) aTerminal->AddPair(aCaption, aText);
}

void AddChars(TTerminal* aTerminal, std::string_view aText) {
  if (aTerminal != nullptr) aTerminal->AddChars(aText);
}

}  // namespace qorvel
