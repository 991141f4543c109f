// The automation object without a bus: what it posts, what each caller gets
// back, and what reaches its sink.
#include "automation/auto_emi.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

#include "automation/fake_supervisor.h"

namespace qorvel {
namespace {

using test::TFakeSupervisor;

struct TSubmitOutcome {
  int32_t Code = 1;
  std::string Text;
  TDateTime SCTS = -1;
  int64_t HistoryId = -1;
  int Calls = 0;
};

TAutoEMI::TSubmitDone Into(TSubmitOutcome& aOutcome) {
  return [&aOutcome](int32_t aCode, const std::string& aText, TDateTime aSCTS, int64_t aId) {
    aOutcome.Code = aCode;
    aOutcome.Text = aText;
    aOutcome.SCTS = aSCTS;
    aOutcome.HistoryId = aId;
    ++aOutcome.Calls;
  };
}

class TRecordingSink : public IAutoEMIEvents {
 public:
  void OnDelivered(TDateTime SCTS, const std::string& OA, const std::string& DA,
                   const std::string& Msg, bool Binary, int16_t MCLs, int16_t PID, int16_t RPI,
                   TDateTime VP) override {
    if (Fail) throw std::runtime_error("sink gone");
    Log += "D " + OA + "," + DA + "," + Msg + "," + std::to_string(Binary) + "," +
           std::to_string(MCLs) + "," + std::to_string(PID) + "," + std::to_string(RPI) + "," +
           std::to_string(SCTS) + "," + std::to_string(VP) + ";";
  }
  void OnActiveChanged() override {
    if (Fail) throw std::runtime_error("sink gone");
    Log += "A;";
  }
  void OnDeliveredNotification(TDateTime SCTS, const std::string& OA, const std::string& DA,
                               const std::string& Msg, int16_t PID, int16_t DeliveryStatus,
                               int16_t ReasonCode, TDateTime DSCTS) override {
    if (Fail) throw std::runtime_error("sink gone");
    Log += "N " + OA + "," + DA + "," + Msg + "," + std::to_string(PID) + "," +
           std::to_string(DeliveryStatus) + "," + std::to_string(ReasonCode) + "," +
           std::to_string(SCTS) + "," + std::to_string(DSCTS) + ";";
  }
  std::string Log;
  bool Fail = false;
};

TEST(AutoEMI, CreationJoinsTheListAndAsksForOneConnect) {
  TFakeSupervisor supervisor;
  auto a = TAutoEMI::Create(supervisor);
  auto b = TAutoEMI::Create(supervisor);
  EXPECT_EQ(supervisor.LiveObjects(), 2u);
  EXPECT_EQ(supervisor.ConnectRequests(), 2);
  a->Destroy();
  a->Destroy();
  EXPECT_EQ(supervisor.LiveObjects(), 1u);
  EXPECT_EQ(supervisor.Removed(), 1);
  b->Destroy();
}

TEST(AutoEMI, SubmitCutsNumbersToTheirLowOctetAndKeepsTheRest) {
  TFakeSupervisor supervisor;
  auto object = TAutoEMI::Create(supervisor, ":1.42");
  TSubmitOutcome outcome;
  object->Submit("+31612", std::string("a\0\xff", 3), true, 256, -1, 7 + 512, 258, 0.5,
                 Into(outcome));
  auto job = supervisor.TakeJob();
  ASSERT_TRUE(job.Item);
  EXPECT_EQ(job.Name, "SUBMIT");
  EXPECT_EQ(job.Item->DA, "+31612");
  EXPECT_EQ(job.Item->Msg, std::string("a\0\xff", 3));
  EXPECT_TRUE(job.Item->Binary);
  EXPECT_EQ(job.Item->MCLs, 0);
  EXPECT_EQ(job.Item->PID, 255);
  EXPECT_EQ(job.Item->NT, 7);
  EXPECT_EQ(job.Item->RPI, 2);
  EXPECT_EQ(job.Item->VP, 0.5);
  EXPECT_EQ(job.Item->Source, ":1.42");
  EXPECT_EQ(outcome.Calls, 0);
  job.Item->Requester->SetHistoryId(77);
  job.Item->Requester->Complete(0, "", 46000.25);
  EXPECT_EQ(outcome.Calls, 1);
  EXPECT_EQ(outcome.Code, 0);
  EXPECT_EQ(outcome.SCTS, 46000.25);
  EXPECT_EQ(outcome.HistoryId, 77);
  EXPECT_EQ(object->ResultCode(), 0);
  EXPECT_EQ(object->ResultSCTS(), 46000.25);
  object->Destroy();
}

TEST(AutoEMI, AFailedSubmitLeavesTheObjectUsable) {
  TFakeSupervisor supervisor;
  auto object = TAutoEMI::Create(supervisor);
  TSubmitOutcome first, second;
  object->Submit("1", "x", false, 255, 0, 0, 0, 0, Into(first));
  supervisor.TakeJob().Item->Requester->Complete(-1, "Connection is inactive");
  EXPECT_EQ(first.Code, -1);
  EXPECT_EQ(first.Text, "Connection is inactive");
  EXPECT_EQ(object->ResultText(), "Connection is inactive");
  object->Submit("1", "y", false, 255, 0, 0, 0, 0, Into(second));
  supervisor.TakeJob().Item->Requester->Complete(0, "", 2.0);
  EXPECT_EQ(second.Code, 0);
  EXPECT_EQ(second.SCTS, 2.0);
  object->Destroy();
}

TEST(AutoEMI, TestConnectionAnswersAtOnceWhileNotConnected) {
  TFakeSupervisor supervisor;
  auto object = TAutoEMI::Create(supervisor);
  std::optional<bool> alive;
  object->TestConnection([&](bool a) { alive = a; });
  ASSERT_TRUE(alive.has_value());
  EXPECT_FALSE(*alive);
  EXPECT_EQ(supervisor.Posted(), 0);
  object->Destroy();
}

// Two calls on one object are queued behind each other, each with its own
// requester: completing the first must not answer the second.
TEST(AutoEMI, TwoWaitingCallsOnOneObjectEachGetTheirOwnOutcome) {
  TFakeSupervisor supervisor;
  supervisor.SetEngineActive(true);
  auto object = TAutoEMI::Create(supervisor);
  std::optional<bool> firstTest, secondTest;
  object->TestConnection([&](bool a) { firstTest = a; });
  object->TestConnection([&](bool a) { secondTest = a; });
  TSubmitOutcome submit;
  object->Submit("1", "m", false, 255, 0, 0, 0, 0, Into(submit));
  auto first = supervisor.TakeJob();
  auto second = supervisor.TakeJob();
  auto third = supervisor.TakeJob();
  ASSERT_TRUE(first.Item && second.Item && third.Item);
  EXPECT_EQ(first.Name, "TEST");
  EXPECT_EQ(third.Name, "SUBMIT");
  EXPECT_NE(first.Item->Requester, second.Item->Requester);
  first.Item->Requester->Complete(0, "");
  EXPECT_EQ(firstTest, std::optional<bool>(true));
  EXPECT_FALSE(secondTest.has_value());
  EXPECT_EQ(submit.Calls, 0);
  second.Item->Requester->Complete(-1, "time-out");
  EXPECT_EQ(secondTest, std::optional<bool>(false));
  third.Item->Requester->Complete(0, "", 7.0);
  EXPECT_EQ(submit.SCTS, 7.0);
  object->Destroy();
}

TEST(AutoEMI, DestructionEndsEveryWaitingCallOnceAndRefusesLaterOnes) {
  TFakeSupervisor supervisor;
  supervisor.SetEngineActive(true);
  auto object = TAutoEMI::Create(supervisor);
  TSubmitOutcome waiting, late;
  std::optional<bool> test;
  object->Submit("1", "m", false, 255, 0, 0, 0, 0, Into(waiting));
  object->TestConnection([&](bool a) { test = a; });
  auto job = supervisor.TakeJob();
  object->Destroy();
  EXPECT_EQ(waiting.Calls, 1);
  EXPECT_EQ(waiting.Code, -1);
  EXPECT_EQ(waiting.Text, "Object destroyed");
  EXPECT_EQ(test, std::optional<bool>(false));
  // The supervisor's own result comes too late to land.
  job.Item->Requester->Complete(0, "", 9.0);
  EXPECT_EQ(waiting.Calls, 1);
  EXPECT_EQ(waiting.Code, -1);

  int posted = supervisor.Posted();
  object->Submit("1", "m", false, 255, 0, 0, 0, 0, Into(late));
  EXPECT_EQ(late.Text, "Object destroyed");
  EXPECT_EQ(supervisor.Posted(), posted);
}

TEST(AutoEMI, ActiveAndPhoneNumberReadTheSupervisorAndPutOnlyRequests) {
  TFakeSupervisor supervisor;
  supervisor.SetOwnAddress("0031612");
  auto object = TAutoEMI::Create(supervisor);
  EXPECT_FALSE(object->Active());
  supervisor.SetEngineActive(true);
  EXPECT_TRUE(object->Active());
  EXPECT_EQ(object->PhoneNumber(), "0031612");
  object->SetActive(false);
  object->SetActive(true);
  EXPECT_EQ(supervisor.ActiveRequests(), (std::vector<bool>{false, true}));
  object->Destroy();
}

TEST(AutoEMI, EventsReachTheOneSinkWithWidenedNumbers) {
  TFakeSupervisor supervisor;
  auto object = TAutoEMI::Create(supervisor);
  TRetrieveDeliverySMItem delivered;
  delivered.OA = "0612";
  delivered.DA = "1234";
  delivered.Msg = std::string("\0\x80", 2);
  delivered.Binary = true;
  delivered.MCLs = 200;
  delivered.PID = 255;
  delivered.RPI = 1;
  delivered.SCTS = 1.5;
  delivered.VP = 0.5;
  // Nothing is attempted without a sink.
  object->FireDelivered(delivered);
  object->FireActiveChanged();

  auto sink = std::make_shared<TRecordingSink>();
  ASSERT_TRUE(object->Advise(sink));
  EXPECT_FALSE(object->Advise(std::make_shared<TRecordingSink>()));
  object->FireDelivered(delivered);
  TRetrieveDeliveryNotificationItem notified;
  notified.OA = "1234";
  notified.DA = "0612";
  notified.Msg = "4F4B";
  notified.PID = 0x39;
  notified.DeliveryStatus = 2;
  notified.ReasonCode = 250;
  notified.SCTS = 3;
  notified.DSCTS = 4;
  object->FireDeliveryNotification(notified);
  object->FireActiveChanged();
  EXPECT_EQ(sink->Log, "D 0612,1234," + std::string("\0\x80", 2) +
                           ",1,200,255,1,1.500000,0.500000;"
                           "N 1234,0612,4F4B,57,2,250,3.000000,4.000000;A;");

  object->Unadvise();
  auto next = std::make_shared<TRecordingSink>();
  EXPECT_TRUE(object->Advise(next));
  object->Destroy();
  EXPECT_FALSE(object->Advised());
}

// A sink that fails raises out of Fire…, so that the supervisor can report it;
// the supervisor's loop then goes on to the other objects.
TEST(AutoEMI, AFailingSinkRaisesAndCostsTheOthersNothing) {
  TFakeSupervisor supervisor;
  auto a = TAutoEMI::Create(supervisor);
  auto b = TAutoEMI::Create(supervisor);
  auto failing = std::make_shared<TRecordingSink>();
  failing->Fail = true;
  auto healthy = std::make_shared<TRecordingSink>();
  a->Advise(failing);
  b->Advise(healthy);
  EXPECT_THROW(a->FireActiveChanged(), std::runtime_error);
  EXPECT_EQ(supervisor.FireAll([](IAutoObject& o) { o.FireActiveChanged(); }), 1);
  EXPECT_EQ(healthy->Log, "A;");
  a->Destroy();
  b->Destroy();
}

}  // namespace
}  // namespace qorvel
