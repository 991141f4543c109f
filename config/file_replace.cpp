#include "config/file_replace.h"

#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "connect/unique_fd.h"

namespace qorvel {

namespace {

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

bool InGroup(gid_t gid) {
  if (gid == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = ::getgroups(count, groups.data());
  for (int i = 0; i < got; ++i) {
    if (groups[static_cast<size_t>(i)] == gid) return true;
  }
  return false;
}

bool PermitsWriting(const struct stat& st) {
  if (st.st_uid == ::geteuid()) return (st.st_mode & S_IWUSR) != 0;
  if (InGroup(st.st_gid)) return (st.st_mode & S_IWGRP) != 0;
  return (st.st_mode & S_IWOTH) != 0;
}

// The new content written over the old in the file itself: for a folder
// where no temporary file can be made. Not safe against a crash halfway, but
// the only way to save there at all.
bool WriteInPlace(const std::string& target, const std::string& content, mode_t narrowTo) {
  int raw;
  do {
    raw = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return false;
  TUniqueFd fd(raw);
  if (narrowTo != 0 && ::fchmod(fd.Get(), narrowTo) != 0) return false;
  if (!WriteAll(fd.Get(), content)) return false;
  if (::ftruncate(fd.Get(), static_cast<off_t>(content.size())) != 0) return false;
  if (::fsync(fd.Get()) != 0) return false;
  return fd.Close();
}

}  // namespace

bool MayWrite(const std::string& aPath) {
  struct stat st;
  return ::stat(aPath.c_str(), &st) == 0 && PermitsWriting(st);
}

TFileRead ReadWholeFile(const std::string& aPath, std::string& aContent) {
  aContent.clear();
  int raw;
  do {
    raw = ::open(aPath.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return errno == ENOENT ? TFileRead::Missing : TFileRead::Failed;
  TUniqueFd fd(raw);
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      aContent.clear();
      return TFileRead::Failed;
    }
    if (n == 0) return TFileRead::Ok;
    aContent.append(buffer, static_cast<size_t>(n));
  }
}

bool ReplaceWholeFile(const std::string& aPath, const std::string& aContent, bool aPrivate) {
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
  // A rename needs only the folder's permission; a file marked read-only must
  // still not change, for a privileged writer too.
  if (exists && !PermitsWriting(old)) {
    errno = EACCES;
    return false;
  }
  mode_t mode = exists ? (old.st_mode & 07777) : 0600;
  if (aPrivate) mode &= ~static_cast<mode_t>(S_IRWXG | S_IRWXO);
  const mode_t narrowTo = exists && mode != (old.st_mode & 07777) ? mode : 0;

  struct stat folder;
  const bool folderWritable = ::stat(directory.c_str(), &folder) == 0 && PermitsWriting(folder);
  if (!folderWritable) {
    if (!exists) {
      errno = EACCES;
      return false;
    }
    return WriteInPlace(target, aContent, narrowTo);
  }

  // mkstemp creates the file with mode 0600 whatever the umask.
  TUniqueFd fd(::mkstemps(temp.data(), 0));
  if (fd.Get() < 0) {
    if (exists && (errno == EACCES || errno == EPERM)) {
      return WriteInPlace(target, aContent, narrowTo);
    }
    return false;
  }
  auto fail = [&temp] {
    int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return false;
  };
  if (exists) {
    if (::fchmod(fd.Get(), mode) != 0) return fail();
    // Only a privileged process may hand the file to its old owner; otherwise
    // the replacement belongs to the writer, as any newly written file would.
    [[maybe_unused]] int kept = ::fchown(fd.Get(), old.st_uid, old.st_gid);
  }
  if (!WriteAll(fd.Get(), aContent)) return fail();
  if (::fsync(fd.Get()) != 0) return fail();
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
