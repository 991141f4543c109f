// The engine over the real TCP transport against the simulated SMSC on
// 127.0.0.1: logins, keep-alives, submits, deliveries and notifications as
// they cross the wire.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

#include "connect/errors.h"
#include "connect/main_thread.h"
#include "emi/codec.h"
#include "emi/emi_client.h"
#include "emi/items.h"
#include "tools/smsc/smsc_simulator.h"
#include "transport/client_socket_connection.h"

namespace qorvel {
namespace {

using namespace std::chrono_literals;

struct TDispatched {
  int OT, TRN;
  bool Result;
  std::string Data;
};

class EngineOverTcp : public ::testing::Test {
 protected:
  static TSmscConfig Config() {
    TSmscConfig c;
    c.Account = "1234";
    c.Password = "pw";
    // An engine without a user sends no login; the centre must trust it.
    c.LoginRequired = false;
    return c;
  }

  void SetUp() override {
    main_thread::SetMainThread();
    socket.SetAddress("127.0.0.1");
    socket.SetPort(smsc.Port());
    engine.SetComDevice(&socket);
    engine.RecTimeout = 500;
    engine.RepeatTimeout = 100;
    engine.RepeatCount = 2;
    engine.OnRxCommand = [this](TComponent*, uint8_t aOT, uint8_t aTRN, bool aResult,
                                const std::string& aData) {
      std::lock_guard<std::mutex> g(m);
      dispatched.push_back({aOT, aTRN, aResult, aData});
    };
    params.SetValue("USER", "1234");
    params.SetValue("PASSWORD", "pw");
    params.SetValue("SMT_INT_PREFIX", "00");
  }

  void Open() {
    engine.SetParams(params);
    engine.Open();
  }

  std::vector<TDispatched> Dispatched() {
    std::lock_guard<std::mutex> g(m);
    return dispatched;
  }
  bool WaitForDispatched(size_t n, std::chrono::milliseconds limit = 5000ms) {
    return main_thread::WaitOnMainThread([&] { return Dispatched().size() >= n; }, limit);
  }

  TSmscSimulator smsc{Config()};
  TClientSocketConnection socket;
  TEMIClient engine;
  TParams params;
  std::mutex m;
  std::vector<TDispatched> dispatched;
};

TEST_F(EngineOverTcp, LoginIsAcceptedAndItsDataGoesOutByteForByte) {
  Open();
  EXPECT_TRUE(engine.Active());
  auto logins = smsc.Operations(60);
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0].Data, "1234/6/5/1/" + TextToHex("pw") + "//0100//////");
  EXPECT_EQ(logins[0].TRN, 0);
}

TEST_F(EngineOverTcp, WrongPasswordIsRefusedWithCode07) {
  params.SetValue("PASSWORD", "nope");
  try {
    Open();
    FAIL() << "a wrong password opened the session";
  } catch (const EEMIError& e) {
    EXPECT_EQ(e.ErrorCode, 7);
    EXPECT_STREQ(e.what(), "07-Authentication failure");
  }
  EXPECT_FALSE(engine.Active());
  EXPECT_FALSE(socket.Active()) << "the transport is closed again";
}

TEST_F(EngineOverTcp, WithoutUserAKeepAliveIsSentInsteadOfALogin) {
  params.SetValue("USER", "");
  params.SetValue("SMSC_ADC", "5678");
  Open();
  EXPECT_TRUE(smsc.Operations(60).empty());
  auto alerts = smsc.Operations(31);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].Data, "5678/0539/");
  EXPECT_TRUE(engine.CheckAlive());

  engine.SetParam("SMT_KEEPALIVE_CMD", "51");
  engine.SetParam("SMT_KEEPALIVE_DA", "+441632960000");
  engine.SetParam("SMT_KEEPALIVE_TEXT", "ping");
  EXPECT_TRUE(engine.CheckAlive());
  ASSERT_TRUE(smsc.WaitForOperations(51, 1, 2s));
  EXPECT_EQ(smsc.Operations(51)[0].Fields[0], "00441632960000");
  EXPECT_EQ(smsc.Operations(51)[0].Fields[20], "70696E67");

  engine.SetParam("SMT_KEEPALIVE_CMD", "7");
  const size_t before = smsc.Received().size();
  EXPECT_TRUE(engine.CheckAlive());
  EXPECT_EQ(smsc.Received().size(), before) << "no keep-alive of that kind";
}

TEST_F(EngineOverTcp, RefusedAlertMakesCheckAliveFalse) {
  Open();
  smsc.NakOperation(31, 2);
  EXPECT_FALSE(engine.CheckAlive());
  EXPECT_EQ(engine.NakCode(), 2);
}

TEST_F(EngineOverTcp, SubmitReturnsTheTimeStampOfTheAcknowledgement) {
  Open();
  TDateTime scts = engine.SubmitMessage("+441632960000", "Hello", false, 255, 0, 0, 0, 0);
  ASSERT_EQ(smsc.Submits().size(), 1u);
  const TAcceptedSubmit submit = smsc.Submits()[0];
  EXPECT_EQ(JoinFields(submit.Fields),
            "00441632960000/1234//0//0////////0000/////3//48656C6C6F////////////");
  EXPECT_EQ(DateTimeToStamp(scts), submit.SCTS.substr(0, 10));
  EXPECT_EQ(DecodeDateTime(scts).Second, std::stoi(submit.SCTS.substr(10, 2)));
}

TEST_F(EngineOverTcp, RefusedSubmitRaisesTheSmscError) {
  Open();
  smsc.NakOperation(51, 24);
  try {
    engine.SubmitMessage("0612", "x", false, 255, 0, 0, 0, 0);
    FAIL();
  } catch (const EEMIError& e) {
    EXPECT_EQ(e.ErrorCode, 24);
    EXPECT_STREQ(e.what(), "24-Message too long");
  }
  EXPECT_TRUE(engine.Active()) << "a refusal keeps the session";
}

TEST_F(EngineOverTcp, NotificationsCarryTheSubmitsTimeStamp) {
  Open();
  TDateTime scts = engine.SubmitMessage("0612345678", "x", false, 255, 0, 7, 0, 0);
  ASSERT_TRUE(WaitForDispatched(2));
  for (const auto& d : Dispatched()) {
    EXPECT_EQ(d.OT, 53);
    auto item = ParseDeliveryNotification(d.Data);
    EXPECT_EQ(DateTimeToStamp(item->SCTS), DateTimeToStamp(scts));
    EXPECT_EQ(item->DA, "0612345678");
  }
  std::vector<int> statuses;
  for (const auto& d : Dispatched())
    statuses.push_back(ParseDeliveryNotification(d.Data)->DeliveryStatus);
  EXPECT_EQ(statuses, (std::vector<int>{1, 0})) << "NT 7: buffered, then the one final state";
  ASSERT_TRUE(smsc.WaitForClientAnswers(2, 2s));
  for (const auto& a : smsc.ClientAnswers()) {
    EXPECT_TRUE(a.Matched);
    EXPECT_EQ(a.Data, "A///") << "A// and the trailing separator";
  }
}

TEST_F(EngineOverTcp, DeliveredMessagesAreAcknowledgedAndHandedOver) {
  Open();
  TMobileMessage msg;
  msg.OA = "00441632960001";
  msg.DA = "1234";
  msg.Msg = "hi there";
  msg.SCTS = "070503140559";
  smsc.SendDeliver(msg);
  ASSERT_TRUE(WaitForDispatched(1));
  auto item = ParseDeliveredMessage(Dispatched()[0].Data);
  EXPECT_EQ(item->OA, "+441632960001");
  EXPECT_EQ(item->Msg, "hi there");
  ASSERT_TRUE(smsc.WaitForClientAnswers(1, 2s));
  EXPECT_TRUE(smsc.ClientAnswers()[0].Matched);
  EXPECT_EQ(smsc.ClientAnswers()[0].OT, 52);
}

TEST_F(EngineOverTcp, SmscKeepAliveIsAcknowledgedButNeverHandedOver) {
  params.SetValue("SMSC_KEEPALIVE_CMD", "52");
  params.SetValue("SMSC_KEEPALIVE_OA", "#5555");
  params.SetValue("SMSC_KEEPALIVE_DA", "#1234");
  params.SetValue("SMSC_KEEPALIVE_TEXT", "KEEPALIVE");
  Open();
  smsc.SendKeepAlive();
  ASSERT_TRUE(smsc.WaitForClientAnswers(1, 2s));
  EXPECT_TRUE(smsc.ClientAnswers()[0].Matched);
  main_thread::WaitOnMainThread([] { return false; }, 300ms);
  EXPECT_TRUE(Dispatched().empty());
  EXPECT_EQ(engine.RxQueueCount(), 0);
}

TEST_F(EngineOverTcp, FramesInPiecesTogetherOrBrokenAreHandledOnTheWire) {
  Open();
  TMobileMessage a;
  a.OA = "1111";
  a.DA = "1234";
  a.Msg = "a";
  TMobileMessage b = a;
  b.Msg = "b";
  smsc.SendInPieces(smsc.DeliverFrame(a), 7, 20ms);
  ASSERT_TRUE(WaitForDispatched(1));
  smsc.SendBad(TBadFrameKind::Checksum);
  smsc.SendBad(TBadFrameKind::Junk);
  smsc.SendTogether({smsc.DeliverFrame(a), smsc.DeliverFrame(b)});
  ASSERT_TRUE(WaitForDispatched(3));
  EXPECT_EQ(ParseDeliveredMessage(Dispatched()[2].Data)->Msg, "b");
  ASSERT_TRUE(smsc.WaitForClientAnswers(3, 2s));
  main_thread::WaitOnMainThread([] { return false; }, 200ms);
  EXPECT_EQ(smsc.ClientAnswers().size(), 3u) << "the bad frame got no acknowledgement";
}

TEST_F(EngineOverTcp, WithheldAnswersGiveTwoIdenticalFramesAndTheError) {
  Open();
  smsc.WithholdAnswers(51);
  auto start = std::chrono::steady_clock::now();
  try {
    engine.SubmitMessage("0612", "x", false, 255, 0, 0, 0, 0);
    FAIL();
  } catch (const EEMIError& e) {
    EXPECT_EQ(e.ErrorCode, -1);
    EXPECT_STREQ(e.what(), "Expected server answer is \"ACK\" or \"NAK\"");
  }
  auto took = std::chrono::steady_clock::now() - start;
  // The centre's thread may not have read the repeat yet on a busy machine.
  ASSERT_TRUE(smsc.WaitForOperations(51, 2, 5s));
  auto submits = smsc.Operations(51);
  ASSERT_EQ(submits.size(), 2u);
  EXPECT_EQ(submits[0].Frame, submits[1].Frame);
  // The engine's clock counts whole milliseconds: each of its five waits may
  // end up to one early by a finer clock.
  EXPECT_GE(took, 2 * 500ms + 2 * 200ms + 100ms - 5ms);
}

TEST_F(EngineOverTcp, AnswerTwiceGivesTheSecondCopyToTheApplication) {
  Open();
  smsc.AnswerTwice(51, 1);
  engine.SubmitMessage("0612", "x", false, 255, 0, 0, 0, 0);
  ASSERT_TRUE(WaitForDispatched(1));
  EXPECT_TRUE(Dispatched()[0].Result);
  EXPECT_EQ(Dispatched()[0].OT, 51);
}

TEST_F(EngineOverTcp, ClosingGivesTheTransportBackAndReopeningWorks) {
  Open();
  engine.Close();
  EXPECT_FALSE(socket.Active());
  EXPECT_FALSE(socket.RxCharInThread.load());
  Open();
  EXPECT_TRUE(engine.Active());
  EXPECT_EQ(smsc.Operations(60).size(), 2u);
}

TEST_F(EngineOverTcp, DroppedConnectionMakesTheNextOperationFail) {
  Open();
  smsc.Drop();
  ASSERT_TRUE(smsc.WaitForDisconnect(2s));
  std::this_thread::sleep_for(50ms);
  EXPECT_THROW(engine.SubmitMessage("0612", "x", false, 255, 0, 0, 0, 0), EConnectError);
}

// Requests at a window: each completes with its own answer, and the link's
// loss ends those still waiting at once, saying that the SMSC may have taken
// them, instead of after their time-outs.
struct TWindowRun {
  std::vector<TOperationResult> Results;
  std::vector<TDateTime> Stamps;
  int Done = 0;
};

TEST_F(EngineOverTcp, AWindowOfSubmitsCompletesEachWithItsOwnAnswer) {
  // No repeat on a machine too busy to answer within the usual time: the
  // count of submits below is that of one attempt each.
  engine.RecTimeout = 60000;
  engine.Window = 10;
  Open();
  smsc.NakOperation(51, 24, 1);
  TWindowRun run;
  run.Results.resize(10);
  run.Stamps.resize(10);
  for (int i = 0; i < 10; ++i)
    engine.StartSubmit("06" + std::to_string(i), "m" + std::to_string(i), false, 255, 0, 0, 0, 0,
                       [&run, i](const TOperationResult& r, TDateTime aSCTS) {
                         run.Results[i] = r;
                         run.Stamps[i] = aSCTS;
                         ++run.Done;
                       });
  EXPECT_EQ(engine.OperationsPending(), 10);
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return run.Done == 10; }, 10s));
  const auto submits = smsc.Operations(51);
  ASSERT_EQ(submits.size(), 10u);
  std::vector<int> trns;
  for (const auto& s : submits) trns.push_back(s.TRN);
  EXPECT_EQ(trns, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10})) << "each with its own TRN";
  EXPECT_EQ(run.Results[0].Kind, TOperationResult::okNak);
  EXPECT_EQ(run.Results[0].ErrorText(), "24-Message too long");
  for (int i = 1; i < 10; ++i) {
    EXPECT_TRUE(run.Results[i].Ack()) << i << ": " << run.Results[i].ErrorText();
    EXPECT_NE(run.Stamps[i], 0);
  }
  // The history keeps the TRN each message went out with.
  for (int i = 0; i < 10; ++i) {
    const auto it = std::find_if(submits.begin(), submits.end(), [&](const auto& s) {
      return s.Fields.size() > 20 && s.Fields[0] == "06" + std::to_string(i);
    });
    ASSERT_NE(it, submits.end());
    EXPECT_EQ(run.Results[i].TRN, it->TRN) << i;
  }
  EXPECT_TRUE(Dispatched().empty()) << "every answer found its own operation";
}

TEST_F(EngineOverTcp, TheLinksLossEndsWhatWaitsOnItAtOnce) {
  // Far beyond the wait below: only the loss can end them in time.
  engine.RecTimeout = 60000;
  engine.Window = 5;
  Open();
  smsc.WithholdAnswers(51);
  TWindowRun run;
  for (int i = 0; i < 3; ++i)
    engine.StartSubmit("0612", "x", false, 255, 0, 0, 0, 0,
                       [&run](const TOperationResult& r, TDateTime) {
                         run.Results.push_back(r);
                         ++run.Done;
                       });
  ASSERT_TRUE(smsc.WaitForOperations(51, 3, 5s));
  smsc.Drop();
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return run.Done == 3; }, 10s));
  for (const auto& r : run.Results) {
    EXPECT_EQ(r.Kind, TOperationResult::okFailed);
    EXPECT_TRUE(r.Written);
    EXPECT_NE(r.ErrorText().find("may or may not have taken it"), std::string::npos)
        << r.ErrorText();
  }
  EXPECT_EQ(smsc.Operations(51).size(), 3u) << "nothing is resent by itself";
}

// An SMSC that says "not now" (04) to a client over its limits slows the
// window down; the refused operation is sent again, not failed.
TEST_F(EngineOverTcp, AnOverloadRefusalNarrowsTheWindowAndResends) {
  engine.Window = 8;
  Open();
  smsc.NakOperation(51, 4, 1);
  std::optional<TOperationResult> result;
  engine.StartSubmit("0612", "x", false, 255, 0, 0, 0, 0,
                     [&](const TOperationResult& r, TDateTime) { result = r; });
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return result.has_value(); }, 5s));
  EXPECT_TRUE(result->Ack()) << result->ErrorText();
  EXPECT_EQ(smsc.Operations(51).size(), 2u);
}

}  // namespace
}  // namespace qorvel
