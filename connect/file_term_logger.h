#pragma once
// A file logger that also shows every written text in a log view.
//
// The view is not owned and must outlive the logger (or be unset first). It
// is called under the logger's lock and only queues the text. Terminal and
// TermChar are set on the main thread while nobody logs.
#include "connect/file_logger.h"
#include "connect/log_view.h"

namespace qorvel {

class TFileTermLogger : public TFileLogger {
 public:
  explicit TFileTermLogger(TComponent* aOwner = nullptr);

  ILogView* Terminal() const { return terminal_; }
  void SetTerminal(ILogView* aTerminal) { terminal_ = aTerminal; }
  // True: the view gets the text as a character stream; false: as one line
  // of its own (unless lfAutoCR makes the text end its own lines).
  bool TermChar() const { return termChar_; }
  void SetTermChar(bool value) { termChar_ = value; }

 protected:
  void WriteText(const std::string& aText) override REQUIRES(lock_);

 private:
  ILogView* terminal_ = nullptr;
  bool termChar_ = false;
};

}  // namespace qorvel
