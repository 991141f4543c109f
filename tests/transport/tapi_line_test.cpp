#include "transport/tapi_line.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "connect/application.h"
#include "connect/errors.h"
#include "transport/tapi_errors.h"
#include "transport/tapi_service.h"

namespace qorvel {
namespace {

using Journal = std::vector<std::string>;

constexpr HLINEAPP kLineApp = 0x1234;

// Succeeds unless told otherwise and keeps the callback it was given.
class TFakeTAPIService : public TTAPIService {
 public:
  explicit TFakeTAPIService(Journal& journal) : journal_(journal) {}

  int32_t initializeResult = 0;
  int32_t shutdownResult = 0;
  LINECALLBACK callback = nullptr;
  std::string appName;
  HLINEAPP shutDownApp = 0;
  int initialized = 0;
  int shutDown = 0;

  int32_t Initialize(HLINEAPP* lphLineApp, void*, LINECALLBACK lpfnCallback,
                     const char* lpszAppName, uint32_t* lpdwNumDevs) override {
    journal_.push_back("lineInitialize");
    ++initialized;
    callback = lpfnCallback;
    appName = lpszAppName ? lpszAppName : "";
    if (initializeResult < 0) return initializeResult;
    *lphLineApp = kLineApp;
    *lpdwNumDevs = 3;
    return initializeResult;
  }
  int32_t Shutdown(HLINEAPP hLineApp) override {
    journal_.push_back("lineShutdown");
    ++shutDown;
    shutDownApp = hLineApp;
    return shutdownResult;
  }

 private:
  Journal& journal_;
};

class TRecordingLineObject : public TTAPILineObject {
 public:
  TRecordingLineObject(std::string name, uint32_t instance, Journal& journal)
      : TTAPILineObject(instance), name_(std::move(name)), journal_(journal) {}
  ~TRecordingLineObject() override { journal_.push_back("~" + name_); }

  std::function<void()> onCallback;

  void HandleCallback(uint32_t aDevice, uint32_t aMessage, uint32_t aParam1, uint32_t aParam2,
                      uint32_t aParam3) override {
    journal_.push_back(name_ + ":" + std::to_string(aDevice) + "," + std::to_string(aMessage) +
                       "," + std::to_string(aParam1) + "," + std::to_string(aParam2) + "," +
                       std::to_string(aParam3));
    if (onCallback) onCallback();
  }

 private:
  std::string name_;
  Journal& journal_;
};

void RecordEvents(TTAPILine& line, Journal& journal) {
  line.BeforeOpen = [&journal](TConnection*) { journal.push_back("BeforeOpen"); };
  line.AfterOpen = [&journal](TConnection*) { journal.push_back("AfterOpen"); };
  line.BeforeClose = [&journal](TConnection*) { journal.push_back("BeforeClose"); };
  line.AfterClose = [&journal](TConnection*) { journal.push_back("AfterClose"); };
}

class TAPILineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorDisplay([this](const std::exception& error) { shown.push_back(error.what()); });
  }
  void TearDown() override {
    TTAPILine* global = TAPILine();
    global->OnHandleCallback = nullptr;
    while (!global_.empty()) {
      global->DeleteLineObject(global_.back());
      global_.pop_back();
    }
    EXPECT_EQ(global->LineObjectCount(), 0);
    global->Close();
    SetTAPIService(nullptr);
    SetErrorDisplay(nullptr);
    SetApplicationTitle("Qorvel");
  }
  void UseFake() { SetTAPIService(&fake); }
  TRecordingLineObject* AddToGlobal(const std::string& name, uint32_t instance) {
    global_.push_back(static_cast<TRecordingLineObject*>(TAPILine()->AddLineObject(
        std::make_unique<TRecordingLineObject>(name, instance, journal))));
    return global_.back();
  }
  // For an object that the test deleted itself.
  void Forget(TTAPILineObject* object) { std::erase(global_, object); }
  // Opens the global line through the fake and returns the callback it gave.
  LINECALLBACK OpenGlobal() {
    UseFake();
    TAPILine()->Open();
    journal.clear();
    return fake.callback;
  }

  Journal journal;
  std::vector<std::string> shown;
  TFakeTAPIService fake{journal};

 private:
  std::vector<TRecordingLineObject*> global_;
};

TEST_F(TAPILineTest, WithoutTelephonyOpeningFailsWithNoDriverAndLeavesTheLineClosed) {
  TTAPILine line;
  RecordEvents(line, journal);
  try {
    line.Open();
    ADD_FAILURE() << "no ETAPIError";
  } catch (const ETAPIError& error) {
    EXPECT_STREQ(error.what(), "TAPI error: LINEERR_NODRIVER");
  }
  EXPECT_FALSE(line.Active());
  EXPECT_EQ(journal, Journal{"BeforeOpen"});
  // Closing a line that never opened asks nothing of the service.
  EXPECT_NO_THROW(line.Close());
}

TEST_F(TAPILineTest, OpensAndClosesThroughTheService) {
  UseFake();
  SetApplicationTitle("Line test");
  TTAPILine line;
  RecordEvents(line, journal);
  line.Open();
  EXPECT_TRUE(line.Active());
  EXPECT_EQ(line.LineApp(), kLineApp);
  EXPECT_EQ(line.LineDeviceCount(), 3u);
  EXPECT_EQ(fake.appName, "Line test");
  EXPECT_EQ(fake.callback, &TAPILineCallback);
  line.Close();
  EXPECT_FALSE(line.Active());
  EXPECT_EQ(fake.shutDownApp, kLineApp);
  EXPECT_EQ(line.LineApp(), 0u);
  EXPECT_EQ(line.LineDeviceCount(), 0u);
  EXPECT_EQ(journal, (Journal{"BeforeOpen", "lineInitialize", "AfterOpen", "BeforeClose",
                              "lineShutdown", "AfterClose"}));
}

TEST_F(TAPILineTest, AFailingInitializeLeavesTheLineClosedWithItsOwnError) {
  UseFake();
  fake.initializeResult = static_cast<int32_t>(0x80000044u);
  TTAPILine line;
  RecordEvents(line, journal);
  try {
    line.Open();
    ADD_FAILURE() << "no ETAPIError";
  } catch (const ETAPIError& error) {
    EXPECT_STREQ(error.what(), "TAPI error: LINEERR_NOMEM");
  }
  EXPECT_FALSE(line.Active());
  // The service was never initialised, so the close step leaves it alone.
  EXPECT_EQ(fake.shutDown, 0);
  EXPECT_EQ(journal, (Journal{"BeforeOpen", "lineInitialize"}));
  // A later attempt may succeed.
  fake.initializeResult = 0;
  line.Open();
  EXPECT_TRUE(line.Active());
}

TEST_F(TAPILineTest, ARefusedShutdownKeepsTheLineOpenUntilAShutdownSucceeds) {
  UseFake();
  TTAPILine line;
  line.Open();
  fake.shutdownResult = static_cast<int32_t>(0x80000048u);
  EXPECT_THROW(line.Close(), ETAPIError);
  EXPECT_TRUE(line.Active());
  fake.shutdownResult = 0;
  line.Close();
  EXPECT_FALSE(line.Active());
  EXPECT_EQ(fake.shutDown, 2);
}

TEST_F(TAPILineTest, DestructionReleasesLineObjectsLastToFirstThenShutsDown) {
  UseFake();
  {
    TTAPILine line;
    for (const char* name : {"a", "b", "c"}) {
      line.AddLineObject(std::make_unique<TRecordingLineObject>(name, 1, journal));
    }
    line.Open();
    RecordEvents(line, journal);
    journal.clear();
  }
  // Destruction closes without the close events.
  EXPECT_EQ(journal, (Journal{"~c", "~b", "~a", "lineShutdown"}));
}

TEST_F(TAPILineTest, KeepConnectionLeavesTheServiceInitialisedAtDestruction) {
  UseFake();
  {
    TTAPILine line;
    line.KeepConnection = true;
    line.AddLineObject(std::make_unique<TRecordingLineObject>("a", 1, journal));
    line.Open();
    journal.clear();
  }
  EXPECT_EQ(journal, Journal{"~a"});
  EXPECT_EQ(fake.shutDown, 0);
  // A closed line with KeepConnection has nothing to keep either way.
  { TTAPILine line; }
  EXPECT_EQ(fake.shutDown, 0);
}

TEST_F(TAPILineTest, DeletingALineObjectDestroysOnlyThatOne) {
  TTAPILine line;
  auto* a = line.AddLineObject(std::make_unique<TRecordingLineObject>("a", 1, journal));
  line.AddLineObject(std::make_unique<TRecordingLineObject>("b", 1, journal));
  EXPECT_EQ(line.LineObjectCount(), 2);
  line.DeleteLineObject(a);
  EXPECT_EQ(journal, Journal{"~a"});
  EXPECT_EQ(line.LineObjectCount(), 1);
  TRecordingLineObject stranger("x", 1, journal);
  line.DeleteLineObject(&stranger);
  EXPECT_EQ(line.LineObjectCount(), 1);
}

TEST_F(TAPILineTest, TheGlobalLineExistsFromTheStartInactiveAndWithoutOwner) {
  TTAPILine* global = TAPILine();
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(global, TAPILine());
  EXPECT_FALSE(global->Active());
  EXPECT_EQ(global->Owner(), nullptr);
  EXPECT_FALSE(global->KeepConnection);
}

TEST_F(TAPILineTest, RoutedMessagesReachExactlyTheObjectsOfTheirInstanceInListOrder) {
  LINECALLBACK callback = OpenGlobal();
  ASSERT_NE(callback, nullptr);
  AddToGlobal("a", 7);
  AddToGlobal("b", 8);
  AddToGlobal("c", 7);
  TAPILine()->OnHandleCallback = [this](TTAPILine* sender, uint32_t device, uint32_t message,
                                        uint32_t instance, uint32_t p1, uint32_t p2, uint32_t p3) {
    EXPECT_EQ(sender, TAPILine());
    journal.push_back("On:" + std::to_string(device) + "," + std::to_string(message) + "," +
                      std::to_string(instance) + "," + std::to_string(p1) + "," +
                      std::to_string(p2) + "," + std::to_string(p3));
  };
  for (uint32_t message = 0; message <= 30; ++message) {
    SCOPED_TRACE(message);
    journal.clear();
    callback(5, message, 7, 100, 200, 300);
    const std::string m = std::to_string(message);
    Journal expected = {"On:5," + m + ",7,100,200,300"};
    const bool routed =
        message <= 3 || (message >= 6 && message <= 12) || (message >= 21 && message <= 24);
    if (routed) {
      expected.push_back("a:5," + m + ",100,200,300");
      expected.push_back("c:5," + m + ",100,200,300");
    }
    EXPECT_EQ(journal, expected);
  }
  journal.clear();
  callback(5, 2, 9, 0, 0, 0);
  EXPECT_EQ(journal, Journal{"On:5,2,9,0,0,0"});
  journal.clear();
  callback(1, 13, 8, 0, 0, 0);
  EXPECT_EQ(journal, Journal{"On:1,13,8,0,0,0"});
  EXPECT_TRUE(shown.empty());
}

TEST_F(TAPILineTest, RoutingWorksWithoutOnHandleCallbackAndSurvivesSelfDeletion) {
  LINECALLBACK callback = OpenGlobal();
  AddToGlobal("a", 7);
  TRecordingLineObject* b = AddToGlobal("b", 7);
  AddToGlobal("c", 7);
  // b leaves the list in the middle of the routing; c must still be reached.
  b->onCallback = [this, b] {
    TAPILine()->DeleteLineObject(b);
    journal.push_back("b gone");
  };
  callback(0, 1, 7, 0, 0, 0);
  EXPECT_EQ(journal, (Journal{"a:0,1,0,0,0", "b:0,1,0,0,0", "~b", "b gone", "c:0,1,0,0,0"}));
  EXPECT_EQ(TAPILine()->LineObjectCount(), 2);
  Forget(b);
}

TEST_F(TAPILineTest, AnErrorInACallbackIsShownAndGoesNoFurther) {
  LINECALLBACK callback = OpenGlobal();
  TRecordingLineObject* a = AddToGlobal("a", 7);
  a->onCallback = [] { throw EConnectError("line object failed"); };
  EXPECT_NO_THROW(callback(0, 3, 7, 0, 0, 0));
  EXPECT_EQ(shown, std::vector<std::string>{"line object failed"});

  shown.clear();
  journal.clear();
  TAPILine()->OnHandleCallback = [](TTAPILine*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                    uint32_t) { throw std::runtime_error("handler failed"); };
  EXPECT_NO_THROW(callback(0, 3, 7, 0, 0, 0));
  EXPECT_EQ(shown, std::vector<std::string>{"handler failed"});
  // The failing handler ended this callback before the routing.
  EXPECT_TRUE(journal.empty());
}

TEST_F(TAPILineTest, AnExceptionOfAnotherKindPassesOn) {
  LINECALLBACK callback = OpenGlobal();
  TAPILine()->OnHandleCallback = [](TTAPILine*, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                    uint32_t) { throw 42; };
  EXPECT_THROW(callback(0, 13, 0, 0, 0, 0), int);
  EXPECT_TRUE(shown.empty());
}

}  // namespace
}  // namespace qorvel
