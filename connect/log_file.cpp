#include "connect/log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace qorvel {

namespace {

constexpr char kNullDevice[] = "/dev/null";

}  // namespace

TLogFile::TLogFile(const std::string& aPath) : path_(aPath) {
  do {
    // The log holds the login frame, whose password is only hex-encoded.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) Fail(errno);
  if (path_ == kNullDevice) return;
  // A log made by an older version or by hand may be readable by others;
  // what goes into it now must not be. Only the owner's regular file is
  // narrowed: a device or someone else's file is left as it is.
  struct stat info {};
  if (::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
      (info.st_mode & 077) != 0)
    ::fchmod(fd_, info.st_mode & 0700);
  int rc;
  do {
    rc = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    Fail(error);
  }
}

TLogFile::~TLogFile() {
  // Closing the descriptor releases the lock.
  if (fd_ >= 0) ::close(fd_);
}

void TLogFile::SeekEnd() {
  if (::lseek(fd_, 0, SEEK_END) < 0) Fail(errno);
}

void TLogFile::Write(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void TLogFile::Fail(int error) const {
  throw std::system_error(error, std::generic_category(), path_);
}

}  // namespace qorvel
