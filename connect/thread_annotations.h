#pragma once
// Clang's thread-safety analysis (-Wthread-safety); empty elsewhere.

#if defined(__clang__)
#define QORVEL_TSA(x) __attribute__((x))
#else
#define QORVEL_TSA(x)
#endif

#define CAPABILITY(x) QORVEL_TSA(capability(x))
#define SCOPED_CAPABILITY QORVEL_TSA(scoped_lockable)
#define GUARDED_BY(x) QORVEL_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) QORVEL_TSA(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QORVEL_TSA(acquired_before(__VA_ARGS__))
#define REQUIRES(...) QORVEL_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QORVEL_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QORVEL_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QORVEL_TSA(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QORVEL_TSA(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS QORVEL_TSA(no_thread_safety_analysis)

#include <mutex>

namespace qorvel {

// std::mutex with the annotations the analysis needs.
class CAPABILITY("mutex") TMutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  std::mutex& native() { return m_; }

 private:
  std::mutex m_;
};

class SCOPED_CAPABILITY TLockGuard {
 public:
  explicit TLockGuard(TMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~TLockGuard() RELEASE() { m_.unlock(); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  TMutex& m_;
};

}  // namespace qorvel
