#include "connect/application.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "connect/errors.h"

namespace qorvel {
namespace {

class ApplicationTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetErrorDisplay(nullptr);
    SetApplicationTitle("Qorvel");
  }
};

TEST_F(ApplicationTest, TitleIsQorvelUntilTheProgramSetsAnother) {
  EXPECT_EQ(ApplicationTitle(), "Qorvel");
  SetApplicationTitle("Other");
  EXPECT_EQ(ApplicationTitle(), "Other");
}

TEST_F(ApplicationTest, ErrorsGoToStderrUntilADisplayIsSet) {
  testing::internal::CaptureStderr();
  ShowException(EConnectError("Connection is inactive"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Connection is inactive\n");

  std::vector<std::string> shown;
  SetErrorDisplay([&shown](const std::exception& error) { shown.push_back(error.what()); });
  testing::internal::CaptureStderr();
  ShowException(std::runtime_error("first"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(shown, std::vector<std::string>{"first"});

  SetErrorDisplay(nullptr);
  testing::internal::CaptureStderr();
  ShowException(std::runtime_error("second"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "second\n");
  EXPECT_EQ(shown.size(), 1u);
}

TEST_F(ApplicationTest, AFailingDisplayStillLeavesTheErrorOnStderr) {
  SetErrorDisplay([](const std::exception&) { throw std::runtime_error("display broke"); });
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(ShowException(std::runtime_error("the error")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "the error\n");
}

}  // namespace
}  // namespace qorvel
