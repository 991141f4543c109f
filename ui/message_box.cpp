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

}  // namespace qorvel
