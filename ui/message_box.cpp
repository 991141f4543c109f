#include "ui/message_box.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <utility>

namespace qorvel {
namespace {

TMessageBoxHandler& Handler() {
  static TMessageBoxHandler handler;
  return handler;
}

}  // namespace

void ShowMessage(QWidget* aParent, const QString& aText) {
  if (Handler()) {
    Handler()(aParent, aText);
    return;
  }
  QMessageBox::critical(aParent, QGuiApplication::applicationDisplayName(), aText);
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler aHandler) {
  return std::exchange(Handler(), std::move(aHandler));
}

namespace {

TQuestionHandler& Question() {
  static TQuestionHandler handler;
  return handler;
}

}  // namespace

bool AskQuestion(QWidget* aParent, const QString& aText) {
  if (Question()) return Question()(aParent, aText);
  return QMessageBox::question(aParent, QGuiApplication::applicationDisplayName(), aText) ==
         QMessageBox::Yes;
}

TQuestionHandler SetQuestionHandler(TQuestionHandler aHandler) {
  return std::exchange(Question(), std::move(aHandler));
}

}  // namespace qorvel
