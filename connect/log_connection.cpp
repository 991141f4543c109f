#include "connect/log_connection.h"

#include "connect/logger.h"

namespace qorvel {

TLogConnection::TLogConnection(TComponent* aOwner) : TConnection(aOwner) {}

void TLogConnection::Log(std::uint8_t aChannel, const std::string& aText) {
  std::string text = aText;
  DoFormatLog(aChannel, text);
  if (logger_) logger_->WriteLog(logName_, aChannel, text);
}

void TLogConnection::DoFormatLog(std::uint8_t aChannel, std::string& aText) {
  if (OnFormatLog) OnFormatLog(this, aChannel, aText);
}

}  // namespace qorvel
