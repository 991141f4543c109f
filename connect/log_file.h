#pragma once
// A log file opened for appending, created empty and readable by its owner
// only when missing. While the
// object lives it holds an exclusive flock on the file, so a second writer
// (in this or another process) is refused; readers are not affected. The null
// device is shared and never locked.
//
// Failures are std::system_error with the system's error and the path.
#include <string>
#include <string_view>

#include "connect/log_stream.h"

namespace qorvel {

class TLogFile : public TLogStream {
 public:
  explicit TLogFile(const std::string& aPath);
  ~TLogFile() override;
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  void SeekEnd() override;
  void Write(std::string_view data) override;

 private:
  [[noreturn]] void Fail(int error) const;

  std::string path_;
  int fd_ = -1;
};

}  // namespace qorvel
