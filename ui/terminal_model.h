#pragma once
// What a terminal log view shows, apart from the widget that shows it: the
// text that producers hand in (whole lines, and a teletype-like character
// stream) and how a flush folds it into the shown lines.
//
// Threads: AddLine and AddChars may be called from any thread; they touch only
// the pending stores, under the lock, and then call the wake-up. Everything
// else (Flush, ProcessChar, MaxLines, Column) belongs to the one thread that
// owns the view.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "connect/thread_annotations.h"

namespace qorvel {

class TTerminalModel {
 public:
  using TLines = std::vector<std::string>;

  struct TFlushResult {
    TLines lines;
    // Where the caret goes: the last line, at the stream's column.
    int caretLine = 0;
    int caretColumn = 0;
  };

  // `aWakeUp` runs after every addition, on the adding thread, outside the lock.
  explicit TTerminalModel(std::function<void()> aWakeUp = {}) : wakeUp_(std::move(aWakeUp)) {}
  virtual ~TTerminalModel() = default;
  TTerminalModel(const TTerminalModel&) = delete;
  TTerminalModel& operator=(const TTerminalModel&) = delete;

  void AddLine(std::string_view aText) EXCLUDES(lock_);
  void AddChars(std::string_view aText) EXCLUDES(lock_);

  // Folds everything pending into `aCurrent` (the lines shown now): whole
  // lines first, then the characters, which never continue a whole line.
  // Characters added while it runs stay pending for the next flush.
  TFlushResult Flush(TLines aCurrent) EXCLUDES(lock_);

  // Applies one character of the stream to `aLines`: BS moves the column
  // back, LF starts a line of column spaces, CR goes to column 0, anything
  // else overwrites the character at the column and moves on.
  virtual void ProcessChar(char ch, TLines& lines);

  int MaxLines() const { return maxLines_; }
  void SetMaxLines(int aValue) { maxLines_ = aValue; }
  int Column() const { return column_; }

  bool HasPending() const EXCLUDES(lock_);

 private:
  std::function<void()> wakeUp_;
  int column_ = 0;
  int maxLines_ = 100;
  bool afterLines_ = false;
  mutable TMutex lock_;
  TLines pendingLines_ GUARDED_BY(lock_);
  std::string pendingChars_ GUARDED_BY(lock_);
};

}  // namespace qorvel
