#include "connect/file_term_logger.h"

namespace qorvel {

TFileTermLogger::TFileTermLogger(TComponent* aOwner) : TFileLogger(aOwner) {}

void TFileTermLogger::WriteText(const std::string& aText) {
  if (terminal_) {
    if (termChar_ || LogFlags().Contains(lfAutoCR))
      terminal_->AddChars(aText);
    else
      terminal_->AddLine(aText);
  }
  TFileLogger::WriteText(aText);
}

}  // namespace qorvel
