// The engine over an in-memory transport: what goes out, byte for byte, and
// what the application is told.
#include "emi/emi_client.h"

#include <gtest/gtest.h>

#include <cmath>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "connect/application.h"
#include "connect/errors.h"
#include "connect/logger.h"
#include "connect/main_thread.h"
#include "emi/codec.h"
#include "fake_transport.h"
#include "test_clocks.h"

namespace qorvel {
namespace {

using namespace std::chrono_literals;
using testing::TFakeTransport;
using testing::TManualClock;
using testing::TSkippingClock;

std::string Frame(int ot, int trn, bool result, const std::string& data) {
  return *ComposeFrame(ot, trn, result, data);
}

TDatagram Parsed(const std::string& frame) {
  TDatagram d;
  EXPECT_TRUE(ParseDatagram(frame.substr(1, frame.size() - 4), d)) << frame;
  return d;
}

// Keeps every logged line as "<name>|<channel>|<text>"; any thread may log.
class TCaptureLogger : public TLogger {
 public:
  TCaptureLogger() { SetAutoOpen(true); }
  ~TCaptureLogger() override { CloseForDestruction(); }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> g(m_);
    return lines_;
  }

 protected:
  void DoOpen() override {}
  void DoClose() override {}
  void FormatText(const std::string& aLogName, std::uint8_t aChannel, const std::string& aText,
                  std::string& aResult) override {
    aResult = aLogName + "|" + std::to_string(aChannel) + "|" + aText;
  }
  void WriteText(const std::string& aText) override {
    std::lock_guard<std::mutex> g(m_);
    lines_.push_back(aText);
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> lines_;
};

struct TRxCommand {
  int OT, TRN;
  bool Result;
  std::string Data;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    main_thread::SetMainThread();
    engine.SetComDevice(&transport);
    engine.RecTimeout = 300;
    engine.RepeatTimeout = 50;
    engine.RepeatCount = 2;
    engine.OnRxCommand = [this](auto*, uint8_t aOT, uint8_t aTRN, bool aResult,
                                const std::string& aData) {
      std::lock_guard<std::mutex> g(m);
      commands.push_back({aOT, aTRN, aResult, aData});
    };
  }
  void TearDown() override {
    for (auto& t : later) t.join();
    transport.OnWrite = nullptr;
    transport.OnPrepare = nullptr;
  }

  // Delivers `bytes` from another thread after `delay`.
  void DeliverLater(std::string bytes, std::chrono::milliseconds delay) {
    later.emplace_back([this, bytes = std::move(bytes), delay] {
      std::this_thread::sleep_for(delay);
      transport.Deliver(bytes);
    });
  }

  // The peer answers every operation that the engine sends with `answer`.
  void AnswerEvery(int ot, const std::string& answer) {
    transport.OnWrite = [this, ot, answer](const std::string& bytes) {
      TDatagram d = Parsed(bytes);
      if (!d.Result && d.OT == ot) transport.Deliver(Frame(ot, d.TRN, true, answer));
    };
  }

  void OpenWithoutLogin() {
    TParams p;
    p.SetValue("SMT_KEEPALIVE_CMD", "0");
    engine.SetParams(p);
    engine.Open();
  }

  std::vector<TRxCommand> Commands() {
    std::lock_guard<std::mutex> g(m);
    return commands;
  }

  // Runs the main thread's hand-over work until `n` commands were dispatched.
  bool WaitForCommands(size_t n, std::chrono::milliseconds limit = 3000ms) {
    return main_thread::WaitOnMainThread([&] { return Commands().size() >= n; }, limit);
  }

  std::vector<std::string> WrittenWithOT(int ot, bool result) {
    std::vector<std::string> out;
    for (const auto& f : transport.Written()) {
      TDatagram d = Parsed(f);
      if (d.OT == ot && d.Result == result) out.push_back(f);
    }
    return out;
  }

  // Declared before the engine, which uses them until it is gone.
  TManualClock clock;
  TSkippingClock recorder;
  TFakeTransport transport;
  TEMIClient engine;
  std::mutex m;
  std::vector<TRxCommand> commands;
  std::vector<std::thread> later;
};

TEST_F(EngineTest, LoginSendsOperation60OnceAndOpensOnAck) {
  TParams p;
  p.SetValue("USER", "1234");
  p.SetValue("PASSWORD", "secret");
  engine.SetParams(p);
  AnswerEvery(60, "A//");
  engine.RepeatCount = 5;
  engine.Open();
  EXPECT_TRUE(engine.Active());
  EXPECT_TRUE(transport.Active());
  ASSERT_EQ(transport.Written().size(), 1u);
  EXPECT_EQ(transport.Written()[0],
            Frame(60, 0, false, "1234/6/5/1/" + TextToHex("secret") + "//0100/////"));
  EXPECT_EQ(transport.PurgeCount(), 1);
}

TEST_F(EngineTest, RefusedLoginClosesWithTheCodeAndItsText) {
  TParams p;
  p.SetValue("USER", "1234");
  engine.SetParams(p);
  AnswerEvery(60, "N/07/");
  try {
    engine.Open();
    FAIL() << "open succeeded";
  } catch (const EEMIError& e) {
    EXPECT_EQ(e.ErrorCode, 7);
    EXPECT_STREQ(e.what(), "07-Authentication failure");
  }
  EXPECT_FALSE(engine.Active());
  EXPECT_FALSE(transport.Active()) << "the transport goes back to its earlier state";
  EXPECT_EQ(transport.Written()[0], Frame(60, 0, false, "1234/6/5/1///0100/////"));
}

// A refusal is never shown as a blank failure, whatever code it carries.
TEST_F(EngineTest, ARefusedLoginAlwaysSaysWhatTheSmscAnswered) {
  struct TRow {
    std::string Answer;
    int Code;
    std::string Message;
  };
  const TRow rows[] = {
      {"N/00/", 0, "SMSC refused the operation with error code 00"},
      {"N/99/", 99, "SMSC refused the operation with error code 99"},
      {"N//", -1, "SMSC refused the operation without an error code"},
      {"N/xx/", -1, "SMSC refused the operation with error code xx"},
      {"N/$18/", -1, "SMSC refused the operation with error code $18"},
  };
  TParams p;
  p.SetValue("USER", "1234");
  engine.SetParams(p);
  for (const TRow& row : rows) {
    AnswerEvery(60, row.Answer);
    try {
      engine.Open();
      ADD_FAILURE() << row.Answer << " passed as accepted";
    } catch (const EEMIError& e) {
      EXPECT_EQ(e.ErrorCode, row.Code) << row.Answer;
      EXPECT_EQ(std::string(e.what()), row.Message) << row.Answer;
    }
    EXPECT_FALSE(engine.Active());
  }
}

TEST_F(EngineTest, UnansweredLoginIsSentOnceWhateverRepeatCount) {
  TParams p;
  p.SetValue("USER", "1234");
  engine.SetParams(p);
  engine.RepeatCount = 5;
  EXPECT_THROW(
      {
        try {
          engine.Open();
        } catch (const EEMIError& e) {
          EXPECT_EQ(e.ErrorCode, -1);
          EXPECT_STREQ(e.what(), "Expected server answer is \"ACK\" or \"NAK\"");
          throw;
        }
      },
      EEMIError);
  EXPECT_EQ(transport.Written().size(), 1u);
}

TEST_F(EngineTest, WithoutUserTheKeepAliveTakesTheLoginsPlace) {
  TParams p;
  p.SetValue("SMSC_ADC", "1234");
  engine.SetParams(p);
  AnswerEvery(31, "N/02/");
  engine.Open();  // a refused keep-alive does not stop the open
  EXPECT_TRUE(engine.Active());
  ASSERT_EQ(transport.Written().size(), 1u);
  EXPECT_EQ(transport.Written()[0], Frame(31, 0, false, "1234/0539"));
  EXPECT_FALSE(engine.CheckAlive()) << "kind 31 refused gives false";
}

TEST_F(EngineTest, KeepAliveKinds) {
  OpenWithoutLogin();
  EXPECT_TRUE(transport.Written().empty()) << "kind 0 sends nothing";
  EXPECT_TRUE(engine.CheckAlive());

  engine.SetParam("SMT_KEEPALIVE_CMD", "abc");
  engine.SetParam("USER", "77");
  AnswerEvery(31, "A//");
  EXPECT_TRUE(engine.CheckAlive());
  EXPECT_EQ(transport.Written().back(), Frame(31, 0, false, "77/0539"));

  engine.SetParam("SMT_KEEPALIVE_CMD", "51");
  engine.SetParam("SMT_KEEPALIVE_DA", "+441632960000");
  engine.SetParam("SMT_KEEPALIVE_OA", "1234");
  engine.SetParam("SMT_KEEPALIVE_TEXT", "ping");
  engine.SetParam("SMT_INT_PREFIX", "00");
  AnswerEvery(51, "N/04/");
  EXPECT_TRUE(engine.CheckAlive()) << "kind 51 ignores the answer";
  EXPECT_EQ(transport.Written().back(),
            Frame(51, 1, false, "00441632960000/1234/////////////////3//70696E67////////////"));

  engine.Close();
  size_t sent = transport.Written().size();
  EXPECT_FALSE(engine.CheckAlive());
  EXPECT_EQ(transport.Written().size(), sent) << "closed: nothing is sent";
}

TEST_F(EngineTest, UnansweredOperationIsRepeatedIdenticallyThenFails) {
  engine.SetClock(clock);
  OpenWithoutLogin();
  clock.Clear();
  std::vector<TMillis> sentAt;
  transport.OnWrite = [&](const std::string&) { sentAt.push_back(clock.Now()); };
  const TMillis start = clock.Now();
  std::string answer;
  EXPECT_THROW(engine.SendCommand(31, 0, "1/0539", answer), EEMIError);
  auto frames = transport.Written();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], frames[1]);
  ASSERT_EQ(sentAt.size(), 2u);
  EXPECT_EQ(sentAt[1] - sentAt[0], 300 + 200 + 50) << "RecTimeout, the fixed pause, RepeatTimeout";
  EXPECT_EQ(clock.Now() - start, 2 * 300 + 200 + 50 + 200) << "two full waits on RecTimeout";

  transport.Written();
  EXPECT_THROW(engine.SendCommand(31, 0, "1/0539", answer, -3), EEMIError);
  EXPECT_EQ(transport.Written().size(), 3u) << "a repeat count below one still makes one attempt";
}

TEST_F(EngineTest, NakReturnsFalseAndCheckAnswerRaises) {
  OpenWithoutLogin();
  AnswerEvery(51, "N/24/");
  std::string answer;
  EXPECT_FALSE(engine.SendCommand(51, 0, "x", answer));
  EXPECT_EQ(answer, "N/24//");
  EXPECT_EQ(engine.NakCode(), 24);
  try {
    engine.CheckAnswer();
    FAIL();
  } catch (const EEMIError& e) {
    EXPECT_EQ(e.ErrorCode, 24);
    EXPECT_STREQ(e.what(), "24-Message too long");
  }
  AnswerEvery(51, "A//x:010101120000");
  EXPECT_TRUE(engine.SendCommand(51, 0, "x", answer));
  EXPECT_EQ(engine.NakCode(), 0);
  EXPECT_NO_THROW(engine.CheckAnswer());
  EXPECT_EQ(engine.RxQueueCount(), 0) << "the claimed answer leaves the queue";
}

TEST_F(EngineTest, ReceivedOperationsAreAcknowledgedAndDispatched) {
  OpenWithoutLogin();
  engine.OnRxCommandBeforeAcknowledge = [](auto*, uint8_t aOT, uint8_t, bool, const std::string&,
                                           bool& aProcessed) { aProcessed = aOT == 53; };
  transport.Deliver("junk" + Frame(52, 7, false, "0611/0622") + Frame(53, 5, false, "a/b"));
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return transport.Written().size() >= 2; }, 3s));
  auto acks = transport.Written();
  EXPECT_EQ(acks[0],
            "\x02"
            "07/00020/R/52/A///9C\x03");
  EXPECT_EQ(acks[1],
            "\x02"
            "05/00020/R/53/A///9B\x03");
  ASSERT_TRUE(WaitForCommands(1));
  auto got = Commands();
  ASSERT_EQ(got.size(), 1u) << "the processed 53 is acknowledged but not handed over";
  EXPECT_EQ(got[0].OT, 52);
  EXPECT_EQ(got[0].TRN, 7);
  EXPECT_FALSE(got[0].Result);
  EXPECT_EQ(got[0].Data, "0611/0622/");
}

// Logging an acknowledgement runs the application's format handler, which
// may ask the engine about its queue: no engine lock may be held then.
TEST_F(EngineTest, AFormatHandlerMayAskAboutTheQueueWhileAFrameIsAcknowledged) {
  TCaptureLogger logger;
  engine.SetLogger(&logger);
  std::atomic<int> asked{0};
  engine.OnFormatLog = [&](TComponent*, uint8_t, std::string&) {
    engine.RxQueueCount();
    ++asked;
  };
  OpenWithoutLogin();
  transport.Deliver(Frame(52, 7, false, "0611/0622"));
  ASSERT_TRUE(WaitForCommands(1));
  EXPECT_EQ(transport.Written().size(), 1u);
  EXPECT_GE(asked.load(), 2) << "the frame and its acknowledgement were both logged";
  engine.Close();
  engine.SetLogger(nullptr);
}

TEST_F(EngineTest, BadFramesAreLoggedOnChannel3AndNotAcknowledged) {
  TCaptureLogger logger;
  engine.SetLogger(&logger);
  engine.SetLogName("EMI");
  OpenWithoutLogin();
  std::string bad = Frame(52, 1, false, "x");
  bad[bad.size() - 2] ^= 1;  // checksum
  transport.Deliver(bad +
                    "\x02"
                    "00/00099/O/52/x/00\x03" +
                    Frame(52, 2, false, "y"));
  ASSERT_TRUE(WaitForCommands(1));
  ASSERT_EQ(transport.Written().size(), 1u);
  EXPECT_EQ(Parsed(transport.Written()[0]).TRN, 2);
  const std::string good = FrameLogText(Frame(52, 2, false, "y"));
  const std::string ack = FrameLogText(transport.Written()[0]);
  EXPECT_EQ(logger.Lines(), (std::vector<std::string>{
                                "EMI|2|" + FrameLogText(bad),
                                "EMI|3|Bad check sum",
                                "EMI|2|<STX>00/00099/O/52/x/00<ETX>",
                                "EMI|3|Bad received datagram length",
                                "EMI|2|" + good,
                                "EMI|1|" + ack,
                            }));
  engine.Close();
  engine.SetLogger(nullptr);
}

TEST_F(EngineTest, SmscKeepAliveIsAcknowledgedButNeverQueued) {
  OpenWithoutLogin();
  engine.SetParam("SMSC_KEEPALIVE_CMD", "52");
  engine.SetParam("SMSC_KEEPALIVE_OA", "+441632960000");
  engine.SetParam("SMSC_KEEPALIVE_DA", "#5555");
  engine.SetParam("SMSC_KEEPALIVE_TEXT", "alive");
  std::atomic<int> seenBefore{0};
  engine.OnRxCommandBeforeAcknowledge = [&](auto*, uint8_t, uint8_t, bool, const std::string&,
                                            bool&) { ++seenBefore; };
  auto op52 = [](const std::string& text) {
    std::vector<std::string> f(28);
    f[0] = "5555";
    f[1] = "00441632960000";
    f[18] = "3";
    f[20] = TextToHex(text);
    return JoinFields(f);
  };
  transport.Deliver(Frame(52, 1, false, op52("alive")) + Frame(52, 2, false, op52("Alive")));
  ASSERT_TRUE(WaitForCommands(1));
  EXPECT_EQ(transport.Written().size(), 2u) << "both are acknowledged";
  auto got = Commands();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].TRN, 2) << "a text differing in case is a delivered message";
  EXPECT_EQ(seenBefore, 1);
}

TEST_F(EngineTest, BacklogThrottlePausesThenDrops) {
  engine.SetClock(clock);
  OpenWithoutLogin();
  clock.Clear();
  // The main thread dispatches nothing meanwhile, so the queue only grows.
  std::string chunk;
  for (int i = 0; i < 52; ++i) chunk += Frame(52, i % 100, false, "x");
  transport.Deliver(chunk);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (transport.Written().size() < 50 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(transport.Written().size(), 50u) << "datagrams beyond 50 are neither queued nor acked";
  EXPECT_EQ(engine.RxQueueCount(), 50);
  {
    std::vector<int> expected;
    for (int queued = 0; queued < 50; ++queued) {
      if (queued >= 10) expected.push_back(1000);
      if (queued >= 5) expected.push_back(200);
    }
    EXPECT_EQ(clock.Waits(), expected);
  }
  ASSERT_TRUE(WaitForCommands(50));
  EXPECT_EQ(engine.RxQueueCount(), 0);
}

// An answer that misses its attempt's wait but comes before the operation
// would go out again still counts: a second copy would be a second message.
TEST_F(EngineTest, AnAnswerDuringThePauseAfterTheWaitIsStillClaimed) {
  OpenWithoutLogin();
  transport.OnWrite = [&](const std::string& bytes) {
    if (!Parsed(bytes).Result) DeliverLater(Frame(31, 0, true, "A//late"), 300ms);
  };
  engine.RecTimeout = 200;
  engine.RepeatTimeout = 300;
  std::string answer;
  EXPECT_TRUE(engine.SendCommand(31, 0, "1/0539", answer));
  EXPECT_EQ(answer, "A//late/");
  EXPECT_EQ(WrittenWithOT(31, false).size(), 1u);
}

// Timers that fire a little after they are due, as a busy machine's do.
class TLateClock final : public IClock {
 public:
  TLateClock(TManualClock& aClock, int aLate) : clock_(aClock), late_(aLate) {}
  TMillis Now() const override { return clock_.Now(); }
  void Sleep(int aMilliseconds) override { clock_.Sleep(aMilliseconds); }
  bool WaitFor(TManualEvent& aEvent, int aMilliseconds) override {
    return clock_.WaitFor(aEvent, aMilliseconds);
  }
  TTimerId Post(int aDelay, std::function<void()> aWork) override {
    return clock_.Post(aDelay + late_, std::move(aWork));
  }
  void Cancel(TTimerId aTimer) override { clock_.Cancel(aTimer); }
  void RunUntil(const std::function<bool()>& aDone) override { clock_.RunUntil(aDone); }

 private:
  TManualClock& clock_;
  const int late_;
};

// MaxSubmitsPerSecond=1000 once gave 600 to 700 a second: each timer that
// fired late pushed every later submit back.
TEST_F(EngineTest, PacedSubmitsKeepTheirRateWhenTimersFireLate) {
  for (const int late : {0, 1}) {
    SCOPED_TRACE("timers " + std::to_string(late) + " ms late");
    TManualClock manual;
    TLateClock lateClock(manual, late);
    TFakeTransport wire;
    TEMIClient paced;
    paced.SetClock(lateClock);
    paced.SetComDevice(&wire);
    paced.Window = 100;
    paced.RecTimeout = 60000;
    paced.MaxSubmitsPerSecond = 500;
    TParams p;
    p.SetValue("SMT_KEEPALIVE_CMD", "0");
    paced.SetParams(p);
    paced.Open();
    std::vector<TMillis> sentAt;
    wire.OnWrite = [&](const std::string& bytes) {
      if (Parsed(bytes).OT == 51) sentAt.push_back(manual.Now());
    };
    constexpr int kSubmits = 50;
    for (int i = 0; i < kSubmits; ++i)
      paced.StartSubmit("0612345678", "m", false, 255, 0, 0, 0, 0, [](auto&&...) {});
    lateClock.RunUntil([&] { return wire.Written().size() >= kSubmits; });
    ASSERT_EQ(sentAt.size(), static_cast<size_t>(kSubmits));
    // Every 2 ms on average, and never ahead of that pace by more than one.
    const TMillis span = sentAt.back() - sentAt.front();
    EXPECT_LE(span, 2 * (kSubmits - 1) + 2);
    for (int i = 1; i < kSubmits; ++i)
      EXPECT_GE(sentAt[i] - sentAt[0], 2 * (i - 1)) << "submit " << i;
    wire.OnWrite = nullptr;
    paced.Close();
  }
}

// An answer that arrives while the application handles a received operation
// once reached the application as a stray result, and its operation waited in
// vain.
TEST_F(EngineTest, AnAnswerArrivingDuringADispatchStillEndsItsOperation) {
  engine.Window = 2;
  engine.RecTimeout = 30000;
  OpenWithoutLogin();
  std::atomic<int> trn{-1};
  transport.OnWrite = [&](const std::string& bytes) {
    TDatagram d = Parsed(bytes);
    if (d.Result || d.OT != 31) return;
    trn = d.TRN;
    transport.Deliver(Frame(52, 3, false, "a/b"));
  };
  engine.OnRxCommand = [&](auto*, uint8_t aOT, uint8_t aTRN, bool aResult,
                           const std::string& aData) {
    {
      std::lock_guard<std::mutex> g(m);
      commands.push_back({aOT, aTRN, aResult, aData});
    }
    if (aOT != 52) return;
    transport.Deliver(Frame(31, static_cast<uint8_t>(trn.load()), true, "A//"));
    // Until the reader has queued it behind the operation being handled.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (engine.RxQueueCount() < 2 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
  };
  std::optional<TOperationResult> result;
  engine.StartCommand(31, "1/0539", 0, [&](const TOperationResult& r) { result = r; });
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return result.has_value(); }, 5s));
  EXPECT_TRUE(result->Ack()) << result->ErrorText();
  ASSERT_EQ(Commands().size(), 1u);
  EXPECT_EQ(Commands()[0].OT, 52);
}

// An operation 52 just before the answer once made the submit go out twice.
TEST_F(EngineTest, OnlyTheOperationsOwnAnswerEndsItsWait) {
  OpenWithoutLogin();
  transport.OnWrite = [&](const std::string& bytes) {
    TDatagram d = Parsed(bytes);
    if (d.Result) return;
    transport.Deliver(Frame(52, 3, false, "a/b") + Frame(31, 9, true, "A//other"));
    DeliverLater(Frame(31, d.TRN, true, "A//"), 150ms);
  };
  engine.RecTimeout = 30000;
  std::string answer;
  EXPECT_TRUE(engine.SendCommand(31, 0, "1/0539", answer));
  EXPECT_EQ(WrittenWithOT(31, false).size(), 1u) << "the answer, not a repeat, ended the wait";
  EXPECT_EQ(WrittenWithOT(52, true).size(), 1u) << "acknowledged at once, during the wait";
  ASSERT_TRUE(WaitForCommands(2));
  EXPECT_EQ(Commands()[0].OT, 52);
  EXPECT_EQ(Commands()[1].Data, "A//other/") << "another TRN's result is not the answer";
}

// A late answer to one operation must not pass for the answer to the next.
TEST_F(EngineTest, EachOperationHasItsOwnTransactionNumber) {
  TParams p;
  p.SetValue("USER", "1234");
  p.SetValue("SMSC_ADC", "1234");
  engine.SetParams(p);
  engine.RepeatCount = 1;
  std::vector<int> trns;
  transport.OnWrite = [&](const std::string& bytes) {
    TDatagram d = Parsed(bytes);
    if (d.Result) return;
    trns.push_back(d.TRN);
    if (d.OT == 60) transport.Deliver(Frame(60, d.TRN, true, "A//"));
    // The first submit goes unanswered until the second one is out.
    if (d.OT == 51 && d.TRN == 2)
      transport.Deliver(Frame(51, 1, true, "A//late:010101120000") + Frame(51, 2, true, "N/24/"));
  };
  engine.Open();
  EXPECT_THROW(engine.SubmitMessage("1", "x", false, 255, 0, 0, 0, 0), EEMIError);
  try {
    engine.SubmitMessage("1", "x", false, 255, 0, 0, 0, 0);
    FAIL() << "the other operation's ACK was taken as this one's";
  } catch (const EEMIError& e) {
    EXPECT_EQ(e.ErrorCode, 24);
  }
  ASSERT_TRUE(WaitForCommands(1));
  EXPECT_TRUE(Commands()[0].Result);
  EXPECT_EQ(Commands()[0].TRN, 1);
  for (int i = 3; i < 100; ++i) engine.NextTransaction();
  EXPECT_EQ(engine.NextTransaction(), 0) << "99 is followed by 00";
  engine.Close();
  engine.Open();
  EXPECT_EQ(trns, (std::vector<int>{0, 1, 2, 0})) << "each open starts again at 00";
}

// A handler run while an operation finishes may send an operation of its own;
// the outer one must still see its own NAK.
TEST_F(EngineTest, ANestedOperationDoesNotHideARefusal) {
  OpenWithoutLogin();
  engine.SetParam("SMSC_ADC", "1234");
  engine.SetParam("SMT_KEEPALIVE_CMD", "31");
  bool nestedAlive = false;
  engine.OnRxCommand = [&](auto*, uint8_t aOT, uint8_t, bool, const std::string&) {
    if (aOT == 52) nestedAlive = engine.CheckAlive();
  };
  transport.OnWrite = [&](const std::string& bytes) {
    TDatagram d = Parsed(bytes);
    if (d.Result) return;
    if (d.OT == 51) transport.Deliver(Frame(52, 7, false, "a/b") + Frame(51, d.TRN, true, "N/24/"));
    if (d.OT == 31) transport.Deliver(Frame(31, d.TRN, true, "A//"));
  };
  try {
    engine.SubmitMessage("1", "x", false, 255, 0, 0, 0, 0);
    FAIL() << "a refused submit was reported as accepted";
  } catch (const EEMIError& e) {
    EXPECT_EQ(e.ErrorCode, 24);
    EXPECT_STREQ(e.what(), "24-Message too long");
  }
  EXPECT_TRUE(nestedAlive);
}

TEST_F(EngineTest, CloseKeepsTheQueueAndGivesTheTransportBack) {
  std::atomic<int> ownNotifications{0};
  transport.OnRxChar = ([&](TComponent*, int aCount) {
    ++ownNotifications;
    transport.ReadString(aCount);
  });
  transport.Open();  // opened before the engine: stays open after it
  OpenWithoutLogin();
  EXPECT_TRUE(transport.RxCharInThread.load());
  transport.Deliver(Frame(52, 1, false, "a"));
  // The main thread runs no hand-over work here, so nothing is dispatched yet.
  auto deadline = std::chrono::steady_clock::now() + 3s;
  while (engine.RxQueueCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
  engine.Close();
  EXPECT_EQ(engine.RxQueueCount(), 1);
  EXPECT_TRUE(transport.Active());
  EXPECT_FALSE(transport.RxCharInThread.load());
  transport.Deliver("raw");
  // Waits without running hand-over work, so the queued entry stays put.
  deadline = std::chrono::steady_clock::now() + 3s;
  while (ownNotifications == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
  EXPECT_GT(ownNotifications, 0) << "the transport's own handler is back";
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(engine.RxQueueCount(), 1);

  engine.Open();
  ASSERT_TRUE(WaitForCommands(1));
  EXPECT_EQ(Commands()[0].Data, "a/");
}

TEST_F(EngineTest, SubmitBuildsAllFieldsAndReadsTheTimeStamp) {
  OpenWithoutLogin();
  engine.SetParam("SMSC_ADC", "1234");
  engine.SetParam("SMT_INT_PREFIX", "00");
  AnswerEvery(51, "A//00441632960000:070503140559");
  TDateTime scts = engine.SubmitMessage("+441632960000", "Hello", false, 255, 0, 0, 0, 0);
  EXPECT_EQ(
      transport.Written().back(),
      Frame(51, 0, false, "00441632960000/1234//0//0////////0000/////3//48656C6C6F////////////"));
  EXPECT_EQ(DateTimeToStamp(scts), "0705031405");
  TDateTimeParts parts = DecodeDateTime(scts);
  EXPECT_EQ(parts.Second, 59);

  engine.SubmitMessage("#5555", std::string("\x00\x01\xFF", 3), true, 0, 255, 3, 2, 1.0 / 24);
  const std::string data = Parsed(transport.Written().back()).Data;
  EXPECT_EQ(FieldAt(data, 0), "5555");
  EXPECT_EQ(FieldAt(data, 3), "1");
  EXPECT_EQ(FieldAt(data, 5), "3");
  EXPECT_EQ(FieldAt(data, 12), DateTimeToStamp(NowDateTime() + 1.0 / 24));
  EXPECT_EQ(FieldAt(data, 13), "0255");
  EXPECT_EQ(FieldAt(data, 18), "4");
  EXPECT_EQ(FieldAt(data, 19), "24");
  EXPECT_EQ(FieldAt(data, 20), "0001FF");
  EXPECT_EQ(FieldAt(data, 24), "0");
  EXPECT_EQ(FieldAt(data, 25), "2");
  EXPECT_EQ(FieldCount(data), 34) << "33 fields and the trailing separator";

  // Nothing a caller passes can add or shift a field: such a submit is
  // refused before anything is logged or written.
  const size_t before = transport.Written().size();
  for (const char* da : {"0612/345", "abc12", "06\x03", "12345678901234567"})
    EXPECT_THROW(engine.StartSubmit(da, "x", false, 255, 0, 0, 0, 0, [](auto&&...) {}), EEMIError)
        << da;
  for (TDateTime vp : {-1.0, std::nan(""), 1e308})
    EXPECT_THROW(engine.StartSubmit("1", "x", false, 255, 0, 0, 0, vp, [](auto&&...) {}), EEMIError)
        << vp;
  engine.SetParam("SMSC_ADC", "12/34");
  EXPECT_THROW(engine.SubmitMessage("1", "x", false, 255, 0, 0, 0, 0), EEMIError);
  engine.SetParam("SMSC_ADC", "1234");
  EXPECT_EQ(transport.Written().size(), before);

  AnswerEvery(51, "A//");
  EXPECT_EQ(engine.SubmitMessage("1", "x", false, 255, 0, 0, 0, 0), 0);
  AnswerEvery(51, "A//nocolon");
  EXPECT_EQ(engine.SubmitMessage("1", "x", false, 255, 0, 0, 0, 0), 0);

  engine.Close();
  size_t sent = transport.Written().size();
  try {
    engine.SubmitMessage("1", "x", false, 255, 0, 0, 0, 0);
    FAIL();
  } catch (const EConnectError& e) {
    EXPECT_STREQ(e.what(), "Connection is inactive");
  }
  EXPECT_EQ(transport.Written().size(), sent);
}

// ---- hardening: lifetime, closing and failures around the wire ----------

TEST(EngineLifetime, DestroyingAnOpenEngineDuringAReceptionIsSafe) {
  main_thread::SetMainThread();
  TFakeTransport transport;
  auto engine = std::make_unique<TEMIClient>();
  engine->SetComDevice(&transport);
  TParams p;
  p.SetValue("SMT_KEEPALIVE_CMD", "0");
  engine->SetParams(p);
  std::atomic<int> handed{0};
  engine->OnRxCommand = [&](auto*, uint8_t, uint8_t, bool, const std::string&) { ++handed; };
  engine->OnRxChar = [&](auto*, char) { ++handed; };
  std::atomic<bool> inside{false};
  engine->OnRxCommandBeforeAcknowledge = [&](auto*, uint8_t, uint8_t, bool, const std::string&,
                                             bool&) {
    inside = true;
    std::this_thread::sleep_for(100ms);
  };
  engine->Open();
  transport.Deliver(Frame(52, 1, false, "a") + Frame(52, 2, false, "b"));
  while (!inside) std::this_thread::sleep_for(1ms);
  engine.reset();
  EXPECT_EQ(handed, 0) << "no application handler runs from inside the destruction";
  EXPECT_FALSE(transport.RxCharInThread.load());
}

TEST_F(EngineTest, CloseDuringABurstStopsTheReceptionAtOnce) {
  OpenWithoutLogin();
  // 60 operations in one write while the main thread dispatches nothing: the
  // throttle is in its one-second pauses when the close comes.
  std::string burst;
  for (int i = 0; i < 60; ++i) burst += Frame(52, i, false, "x");
  transport.Deliver(burst);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (engine.RxQueueCount() < 11 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
  ASSERT_GE(engine.RxQueueCount(), 11);
  auto start = std::chrono::steady_clock::now();
  engine.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  const size_t acked = transport.Written().size();
  EXPECT_LT(acked, 20u) << "the rest of the chunk is dropped unacknowledged";
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(transport.Written().size(), acked);
}

// While an operation waits, the main thread goes on handing received
// operations to the application, so a burst ahead of the answer is neither
// dropped by the backlog throttle nor holds the answer up past its time-out.
TEST_F(EngineTest, ABurstAheadOfAnAnswerIsHandedOnWhileTheOperationWaits) {
  engine.RecTimeout = 30000;
  OpenWithoutLogin();
  transport.OnWrite = [&](const std::string& bytes) {
    TDatagram d = Parsed(bytes);
    if (d.Result) return;
    std::string burst;
    for (int i = 0; i < 100; ++i) burst += Frame(52, i % 100, false, "x");
    transport.Deliver(burst + Frame(31, d.TRN, true, "A//"));
  };
  std::string answer;
  EXPECT_TRUE(engine.SendCommand(31, 0, "1/0539", answer));
  EXPECT_EQ(WrittenWithOT(31, false).size(), 1u);
  EXPECT_EQ(WrittenWithOT(52, true).size(), 100u) << "none dropped unacknowledged";
  ASSERT_TRUE(WaitForCommands(100));
}

TEST_F(EngineTest, ABusyHandlerThatThrowsNeverEndsTheProgram) {
  OpenWithoutLogin();
  std::vector<std::string> shown;
  SetErrorDisplay([&](const std::exception& e) { shown.push_back(e.what()); });
  engine.OnBusyChanged = [](auto*, bool aBusy) {
    if (!aBusy) throw std::runtime_error("busy display failed");
  };
  AnswerEvery(31, "A//");
  std::string answer;
  EXPECT_THROW(engine.SendCommand(31, 0, "1/0539", answer), std::runtime_error);
  EXPECT_TRUE(shown.empty());
  transport.OnWrite = nullptr;
  engine.RepeatCount = 1;
  EXPECT_THROW(engine.SendCommand(31, 0, "1/0539", answer), EEMIError) << "the real failure wins";
  EXPECT_EQ(shown, std::vector<std::string>{"busy display failed"});
  SetErrorDisplay(nullptr);
  engine.OnBusyChanged = nullptr;
}

// A frame cut off when the connection dropped must cost the next login nothing.
TEST_F(EngineTest, ReopeningForgetsAFrameCutOffByTheLastConnection) {
  TParams p;
  p.SetValue("USER", "1234");
  engine.SetParams(p);
  AnswerEvery(60, "A//");
  engine.ETXTimeout = 3000;
  engine.Open();
  transport.Deliver(
      "\x02"
      "05/00020/O/5");
  auto deadline = std::chrono::steady_clock::now() + 3s;
  while (transport.InputCount() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
  std::this_thread::sleep_for(20ms);
  engine.Close();
  auto start = std::chrono::steady_clock::now();
  engine.Open();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms)
      << "the login did not wait for the rest of the old frame";
}

// The transport hands bytes to the main thread until the engine has taken it
// over, and the main thread is blocked in the login.
TEST_F(EngineTest, BytesArrivingDuringTheOpenDoNotStallTheLogin) {
  transport.FollowRxCharInThread = true;
  TParams p;
  p.SetValue("USER", "1234");
  engine.SetParams(p);
  AnswerEvery(60, "A//");
  bool first = true;
  transport.OnPrepare = [&] {
    if (!first) return;
    first = false;
    transport.Deliver(Frame(52, 4, false, "early"));
    std::this_thread::sleep_for(100ms);
  };
  engine.Open();
  EXPECT_TRUE(engine.Active());
  EXPECT_EQ(WrittenWithOT(52, true).size(), 1u);
  ASSERT_TRUE(WaitForCommands(1));
  EXPECT_EQ(Commands()[0].Data, "early/");
}

// Keeps nothing and raises on every write, as a log file on a full disc does.
class TFailingLogger : public TLogger {
 public:
  TFailingLogger() { SetAutoOpen(true); }
  ~TFailingLogger() override { CloseForDestruction(); }
  std::atomic<int> Attempts{0};

 protected:
  void DoOpen() override {}
  void DoClose() override {}
  void FormatText(const std::string&, std::uint8_t, const std::string& aText,
                  std::string& aResult) override {
    aResult = aText;
  }
  void WriteText(const std::string&) override {
    ++Attempts;
    throw std::runtime_error("disc full");
  }
};

TEST_F(EngineTest, TrafficNeverDependsOnTheLog) {
  TFailingLogger logger;
  engine.SetLogger(&logger);
  std::mutex sm;
  std::vector<std::string> shown;
  SetErrorDisplay([&](const std::exception& e) {
    std::lock_guard<std::mutex> g(sm);
    shown.push_back(e.what());
  });
  OpenWithoutLogin();
  AnswerEvery(31, "A//");
  std::string answer;
  EXPECT_TRUE(engine.SendCommand(31, 0, "1/0539", answer));
  transport.Deliver(Frame(52, 1, false, "a"));
  ASSERT_TRUE(WaitForCommands(1));
  EXPECT_EQ(WrittenWithOT(52, true).size(), 1u) << "acknowledged all the same";
  EXPECT_GT(logger.Attempts, 3);
  {
    std::lock_guard<std::mutex> g(sm);
    EXPECT_EQ(shown, std::vector<std::string>{"Cannot write the log: disc full"});
  }
  engine.Close();
  engine.SetLogger(nullptr);
  SetErrorDisplay(nullptr);
}

TEST_F(EngineTest, AFailedWriteFailsTheOperationAtOnceAndSaysSo) {
  TCaptureLogger logger;
  engine.SetLogger(&logger);
  engine.SetLogName("EMI");
  OpenWithoutLogin();
  engine.RecTimeout = 3000;
  std::string answer;
  const std::string frame = FrameLogText(Frame(31, 0, false, "1/0539"));

  transport.WriteRaises = "Broken pipe";
  auto start = std::chrono::steady_clock::now();
  try {
    engine.SendCommand(31, 0, "1/0539", answer);
    FAIL();
  } catch (const EConnectError& e) {
    EXPECT_STREQ(e.what(), "Broken pipe");
  }
  transport.WriteRaises.clear();
  transport.WriteFails = true;
  try {
    engine.SendCommand(31, 0, "1/0539", answer);
    FAIL();
  } catch (const EEMIError& e) {
    EXPECT_EQ(e.ErrorCode, -1);
  }
  transport.WriteFails = false;
  // The transport notices the peer's close while the operation waits.
  later.emplace_back([this] {
    std::this_thread::sleep_for(100ms);
    transport.Close();
  });
  EXPECT_THROW(engine.SendCommand(31, 0, "1/0539", answer), EConnectError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms) << "no time-outs";
  EXPECT_EQ(logger.Lines(), (std::vector<std::string>{
                                "EMI|1|" + frame,
                                "EMI|3|Frame not sent: Broken pipe",
                                "EMI|1|" + frame,
                                "EMI|3|Frame not sent: 0 of 25 bytes written",
                                "EMI|1|" + frame,
                            }));
  engine.Close();
  engine.SetLogger(nullptr);
}

TEST_F(EngineTest, ReceivedCharactersAreKeptOnlyForAHandlerAndBounded) {
  OpenWithoutLogin();
  const std::string noise(3 * TEMIClient::kMaxRxChars, 'n');
  transport.Deliver(noise);
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return transport.InputCount() == 0; }, 3s));
  EXPECT_EQ(engine.RxCharsPending(), 0u) << "no OnRxChar handler: nothing kept";
  engine.Close();

  std::string seen;
  engine.OnRxChar = [&](auto*, char c) { seen += c; };
  OpenWithoutLogin();
  transport.Deliver(noise + "end");
  auto deadline = std::chrono::steady_clock::now() + 3s;
  while (transport.InputCount() != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(2ms);
  EXPECT_LE(engine.RxCharsPending(), TEMIClient::kMaxRxChars);
  auto ended = [&] { return seen.size() >= 3 && seen.compare(seen.size() - 3, 3, "end") == 0; };
  EXPECT_TRUE(main_thread::WaitOnMainThread(ended, 3s)) << "the newest characters are kept";
  EXPECT_LE(seen.size(), TEMIClient::kMaxRxChars);
}

}  // namespace
}  // namespace qorvel
