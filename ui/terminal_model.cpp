#include "ui/terminal_model.h"

#include <utility>

namespace qorvel {

void TTerminalModel::AddLine(std::string_view aText) {
  {
    TLockGuard guard(lock_);
    pendingLines_.emplace_back(aText);
  }
  if (wakeUp_) wakeUp_();
}

void TTerminalModel::AddChars(std::string_view aText) {
  {
    TLockGuard guard(lock_);
    pendingChars_.append(aText);
  }
  if (wakeUp_) wakeUp_();
}

bool TTerminalModel::HasPending() const {
  TLockGuard guard(lock_);
  return !pendingLines_.empty() || !pendingChars_.empty();
}

TTerminalModel::TFlushResult TTerminalModel::Flush(TLines aCurrent) {
  TFlushResult result;
  TLines& work = result.lines;
  work = std::move(aCurrent);

  for (;;) {
    TLines taken;
    {
      TLockGuard guard(lock_);
      taken.swap(pendingLines_);
    }
    if (taken.empty()) break;
    for (std::string& line : taken) work.push_back(std::move(line));
    column_ = 0;
    afterLines_ = true;
  }

  const size_t keep = maxLines_ > 0 ? static_cast<size_t>(maxLines_) : 0;
  if (work.size() > keep) work.erase(work.begin(), work.end() - static_cast<ptrdiff_t>(keep));

  std::string chars;
  {
    TLockGuard guard(lock_);
    chars = pendingChars_;
  }
  if (!chars.empty()) {
    if (afterLines_) {
      work.emplace_back();
      column_ = 0;
    }
    afterLines_ = false;
    for (char ch : chars) ProcessChar(ch, work);
    TLockGuard guard(lock_);
    pendingChars_.erase(0, chars.size());
  }

  result.caretLine = work.empty() ? 0 : static_cast<int>(work.size()) - 1;
  result.caretColumn = column_;
  return result;
}

void TTerminalModel::ProcessChar(char ch, TLines& lines) {
  if (lines.empty()) lines.emplace_back();
  std::string& last = lines.back();
  switch (ch) {
    case '\b':
      if (column_ > 0) --column_;
      break;
    case '\n':
      lines.emplace_back(static_cast<size_t>(column_), ' ');
      break;
    case '\r':
      column_ = 0;
      break;
    default: {
      const size_t at = static_cast<size_t>(column_);
      if (last.size() < at + 1) last.resize(at + 1, ' ');
      last[at] = ch;
      ++column_;
      break;
    }
  }
}

}  // namespace qorvel
