#pragma once
// Background threads (readers, workers) run one step below normal so that the
// main thread, which draws the windows, wins when the machine is busy.

namespace qorvel {

// Lowers the calling thread (only it, not the process) by one nice step;
// does nothing where the system refuses.
void LowerCurrentThreadPriority();

}  // namespace qorvel
