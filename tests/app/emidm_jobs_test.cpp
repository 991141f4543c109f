// The supervisor's job queue: budgets per step, the one retry of a step,
// connection tests, and that every job taken is answered.
#include <QCoreApplication>
#include <ostream>
#include <string>

#include "emi/codec.h"
#include "supervisor_fixture.h"

namespace qorvel::testing {
namespace {

TEST_F(SupervisorTest, JobsWaitForTheWindowAndAreAnsweredWithoutASession) {
  dm->SetForm(nullptr);
  auto submit = Post(kJobSubmit);
  auto unknown = Post("submit");
  Tick();
  EXPECT_FALSE(submit->Completed()) << "no step before the window exists";

  dm->SetForm(&form);
  Tick();
  ASSERT_TRUE(submit->Completed());
  EXPECT_EQ(submit->ResultCode(), -1);
  EXPECT_EQ(submit->ResultText(), "Connection is inactive");
  ASSERT_TRUE(unknown->Completed()) << "a job of no known name still releases its caller";
  EXPECT_EQ(unknown->ResultCode(), -1);
  EXPECT_TRUE(smsc.Received().empty());
}

// At Window 1 a step takes a job only while none is outstanding; at a wider
// window it takes as many as there is room for.
class SupervisorWindow : public SupervisorTest, public ::testing::WithParamInterface<int> {};

TEST_P(SupervisorWindow, TwelveJobsAreWorkedOffInOrderAsTheWindowHasRoom) {
  ini.Window = GetParam();
  WriteIni();
  Connect();
  std::vector<std::shared_ptr<TJobRequester>> requesters;
  for (int i = 1; i <= 12; ++i) requesters.push_back(Post(kJobSubmit, std::to_string(i)));
  Tick();
  EXPECT_EQ(form.Log1.Count("Submiting"), GetParam() == 1 ? 1 : 12);
  EXPECT_EQ(dm->EMIClient().OperationsPending(), GetParam() == 1 ? 1 : 12);
  ASSERT_TRUE(TickUntil([&] { return CountCompleted(requesters) == 12; }));
  const std::vector<TAcceptedSubmit> submits = smsc.Submits();
  ASSERT_EQ(submits.size(), 12u);
  for (int i = 0; i < 12; ++i) {
    EXPECT_EQ(submits[i].Fields[0], std::to_string(i + 1));
    EXPECT_EQ(requesters[i]->ResultCode(), 0) << requesters[i]->ResultText();
    EXPECT_NE(requesters[i]->ResultSCTS(), 0);
  }
  EXPECT_EQ(form.Log1.Count("Submiting"), 12);
}

INSTANTIATE_TEST_SUITE_P(Windows, SupervisorWindow, ::testing::Values(1, 20),
                         [](const auto& info) { return "Window" + std::to_string(info.param); });

TEST_F(SupervisorTest, APostedJobIsTakenBeforeTheNextTickUnlessItsCallerHasGone) {
  Connect();
  dm->Timer2().setInterval(60'000);
  dm->Timer2().start();
  auto gone = Post(kJobSubmit, "0612345678", "gone");
  gone->Complete(-1, "Object destroyed");
  auto waiting = Post(kJobSubmit, "0612345678", "waiting");
  EXPECT_TRUE(main_thread::WaitOnMainThread(
      [&] {
        QCoreApplication::processEvents();
        return waiting->Completed();
      },
      5s));
  EXPECT_EQ(waiting->ResultCode(), 0) << waiting->ResultText();
  EXPECT_EQ(gone->ResultText(), "Object destroyed");
  const std::vector<TAcceptedSubmit> submits = smsc.Submits();
  ASSERT_EQ(submits.size(), 1u) << "the answered job is never sent";
  EXPECT_EQ(form.Log1.Count("Submiting \"waiting\""), 1);
}

struct TRetryCase {
  int Naks;  // refused submits; negative: all
  int FirstCode, SecondCode;
  size_t Attempts;
};

void PrintTo(const TRetryCase& c, std::ostream* os) {
  *os << "refused " << c.Naks << ", results " << c.FirstCode << "/" << c.SecondCode << ", attempts "
      << c.Attempts;
}

class SupervisorRetry : public SupervisorTest, public ::testing::WithParamInterface<TRetryCase> {};

// At Window 1 each submit is retried once after reconnecting, in its turn.
TEST_P(SupervisorRetry, AFailingSubmitIsRetriedOnceAfterReconnecting) {
  const TRetryCase c = GetParam();
  Connect();
  smsc.NakOperation(51, 24, c.Naks);
  auto first = Post(kJobSubmit, "0612345678", "one");
  auto second = Post(kJobSubmit, "0612345678", "two");
  ASSERT_TRUE(TickUntil([&] { return first->Completed() && second->Completed(); }));
  EXPECT_EQ(first->ResultCode(), c.FirstCode) << first->ResultText();
  EXPECT_EQ(second->ResultCode(), c.SecondCode) << second->ResultText();
  if (c.SecondCode != 0) {
    EXPECT_EQ(second->ResultText(), "24-Message too long");
  }
  EXPECT_EQ(smsc.Operations(51).size(), c.Attempts);
  const int retries = c.Naks < 0 ? 2 : c.Naks;
  EXPECT_EQ(form.Log1.Count("Reconnecting"), retries);
  EXPECT_EQ(smsc.Connections(), 1 + retries);
  // A retry keeps its place before the next submit.
  const auto submits = smsc.Operations(51);
  const size_t ofFirst = c.Naks < 0 ? 2 : 1 + c.Naks;
  for (size_t i = 0; i < submits.size(); ++i)
    EXPECT_EQ(submits[i].Fields[20], TextToHex(i < ofFirst ? "one" : "two")) << i;
}

// With more outstanding a refused submit was taken to the SMSC and answered:
// it is not sent again.
TEST_F(SupervisorTest, AtAWiderWindowARefusedSubmitIsNotRetried) {
  ini.Window = 10;
  WriteIni();
  Connect();
  smsc.NakOperation(51, 24, 1);
  auto refused = Post(kJobSubmit, "0612345678", "one");
  ASSERT_TRUE(TickUntil([&] { return refused->Completed(); }));
  EXPECT_EQ(refused->ResultText(), "24-Message too long");
  EXPECT_EQ(smsc.Operations(51).size(), 1u);
  EXPECT_EQ(form.Log1.Count("Reconnecting"), 0);
}

INSTANTIATE_TEST_SUITE_P(Refusals, SupervisorRetry,
                         ::testing::Values(TRetryCase{1, 0, 0, 3}, TRetryCase{-1, -1, -1, 4}),
                         [](const auto& info) {
                           return info.param.Naks < 0 ? std::string("AllRefused")
                                                      : "Refused" + std::to_string(info.param.Naks);
                         });

TEST_F(SupervisorTest, ConnectionTestJobReportsTheOutcome) {
  Connect();
  auto alive = Post(kJobTest);
  ASSERT_TRUE(TickUntil([&] { return alive->Completed(); }));
  EXPECT_EQ(alive->ResultCode(), 0);

  smsc.NakOperation(31, 2);
  auto refused = Post(kJobTest);
  ASSERT_TRUE(TickUntil([&] { return refused->Completed(); }));
  EXPECT_EQ(refused->ResultCode(), -1);
  EXPECT_EQ(smsc.Operations(31).size(), 2u);
}

// At Window 1 a message that arrives during a submit is handed over when the
// submit has ended; its own step then takes the next job.
TEST_F(SupervisorTest, ADeliveryDuringASubmitComesAfterItAndTakesTheNextJob) {
  Connect();
  TMobileMessage msg;
  msg.OA = "0612000001";
  msg.DA = "1234";
  msg.Msg = "during";
  msg.SCTS = "070503140559";
  TAnswerRule rule;
  rule.SendBefore = {smsc.DeliverFrame(msg)};
  rule.Times = 1;
  smsc.AddRule(51, rule);
  std::vector<std::shared_ptr<TJobRequester>> requesters;
  for (int i = 0; i < 12; ++i) requesters.push_back(Post(kJobSubmit));
  Tick();
  ASSERT_TRUE(WaitForLine("Delivered: "));
  EXPECT_EQ(CountCompleted(requesters), 1);
  EXPECT_EQ(form.Log1.Count("Submiting"), 2);
  ASSERT_TRUE(TickUntil([&] { return CountCompleted(requesters) == 12; }));
  EXPECT_EQ(form.Log1.Count("Delivered: "), 1);
}

struct TAfterDeliveryCase {
  bool TimerRunning;  // false: the window is using the engine
  int Completed;
};

void PrintTo(const TAfterDeliveryCase& c, std::ostream* os) {
  *os << (c.TimerRunning ? "timer running" : "timer stopped") << ", completed " << c.Completed;
}

class SupervisorAfterDelivery : public SupervisorTest,
                                public ::testing::WithParamInterface<TAfterDeliveryCase> {};

TEST_P(SupervisorAfterDelivery, ADeliveredMessageRunsOneJob) {
  const TAfterDeliveryCase c = GetParam();
  Connect();
  std::vector<std::shared_ptr<TJobRequester>> requesters;
  for (int i = 0; i < 3; ++i) requesters.push_back(Post(kJobSubmit));
  if (!c.TimerRunning) dm->Timer2().stop();
  TMobileMessage msg;
  msg.OA = "0612000001";
  msg.DA = "1234";
  msg.Msg = "hello";
  msg.SCTS = "070503140559";
  smsc.SendDeliver(msg);
  ASSERT_TRUE(WaitForLine("Delivered: "));
  if (c.Completed > 0) WaitFor([&] { return CountCompleted(requesters) >= c.Completed; });
  EXPECT_EQ(CountCompleted(requesters), c.Completed);
  EXPECT_EQ(dm->Timer2().isActive(), c.TimerRunning);
}

INSTANTIATE_TEST_SUITE_P(Timer, SupervisorAfterDelivery,
                         ::testing::Values(TAfterDeliveryCase{true, 1},
                                           TAfterDeliveryCase{false, 0}),
                         [](const auto& info) {
                           return std::string(info.param.TimerRunning ? "TimerRunning"
                                                                      : "TimerStopped");
                         });


// Every submit of the bus ends up in the history with its caller, TRN and
// result, and the SMSC's notification finds it there; a message from a mobile
// and a submit whose caller left before it went are recorded as well.
TEST_F(SupervisorTest, SubmitsResultsAndWhatTheSmscSendsGoToTheHistory) {
  TMessageStore history(dir.File("messages.db"), THistoryLimits{});
  dm->SetHistory(&history);
  Connect();
  auto item = std::make_unique<TSubmitItem>();
  item->Source = ":1.42";
  item->DA = "+31612345678";
  item->Msg = "Hello";
  item->NT = 1;
  item->Requester = std::make_shared<TJobRequester>();
  const std::shared_ptr<TJobRequester> requester = item->Requester;
  dm->PostJob(kJobSubmit, std::move(item));
  const int64_t id = requester->HistoryId();
  ASSERT_NE(id, 0) << "the id is known as soon as the job is posted";
  ASSERT_TRUE(TickUntil([&] { return requester->Completed(); }));
  ASSERT_EQ(requester->ResultCode(), 0) << requester->ResultText();
  ASSERT_TRUE(WaitForLine("Notified: ", 10s));

  TMobileMessage mobile;
  mobile.OA = "0612000001";
  mobile.DA = "1234";
  mobile.Msg = "from a mobile";
  smsc.SendDeliver(mobile);
  ASSERT_TRUE(WaitForLine("Delivered: ", 10s));
  auto gone = Post(kJobSubmit, "0612345678", "never sent");
  gone->Complete(-1, "Object destroyed");
  Tick();
  history.Flush();

  const std::optional<THistoryStory> story = history.Story(id);
  ASSERT_TRUE(story.has_value());
  EXPECT_EQ(story->Row.Source, ":1.42");
  EXPECT_EQ(story->Row.Status, history_status::kDelivered);
  EXPECT_EQ(story->Row.SCTS, requester->ResultSCTS());
  ASSERT_EQ(smsc.Operations(51).size(), 1u);
  EXPECT_EQ(story->TRN, smsc.Operations(51)[0].TRN);
  THistoryFilter received;
  received.Status = history_status::kReceived;
  const std::vector<THistoryRow> rows = history.Query(received, THistorySort::NewestFirst, 0, 10);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Number, "0612000001");
  EXPECT_EQ(rows[0].Text, "from a mobile");
  const std::optional<THistoryStory> unsent = history.Story(gone->HistoryId());
  ASSERT_TRUE(unsent.has_value());
  EXPECT_EQ(unsent->Row.Status, history_status::kFailed);
  dm->SetHistory(nullptr);
}

}  // namespace
}  // namespace qorvel::testing
