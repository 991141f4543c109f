#include "connect/file_logger.h"

#include <strings.h>

#include "connect/log_file.h"

namespace qorvel {

namespace {

// Where the texts go when no log file is named: nowhere, without failing,
// while a log view still shows them.
class TNoLogFile : public TLogStream {
 public:
  void SeekEnd() override {}
  void Write(std::string_view) override {}
};

std::string FilePath(const std::string& aLogFile) {
  if (strcasecmp(aLogFile.c_str(), "NUL") == 0) return "/dev/null";
  return aLogFile;
}

}  // namespace

TFileLogger::TFileLogger(TComponent* aOwner) : TStreamLogger(aOwner) {}

TFileLogger::~TFileLogger() {
  CloseForDestruction();
}

std::string TFileLogger::LogFile() const {
  TRecursiveGuard guard(const_cast<TRecursiveMutex&>(lock_));
  return logFile_;
}

void TFileLogger::SetLogFile(const std::string& aLogFile) {
  TRecursiveGuard guard(lock_);
  if (Loading()) {
    logFile_ = aLogFile;
    return;
  }
  if (aLogFile == logFile_) return;
  const bool wasActive = Active();
  if (wasActive) {
    stream_.reset();
    MarkClosed();
  }
  logFile_ = aLogFile;
  if (!logFile_.empty()) SetActive(wasActive);
}

void TFileLogger::DoOpen() {
  {
    TRecursiveGuard guard(lock_);
    if (logFile_.empty()) {
      stream_ = std::make_unique<TNoLogFile>();
    } else {
      stream_ = std::make_unique<TLogFile>(FilePath(logFile_));
    }
  }
  TStreamLogger::DoOpen();
}

void TFileLogger::DoClose() {
  TRecursiveGuard guard(lock_);
  stream_.reset();
}

}  // namespace qorvel
