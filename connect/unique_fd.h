#pragma once
// Owns one file descriptor and closes it when it goes: move-only, so that a
// descriptor has exactly one owner. Any thread, one at a time.
#include <unistd.h>

#include <utility>

namespace qorvel {

class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int aFd) : fd_(aFd) {}
  ~TUniqueFd() { Reset(); }
  TUniqueFd(TUniqueFd&& aOther) noexcept : fd_(aOther.Release()) {}
  TUniqueFd& operator=(TUniqueFd&& aOther) noexcept {
    if (this != &aOther) {
      Reset();
      fd_ = aOther.Release();
    }
    return *this;
  }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;

  // -1 when it owns none.
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Hands the descriptor over; this object then owns none.
  int Release() { return std::exchange(fd_, -1); }
  // Closes it now, ignoring the outcome.
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes it now; false (errno set) when the close failed, as a late write
  // error on a file makes it. Either way the descriptor is gone.
  bool Close() { return fd_ < 0 || ::close(Release()) == 0; }

 private:
  int fd_ = -1;
};

}  // namespace qorvel
