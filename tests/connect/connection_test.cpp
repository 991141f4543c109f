#include "connect/connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "connect/errors.h"
#include "test_connections.h"

namespace qorvel {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Journal;
using testing::RecordEvents;
using testing::TRecordingConnection;

TEST(ConnectionSequence, OpenAndCloseRunStepsBetweenTheirEvents) {
  Journal j;
  TRecordingConnection c(j);
  RecordEvents(c, j);
  EXPECT_FALSE(c.Active());
  c.Open();
  EXPECT_TRUE(c.Active());
  c.Close();
  EXPECT_FALSE(c.Active());
  EXPECT_THAT(
      j, ElementsAre("BeforeOpen", "DoOpen", "AfterOpen", "BeforeClose", "DoClose", "AfterClose"));
}

TEST(ConnectionSequence, ActiveIsAlreadyTrueInAfterOpenAndStillTrueInBeforeClose) {
  Journal j;
  TRecordingConnection c(j);
  std::vector<bool> seen;
  c.BeforeOpen = [&](TConnection* s) { seen.push_back(s->Active()); };
  c.AfterOpen = [&](TConnection* s) { seen.push_back(s->Active()); };
  c.BeforeClose = [&](TConnection* s) { seen.push_back(s->Active()); };
  c.AfterClose = [&](TConnection* s) { seen.push_back(s->Active()); };
  c.SetActive(true);
  c.SetActive(false);
  EXPECT_THAT(seen, ElementsAre(false, true, true, false));
}

TEST(ConnectionSequence, EventsNameTheirSender) {
  Journal j;
  TRecordingConnection c(j);
  TConnection* sender = nullptr;
  c.AfterOpen = [&](TConnection* s) { sender = s; };
  c.Open();
  EXPECT_EQ(sender, &c);
}

TEST(ConnectionSequence, SettingTheCurrentStateAgainDoesNothing) {
  Journal j;
  TRecordingConnection c(j);
  RecordEvents(c, j);
  c.Close();
  EXPECT_THAT(j, IsEmpty());
  c.Open();
  c.Open();
  c.SetActive(true);
  EXPECT_THAT(j, ElementsAre("BeforeOpen", "DoOpen", "AfterOpen"));
}

// Hand-over work run while a close waits may switch the same connection
// again; the switch under way must finish alone.
TEST(ConnectionSequence, NestedSwitchesDuringAnOpenOrCloseDoNothing) {
  Journal j;
  TRecordingConnection c(j);
  RecordEvents(c, j);
  c.BeforeOpen = [&](TConnection* s) {
    j.push_back("BeforeOpen");
    s->Open();
  };
  c.AfterOpen = [&](TConnection* s) {
    j.push_back("AfterOpen");
    s->Close();
  };
  c.BeforeClose = [&](TConnection* s) {
    j.push_back("BeforeClose");
    s->Close();
  };
  c.AfterClose = [&](TConnection* s) {
    j.push_back("AfterClose");
    s->Open();
  };
  c.Open();
  EXPECT_TRUE(c.Active());
  c.Close();
  EXPECT_FALSE(c.Active());
  EXPECT_THAT(
      j, ElementsAre("BeforeOpen", "DoOpen", "AfterOpen", "BeforeClose", "DoClose", "AfterClose"));
  c.failOpen = true;
  j.clear();
  EXPECT_THROW(c.Open(), std::runtime_error);
  c.failOpen = false;
  c.Open();
  EXPECT_TRUE(c.Active()) << "a failed open leaves the connection switchable";
}

TEST(ConnectionSequence, FailingOpenClosesWithoutCloseEventsAndRethrows) {
  Journal j;
  TRecordingConnection c(j);
  RecordEvents(c, j);
  c.failOpen = true;
  EXPECT_THROW(c.Open(), std::runtime_error);
  EXPECT_FALSE(c.Active());
  EXPECT_THAT(j, ElementsAre("BeforeOpen", "DoOpen", "DoClose"));
  // A later open is a fresh attempt.
  c.failOpen = false;
  j.clear();
  c.Open();
  EXPECT_TRUE(c.Active());
  EXPECT_THAT(j, ElementsAre("BeforeOpen", "DoOpen", "AfterOpen"));
}

TEST(ConnectionSequence, FailingBeforeOpenStopsBeforeTheOpenStep) {
  Journal j;
  TRecordingConnection c(j);
  c.BeforeOpen = [](TConnection*) { throw std::runtime_error("vetoed"); };
  EXPECT_THROW(c.Open(), std::runtime_error);
  EXPECT_FALSE(c.Active());
  EXPECT_THAT(j, IsEmpty());
}

TEST(ConnectionSequence, FailingAfterOpenLeavesTheConnectionOpen) {
  Journal j;
  TRecordingConnection c(j);
  c.AfterOpen = [](TConnection*) { throw std::runtime_error("handler"); };
  EXPECT_THROW(c.Open(), std::runtime_error);
  EXPECT_TRUE(c.Active());
  EXPECT_THAT(j, ElementsAre("DoOpen"));
}

TEST(ConnectionSequence, FailingCloseLeavesTheConnectionOpen) {
  Journal j;
  TRecordingConnection c(j);
  RecordEvents(c, j);
  c.Open();
  c.failClose = true;
  j.clear();
  EXPECT_THROW(c.Close(), std::runtime_error);
  EXPECT_TRUE(c.Active());
  EXPECT_THAT(j, ElementsAre("BeforeClose", "DoClose"));
}

TEST(ConnectionLifetime, DestroyingAnOpenConnectionClosesOnceWithoutEvents) {
  Journal j;
  {
    TRecordingConnection c(j);
    RecordEvents(c, j);
    c.Open();
    j.clear();
  }
  EXPECT_THAT(j, ElementsAre("DoClose"));
}

TEST(ConnectionLifetime, DestroyingAClosedConnectionRunsNoStep) {
  Journal j;
  { TRecordingConnection c(j); }
  EXPECT_THAT(j, IsEmpty());
}

TEST(ConnectionLifetime, OwnerDestroysOpenOwnedConnectionsWithoutEvents) {
  Journal j;
  {
    TComponent owner;
    auto* c = new TRecordingConnection(j, &owner);
    RecordEvents(*c, j);
    c->Open();
    j.clear();
  }
  EXPECT_THAT(j, ElementsAre("DoClose"));
}

TEST(ConnectionLifetime, FailingCloseDuringDestructionDoesNotEscape) {
  Journal j;
  {
    TRecordingConnection c(j);
    c.Open();
    c.failClose = true;
    j.clear();
  }
  EXPECT_THAT(j, ElementsAre("DoClose"));
}

// A descendant that forgets to close in its destructor must not end up
// calling a step whose class is already gone.
class TForgetfulConnection : public TConnection {
 public:
  explicit TForgetfulConnection(int& closes) : closes_(closes) {}

 protected:
  void DoOpen() override {}
  void DoClose() override { ++closes_; }

 private:
  int& closes_;
};

TEST(ConnectionLifetime, ForgottenCloseInDescendantIsHarmless) {
  int closes = 0;
  {
    TForgetfulConnection c(closes);
    c.Open();
  }
  EXPECT_EQ(closes, 0);
}

TEST(ConnectionLoading, StoredActiveOpensOnlyWhenLoadingCompletes) {
  Journal j;
  TRecordingConnection c(j);
  c.BeginLoading();
  c.SetActive(true);
  EXPECT_FALSE(c.Active());
  EXPECT_TRUE(c.StreamedActive());
  // Properties read after Active are in place before the open runs.
  RecordEvents(c, j);
  EXPECT_THAT(j, IsEmpty());
  c.EndLoading();
  EXPECT_TRUE(c.Active());
  EXPECT_THAT(j, ElementsAre("BeforeOpen", "DoOpen", "AfterOpen"));
}

TEST(ConnectionLoading, StoredInactiveLeavesItClosed) {
  Journal j;
  TRecordingConnection c(j);
  c.BeginLoading();
  c.SetActive(false);
  c.EndLoading();
  EXPECT_FALSE(c.Active());
  EXPECT_FALSE(c.StreamedActive());
  EXPECT_THAT(j, IsEmpty());
}

TEST(ConnectionLoading, FalseAfterTrueWhileLoadingStillOpens) {
  Journal j;
  TRecordingConnection c(j);
  c.BeginLoading();
  c.SetActive(true);
  c.SetActive(false);
  c.EndLoading();
  EXPECT_TRUE(c.Active());
}

TEST(ConnectionLoading, OwnedConnectionOpensWhenItsOwnerFinishesLoading) {
  Journal j;
  TComponent owner;
  auto* c = new TRecordingConnection(j, &owner);
  owner.BeginLoading();
  c->SetActive(true);
  EXPECT_FALSE(c->Active());
  owner.EndLoading();
  EXPECT_TRUE(c->Active());
}

TEST(ConnectionLoading, FailingStoredOpenReachesTheLoaderAndLeavesItClosed) {
  Journal j;
  TRecordingConnection c(j);
  c.failOpen = true;
  c.BeginLoading();
  c.SetActive(true);
  EXPECT_THROW(c.EndLoading(), std::runtime_error);
  EXPECT_FALSE(c.Active());
  EXPECT_THAT(j, ElementsAre("DoOpen", "DoClose"));
}

TEST(ConnectionChecks, CheckActiveAndCheckInactiveCarryTheirMessages) {
  Journal j;
  TRecordingConnection c(j);
  EXPECT_NO_THROW(c.CheckInactive());
  try {
    c.CheckActive();
    FAIL() << "CheckActive passed on a closed connection";
  } catch (const EConnectError& e) {
    EXPECT_STREQ(e.what(), "Connection is inactive");
  }
  c.Open();
  EXPECT_NO_THROW(c.CheckActive());
  try {
    c.CheckInactive();
    FAIL() << "CheckInactive passed on an open connection";
  } catch (const EConnectError& e) {
    EXPECT_STREQ(e.what(), "Connection is active");
  }
}

TEST(ConnectionErrors, HierarchyAndErrorCode) {
  EEMIError e(3, "Syntax error");
  const EComError& asCom = e;
  const EConnectError& asConnect = e;
  EXPECT_STREQ(asCom.what(), "Syntax error");
  EXPECT_STREQ(asConnect.what(), "Syntax error");
  EXPECT_EQ(e.ErrorCode, 3);
}

}  // namespace
}  // namespace qorvel
