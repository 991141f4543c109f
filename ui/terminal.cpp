#include "ui/terminal.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

namespace qorvel {

namespace {

QString ToDisplay(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
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
  model_.AddLine(aText);
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
  setUpdatesEnabled(true);
  ensureCursorVisible();
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
