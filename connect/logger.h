#pragma once
// The abstract logger: a connection whose open state is its log output.
// Concrete loggers supply the formatting and the writing.
//
// WriteLog may be called from any thread; the logger's lock makes the
// temporary open, the formatting, the writing and the restored open state of
// one text atomic with respect to other texts. The lock is re-entrant, so an
// open or close event of the logger may log through the same logger.
// Setters and the events are for the main thread, while nobody logs.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "connect/connection.h"
#include "connect/thread_annotations.h"

namespace qorvel {

using TAcceptChannelEvent = std::function<void(TComponent* Sender, const std::string& aLogName,
                                               std::uint8_t aChannel, bool& aAccept)>;

class CAPABILITY("mutex") TRecursiveMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }

 private:
  std::recursive_mutex m_;
};

class SCOPED_CAPABILITY TRecursiveGuard {
 public:
  explicit TRecursiveGuard(TRecursiveMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~TRecursiveGuard() RELEASE() { m_.unlock(); }
  TRecursiveGuard(const TRecursiveGuard&) = delete;
  TRecursiveGuard& operator=(const TRecursiveGuard&) = delete;

 private:
  TRecursiveMutex& m_;
};

class TLogger : public TConnection {
 public:
  explicit TLogger(TComponent* aOwner = nullptr);

  // Writes one text unless the logger is closed without AutoOpen or the
  // AcceptChannel filter refuses it (the filter runs before the lock). A
  // closed logger is opened for the text and closed again afterwards.
  // Failures of opening, formatting or writing reach the caller, with the
  // open state restored.
  void WriteLog(const std::string& aLogName, std::uint8_t aChannel, const std::string& aText)
      EXCLUDES(lock_);

  bool AutoOpen() const { return autoOpen_.load(); }
  // "Connection is active" while open.
  void SetAutoOpen(bool value);

  TAcceptChannelEvent AcceptChannel;

 protected:
  virtual void WriteText(const std::string& aText) REQUIRES(lock_) = 0;
  virtual void FormatText(const std::string& aLogName, std::uint8_t aChannel,
                          const std::string& aText, std::string& aResult) REQUIRES(lock_) = 0;

  // Serialises formatting and writing; descendants may take it around their
  // own use of the output.
  TRecursiveMutex lock_;

 private:
  std::atomic<bool> autoOpen_{false};
};

}  // namespace qorvel
