#pragma once
// A stream logger whose stream is the file LogFile, opened for appending with
// other writers excluded (see TLogFile). The name "NUL" (any case) is the
// null device; an empty name means no log file: texts are taken and dropped.
//
// Threads: as TStreamLogger. SetLogFile is for the main thread; it takes the
// logger's lock, so it may come while another thread writes to an open logger.
#include <string>

#include "connect/stream_logger.h"

namespace qorvel {

class TFileLogger : public TStreamLogger {
 public:
  explicit TFileLogger(TComponent* aOwner = nullptr);
  ~TFileLogger() override;

  std::string LogFile() const;
  // An open logger closes its file without the close events and opens the
  // new one (with the open events); an empty name leaves it closed. Failing
  // to open the new file reaches the caller, the logger closed.
  void SetLogFile(const std::string& aLogFile) EXCLUDES(lock_);

 protected:
  void DoOpen() override;
  void DoClose() override;

 private:
  std::string logFile_ GUARDED_BY(lock_);
};

}  // namespace qorvel
