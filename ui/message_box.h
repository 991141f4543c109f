#pragma once
// The modal message box through which the windows report a failure to the
// user. A real box waits for someone to answer it, so tests put a function of
// their own in its place that records the text and returns at once.
//
// Main thread only.
#include <QString>
#include <functional>

class QWidget;

namespace qorvel {

using TMessageBoxHandler = std::function<void(QWidget* aParent, const QString& aText)>;

// Shows aText in a modal error box over aParent and returns once it is closed.
void ShowMessage(QWidget* aParent, const QString& aText);

// Puts aHandler in place of the real box and returns the one it replaces; an
// empty handler brings the real box back.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler aHandler);

// Asks aText as a modal Yes/No question over aParent; true for Yes.
bool AskQuestion(QWidget* aParent, const QString& aText);

// The answer in place of the real question, as SetMessageBoxHandler.
using TQuestionHandler = std::function<bool(QWidget* aParent, const QString& aText)>;
TQuestionHandler SetQuestionHandler(TQuestionHandler aHandler);

}  // namespace qorvel
