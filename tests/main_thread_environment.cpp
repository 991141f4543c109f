// The core test programs run their tests on the thread that runs
// RUN_ALL_TESTS; make it the main thread before the first test, as the
// program entry does for the GUI thread.
#include <gtest/gtest.h>

#include "connect/main_thread.h"

namespace {

class TMainThreadEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { qorvel::main_thread::SetMainThread(); }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new TMainThreadEnvironment);

}  // namespace
