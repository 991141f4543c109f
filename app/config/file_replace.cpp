#include "app/config/file_replace.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qorvel {

namespace {

class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  ~TFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int get() const { return fd_; }
  // Closes now so that a failing close (a late write error) is seen.
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file that a write must replace: the target of a symbolic link, else
// the path itself.
std::string ResolveTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  }
  return path;
}

}  // namespace

TFileRead ReadWholeFile(const std::string& aPath, std::string& aContent) {
  aContent.clear();
  int raw;
  do {
    raw = ::open(aPath.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return errno == ENOENT ? TFileRead::Missing : TFileRead::Failed;
  TFd fd(raw);
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      aContent.clear();
      return TFileRead::Failed;
    }
    if (n == 0) return TFileRead::Ok;
    aContent.append(buffer, static_cast<size_t>(n));
  }
}

bool ReplaceWholeFile(const std::string& aPath, const std::string& aContent) {
  const std::string target = ResolveTarget(aPath);
  const std::string directory = DirectoryOf(target);
  size_t slash = target.rfind('/');
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = directory + "/." + base + ".XXXXXX";

  struct stat old;
  bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) {
    errno = EISDIR;
    return false;
  }

  // mkstemp creates the file with mode 0600 whatever the umask.
  TFd fd(::mkstemps(temp.data(), 0));
  if (fd.get() < 0) return false;
  auto fail = [&temp] {
    int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return false;
  };
  if (exists) {
    if (::fchmod(fd.get(), old.st_mode & 07777) != 0) return fail();
    // Only a privileged process may hand the file to its old owner; otherwise
    // the replacement belongs to the writer, as any newly written file would.
    [[maybe_unused]] int kept = ::fchown(fd.get(), old.st_uid, old.st_gid);
  }
  if (!WriteAll(fd.get(), aContent)) return fail();
  if (::fsync(fd.get()) != 0) return fail();
  if (!fd.Close()) return fail();
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail();

  // Make the rename itself durable; the new content is complete either way.
  int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace qorvel
