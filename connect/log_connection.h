#pragma once
// A connection that hands its text lines, tagged with its LogName and a
// channel, to a logger.
//
// Log may be called from any thread; the logger serialises the writing.
// Logger, LogName and OnFormatLog are set on the main thread while nothing
// logs. The logger is not owned and must outlive the connection.
#include <cstdint>
#include <functional>
#include <string>

#include "connect/connection.h"

namespace qorvel {

class TLogger;

using TFormatLogEvent =
    std::function<void(TComponent* Sender, std::uint8_t aChannel, std::string& aText)>;

class TLogConnection : public TConnection {
 public:
  explicit TLogConnection(TComponent* aOwner = nullptr);

  TLogger* Logger() const { return logger_; }
  void SetLogger(TLogger* aLogger) { logger_ = aLogger; }
  const std::string& LogName() const { return logName_; }
  void SetLogName(std::string aLogName) { logName_ = std::move(aLogName); }

  // Lets DoFormatLog rewrite a copy of the text, then hands it to the logger,
  // which decides whether it is written. Without a logger the text is dropped.
  void Log(std::uint8_t aChannel, const std::string& aText);

  TFormatLogEvent OnFormatLog;

 protected:
  virtual void DoFormatLog(std::uint8_t aChannel, std::string& aText);

 private:
  TLogger* logger_ = nullptr;
  std::string logName_;
};

}  // namespace qorvel
