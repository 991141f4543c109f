#include "connect/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace qorvel {

void LowerCurrentThreadPriority() {
  // On Linux a thread id names that thread alone for the nice value.
  const id_t self = static_cast<id_t>(::gettid());
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, self);
  if (errno == 0) ::setpriority(PRIO_PROCESS, self, current + 1);
}

}  // namespace qorvel
