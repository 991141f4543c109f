#pragma once
// A read-only text view for log output that scrolls to the newest text,
// unwrapped unless the user asks (its context menu: Copy, Select all, Clear,
// Save as..., Wrap lines, Show times). Producers on any thread hand it whole lines or a teletype-like
// character stream; its companion thread has the main thread redraw it in
// batches, keeping at most MaxLines lines. Octets are shown one character
// each (as Latin-1); nothing else is converted.
//
// Created, used as a widget and destroyed on the main thread. AddLine,
// AddPair and AddChars may be called from any thread while the view exists;
// the free functions of the same names also accept a null view and then do
// nothing.
#include <QPlainTextEdit>
#include <QString>
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "connect/log_view.h"
#include "ui/terminal_model.h"
#include "ui/terminal_thread.h"

namespace qorvel {

class TTerminal : public QPlainTextEdit, public ILogView {
  Q_OBJECT
  Q_PROPERTY(int MaxLines READ MaxLines WRITE SetMaxLines)

 public:
  explicit TTerminal(QWidget* aParent = nullptr);
  ~TTerminal() override;

  // A line longer than kMaxShownLine shows its start and its length.
  void AddLine(std::string_view aText) override;
  static constexpr std::size_t kMaxShownLine = 2000;
  void AddChars(std::string_view aText) override;
  // A line "caption: text".
  void AddPair(std::string_view aCaption, std::string_view aText);

  int MaxLines() const { return model_.MaxLines(); }
  void SetMaxLines(int aValue) { model_.SetMaxLines(aValue); }

  // Shows what is pending. Main thread; the companion thread calls it.
  void Flush();
  // True while Flush() rewrites the text and puts the caret at the end: a
  // caret move then is the log following its output, not the user's choice.
  bool Flushing() const { return flushing_; }

  // Lines added from now on begin with the time they were added
  // ("hh:mm:ss.zzz "). Off by default. Any thread.
  bool ShowTimes() const { return showTimes_.load(); }
  void SetShowTimes(bool aOn) { showTimes_ = aOn; }
  bool WrapLines() const { return lineWrapMode() != QPlainTextEdit::NoWrap; }
  void SetWrapLines(bool aOn);
  // Writes what the view shows, as Latin-1 octets; false when the file
  // cannot be written. Main thread.
  bool SaveTo(const QString& aPath) const;

 protected:
  void contextMenuEvent(QContextMenuEvent* aEvent) override;

 protected:
  // One character of the stream applied to `lines`; the stream's column is
  // the view's own.
  virtual void ProcessChar(char ch, std::vector<std::string>& lines);

 private:
  class TModel : public TTerminalModel {
   public:
    TModel(TTerminal& aOwner, std::function<void()> aWakeUp)
        : TTerminalModel(std::move(aWakeUp)), owner_(aOwner) {}
    void ProcessChar(char ch, TLines& lines) override { owner_.ProcessChar(ch, lines); }
    void BaseProcessChar(char ch, TLines& lines) { TTerminalModel::ProcessChar(ch, lines); }

   private:
    TTerminal& owner_;
  };

  std::vector<std::string> CurrentLines() const;

  TModel model_;
  // The lines last put into the control, and the control's raw text then;
  // the raw text tells whether anyone changed the control since.
  std::vector<std::string> shown_;
  QString shownRaw_;
  std::atomic<bool> showTimes_{false};
  bool flushing_ = false;
  std::unique_ptr<TTerminalThread> thread_;
};

void AddLine(TTerminal* aTerminal, std::string_view aText);
void AddPair(TTerminal* aTerminal, std::string_view aCaption, std::string_view aText);
void AddChars(TTerminal* aTerminal, std::string_view aText);

}  // namespace qorvel
