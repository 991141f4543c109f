#pragma once
// The few POSIX socket calls the simulator needs, with the descriptor owned
// by an object. Every call retries on EINTR; failures of set-up raise
// std::system_error, failures on an established connection are results.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace qorvel {

// Owns one descriptor; closes it on destruction. Movable, not copyable.
class TFileDescriptor {
 public:
  TFileDescriptor() = default;
  explicit TFileDescriptor(int fd) : fd_(fd) {}
  ~TFileDescriptor() { Reset(); }
  TFileDescriptor(TFileDescriptor&& other) noexcept : fd_(other.Release()) {}
  TFileDescriptor& operator=(TFileDescriptor&& other) noexcept;
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A TCP socket listening on aAddress (dotted IPv4) and aPort; port 0 lets the
// system choose. Raises std::system_error when the address cannot be bound.
TFileDescriptor ListenTcp(const std::string& aAddress, uint16_t aPort);
// The port a bound socket listens on.
uint16_t BoundPort(int fd);
// Accepts one pending connection; an invalid descriptor when there is none.
TFileDescriptor AcceptConnection(int listenFd);

enum class TWriteResult { Done, WouldBlock, Failed };
// Writes as much of aBytes as the socket takes without blocking (MSG_NOSIGNAL,
// MSG_DONTWAIT) and removes it from aBytes: Done when all went, WouldBlock
// when the rest must wait for the socket to drain, Failed when the peer is gone.
TWriteResult WriteSome(int fd, std::string& aBytes);

enum class TReadResult { Data, Closed, Failed };
// One recv() of up to aMax bytes, appended to aOut.
TReadResult ReadSome(int fd, std::string& aOut, std::size_t aMax = 65536);

// A self-pipe: Notify() from any thread makes ReadFd() readable.
class TWakePipe {
 public:
  TWakePipe();
  int ReadFd() const { return read_.Get(); }
  void Notify();
  void Drain();

 private:
  TFileDescriptor read_, write_;
};

}  // namespace qorvel
