#include "connect/application.h"

#include <cstdio>
#include <utility>

#include "connect/thread_annotations.h"

namespace qorvel {

namespace {

void WriteToStderr(const std::exception& aError) {
  std::fprintf(stderr, "%s\n", aError.what());
  std::fflush(stderr);
}

struct TApplicationState {
  TMutex lock;
  std::string title GUARDED_BY(lock) = "Qorvel";
  TErrorDisplay display GUARDED_BY(lock);
};

// Built on first use, so a static initialiser elsewhere may already call in.
TApplicationState& State() {
  static TApplicationState state;
  return state;
}

}  // namespace

std::string ApplicationTitle() {
  TApplicationState& state = State();
  TLockGuard guard(state.lock);
  return state.title;
}

void SetApplicationTitle(std::string aTitle) {
  TApplicationState& state = State();
  TLockGuard guard(state.lock);
  state.title = std::move(aTitle);
}

void SetErrorDisplay(TErrorDisplay aDisplay) {
  TApplicationState& state = State();
  TLockGuard guard(state.lock);
  state.display = std::move(aDisplay);
}

void ShowException(const std::exception& aError) noexcept {
  TErrorDisplay display;
  {
    TApplicationState& state = State();
    TLockGuard guard(state.lock);
    display = state.display;
  }
  try {
    if (display) {
      display(aError);
    } else {
      WriteToStderr(aError);
    }
  } catch (...) {
    // The error must still be seen somewhere.
    WriteToStderr(aError);
  }
}

}  // namespace qorvel
