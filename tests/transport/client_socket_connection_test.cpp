#include "transport/client_socket_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "connect/errors.h"
#include "connect/main_thread.h"
#include "fake_resolver.h"
#include "test_listener.h"
#include "tools/smsc/silent_port.h"
#include "transport/name_resolver.h"
#include "transport/socket_error.h"

namespace qorvel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ReceiveSome;
using testing::SendAll;
using testing::TFakeResolver;
using testing::TFd;
using testing::TTestListener;

struct Notice {
  int count;
  std::thread::id thread;
  Clock::time_point at;
};

// Collects notifications from whichever thread raises them.
class TRecorder {
 public:
  void Attach(TClientSocketConnection& c, bool readAll) {
    c.OnRxChar = [this, &c, readAll](TComponent* sender, int count) {
      std::string data;
      if (readAll) data = c.ReadString(count);
      {
        std::lock_guard g(lock_);
        senders_.push_back(sender);
        notices_.push_back({count, std::this_thread::get_id(), Clock::now()});
        received_ += data;
      }
      // A WaitFor on the main thread looks again at once, not a slice later.
      main_thread::NotifyWaiters();
    };
  }
  // Waits (driving the main thread's hand-over) until `n` notices have come.
  bool WaitFor(std::size_t n, std::chrono::milliseconds timeout = 5s) {
    return main_thread::WaitOnMainThread(
        [&] {
          std::lock_guard g(lock_);
          return notices_.size() >= n;
        },
        timeout);
  }
  std::vector<Notice> Notices() {
    std::lock_guard g(lock_);
    return notices_;
  }
  std::string Received() {
    std::lock_guard g(lock_);
    return received_;
  }
  std::vector<TComponent*> Senders() {
    std::lock_guard g(lock_);
    return senders_;
  }

 private:
  std::mutex lock_;
  std::vector<Notice> notices_;
  std::vector<TComponent*> senders_;
  std::string received_;
};

class ClientSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    connection.SetNameResolver(&resolver);
    connection.SetAddress("127.0.0.1");
    connection.SetPort(listener.Port());
  }
  TFd OpenAndAccept() {
    connection.Open();
    TFd peer = listener.Accept();
    EXPECT_GE(peer.Get(), 0) << "no connection reached the listener";
    return peer;
  }
  bool WaitForInput(int n) {
    return main_thread::WaitOnMainThread([&] { return connection.InputCount() >= n; }, 5s);
  }

  TTestListener listener;
  TFakeResolver resolver;
  TClientSocketConnection connection;
};

std::string SocketErrorText(int error, const std::string& api) {
  return "Socket error: " + SystemErrorText(error) + " (" + std::to_string(error) + "), on API '" +
         api + "'";
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EConnectError& e) {
    return e.what();
  }
  return "(nothing raised)";
}

// The error and how long the call took to raise it.
std::pair<std::string, Clock::duration> TimedErrorOf(const std::function<void()>& f) {
  const auto start = Clock::now();
  std::string error = ErrorOf(f);
  return {error, Clock::now() - start};
}

TEST_F(ClientSocket, ConnectsAndWritesToThePeer) {
  std::vector<std::string> events;
  connection.AfterOpen = [&](TConnection* c) {
    events.push_back(c->Active() ? "AfterOpen active" : "AfterOpen inactive");
  };
  TFd peer = OpenAndAccept();
  EXPECT_TRUE(connection.Active());
  EXPECT_TRUE(connection.SocketConnected());
  EXPECT_EQ(connection.InputCount(), 0);
  const std::string frame(
      "\x02"
      "01/00019/O/31/\0abc\x03",
      20);
  EXPECT_EQ(connection.WriteString(frame), 20);
  EXPECT_EQ(ReceiveSome(peer, frame.size()), frame);
  EXPECT_THAT(events, ::testing::ElementsAre("AfterOpen active"));
}

TEST_F(ClientSocket, InputCountIsMinusOneWhileClosed) {
  EXPECT_EQ(connection.InputCount(), -1);
  TFd peer = OpenAndAccept();
  SendAll(peer, "xy");
  ASSERT_TRUE(WaitForInput(2));
  connection.Close();
  EXPECT_EQ(connection.InputCount(), -1);
  EXPECT_EQ(connection.WriteString("late"), 0);
  EXPECT_EQ(connection.ReadString(4), "");
  EXPECT_FALSE(connection.SocketConnected());
}

TEST_F(ClientSocket, NotifiesOnTheReaderThreadWithTheWaitingCount) {
  TRecorder recorder;
  recorder.Attach(connection, true);
  connection.RxCharInThread = true;
  TFd peer = OpenAndAccept();
  SendAll(peer, "hello");
  ASSERT_TRUE(recorder.WaitFor(1));
  const auto notices = recorder.Notices();
  EXPECT_GE(notices[0].count, 1);
  EXPECT_LE(notices[0].count, 5);
  EXPECT_NE(notices[0].thread, std::this_thread::get_id());
  EXPECT_EQ(recorder.Senders()[0], &connection);
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return recorder.Received().size() == 5; }, 5s));
  EXPECT_EQ(recorder.Received(), "hello");
}

TEST_F(ClientSocket, NotifiesThroughTheMainThreadWhenNotInThread) {
  TRecorder recorder;
  recorder.Attach(connection, true);
  connection.RxCharInThread = false;
  TFd peer = OpenAndAccept();
  SendAll(peer, "abc");
  ASSERT_TRUE(recorder.WaitFor(1));
  EXPECT_EQ(recorder.Notices()[0].thread, std::this_thread::get_id());
  EXPECT_EQ(recorder.Notices()[0].count, 3);
  EXPECT_EQ(recorder.Received(), "abc");
}

TEST_F(ClientSocket, HandlerAndThreadFlagAreReadAfreshForEachNotification) {
  TRecorder first, second;
  first.Attach(connection, true);
  connection.RxCharInThread = false;
  TFd peer = OpenAndAccept();
  SendAll(peer, "1");
  ASSERT_TRUE(first.WaitFor(1));
  second.Attach(connection, true);
  connection.RxCharInThread = true;
  SendAll(peer, "2");
  ASSERT_TRUE(second.WaitFor(1));
  EXPECT_EQ(first.Received(), "1");
  EXPECT_EQ(second.Received(), "2");
  EXPECT_NE(second.Notices()[0].thread, std::this_thread::get_id());
}

TEST_F(ClientSocket, UnreadBytesAreReportedAgainAboutEveryHundredMilliseconds) {
  TRecorder recorder;
  recorder.Attach(connection, false);
  connection.RxCharInThread = true;
  TFd peer = OpenAndAccept();
  SendAll(peer, "abcd");
  ASSERT_TRUE(WaitForInput(4));
  // Not a single report: three more come for the same bytes (in about 300 ms;
  // the wait allows far more). And no busy loop: the reader's pause keeps
  // them apart, and load can only lengthen a pause.
  const std::size_t before = recorder.Notices().size();
  ASSERT_TRUE(recorder.WaitFor(before + 3));
  const auto notices = recorder.Notices();
  for (std::size_t i = 1; i < notices.size(); ++i) {
    EXPECT_GE(notices[i].count, notices[i - 1].count);
    EXPECT_GE(notices[i].at - notices[i - 1].at, 80ms);
  }
  EXPECT_EQ(notices.back().count, 4);
}

TEST_F(ClientSocket, PurgeInputDiscardsWaitingBytes) {
  TFd peer = OpenAndAccept();
  SendAll(peer, std::string(10000, 'z'));
  ASSERT_TRUE(WaitForInput(10000));
  connection.PurgeInput();
  EXPECT_EQ(connection.InputCount(), 0);
  SendAll(peer, "after");
  ASSERT_TRUE(WaitForInput(5));
  EXPECT_EQ(connection.ReadString(100), "after");
}

TEST_F(ClientSocket, CloseDiscardsWaitingBytesAndEndsTheConnectionInOrder) {
  std::vector<std::string> events;
  connection.BeforeClose = [&](TConnection*) { events.push_back("BeforeClose"); };
  connection.AfterClose = [&](TConnection* c) {
    events.push_back(c->Active() ? "AfterClose active" : "AfterClose inactive");
  };
  TFd peer = OpenAndAccept();
  SendAll(peer, "unread");
  ASSERT_TRUE(WaitForInput(6));
  connection.Close();
  EXPECT_FALSE(connection.Active());
  EXPECT_THAT(events, ::testing::ElementsAre("BeforeClose", "AfterClose inactive"));
  // Closing with unread input would reset the connection; drained, the peer
  // sees an orderly end.
  char byte;
  pollfd p{peer.Get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  EXPECT_EQ(::recv(peer.Get(), &byte, 1, 0), 0) << std::strerror(errno);
}

// A reader left in its poll would hold every close up for most of its 100 ms
// interval; woken, it ends at once. Load can slow any one close, never speed
// one up, so the fastest of several is what tells.
TEST_F(ClientSocket, CloseWakesTheReaderThreadAtOnce) {
  Clock::duration fastest = Clock::duration::max();
  for (int i = 0; i < 10; ++i) {
    TFd peer = OpenAndAccept();
    std::this_thread::sleep_for(20ms);  // the reader is in its wait now
    const auto start = Clock::now();
    connection.Close();
    fastest = std::min(fastest, Clock::now() - start);
  }
  EXPECT_LT(fastest, 50ms);
}

TEST_F(ClientSocket, NoAddressSpecified) {
  connection.SetAddress("");
  std::vector<std::string> events;
  connection.AfterOpen = [&](TConnection*) { events.push_back("AfterOpen"); };
  EXPECT_EQ(ErrorOf([&] { connection.Open(); }), "No address specified");
  EXPECT_FALSE(connection.Active());
  EXPECT_TRUE(events.empty());
}

TEST_F(ClientSocket, RefusedConnectionGivesTheSocketErrorNamingConnect) {
  const int port = listener.Port();
  listener.Close();
  connection.SetPort(port);
  const auto [error, took] = TimedErrorOf([&] { connection.Open(); });
  EXPECT_EQ(error, SocketErrorText(ECONNREFUSED, "connect"));
  EXPECT_LT(took, 1s) << "a refused connection must not wait for the connect bound";
  EXPECT_FALSE(connection.Active());
  EXPECT_EQ(connection.InputCount(), -1);
  try {
    connection.Open();
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.ErrorCode, ECONNREFUSED);
    EXPECT_EQ(e.Api, "connect");
  }
}

TEST_F(ClientSocket, ServiceTakesPrecedenceOverPort) {
  resolver.Services["emi"] = static_cast<std::uint16_t>(listener.Port());
  connection.SetPort(1);
  connection.SetService("emi");
  TFd peer = OpenAndAccept();
  EXPECT_TRUE(connection.Active());
  connection.Close();
  // An unknown service name gives port 0, where nothing listens.
  connection.SetPort(listener.Port());
  connection.SetService("qorvel-no-such-service");
  EXPECT_EQ(ErrorOf([&] { connection.Open(); }), SocketErrorText(ECONNREFUSED, "connect"));
  TFd nobody = listener.Accept(100);
  EXPECT_LT(nobody.Get(), 0) << "the port was used although a service was set";
  EXPECT_THAT(resolver.Asked, ::testing::ElementsAre("emi", "qorvel-no-such-service"));
}

TEST_F(ClientSocket, HostTakesPrecedenceOverAddress) {
  resolver.Hosts["smsc.test"] = "127.0.0.1";
  connection.SetAddress("127.0.0.2");  // nothing listens there
  connection.SetHost("smsc.test");
  TFd peer = OpenAndAccept();
  EXPECT_TRUE(connection.Active());
  EXPECT_THAT(resolver.Asked, ::testing::ElementsAre("smsc.test"));
}

TEST_F(ClientSocket, AHostThatCannotBeResolvedIsNamedInTheError) {
  connection.SetHost("qorvel-no-such-host.invalid");
  EXPECT_EQ(ErrorOf([&] { connection.Open(); }),
            "Cannot resolve host 'qorvel-no-such-host.invalid': Name or service not known");
  EXPECT_FALSE(connection.Active());
  TFd nobody = listener.Accept(100);
  EXPECT_LT(nobody.Get(), 0);
}

// A port is 16 bits: a larger number must not wrap round to another port.
TEST_F(ClientSocket, APortOutsideTheSixteenBitRangeIsRefused) {
  for (const std::int32_t port : {65536 + listener.Port(), -65536 + listener.Port(), -1}) {
    connection.SetPort(port);
    EXPECT_EQ(ErrorOf([&] { connection.Open(); }),
              "Port " + std::to_string(port) + " is outside 0 to 65535");
    EXPECT_FALSE(connection.Active());
    TFd nobody = listener.Accept(50);
    EXPECT_LT(nobody.Get(), 0) << "port " << port << " reached the listener";
  }
}

// The real look-up, for names that never leave the machine: a numeric host
// and a service from the local services file.
TEST_F(ClientSocket, ThePlatformsLookUpTakesNumericHostsAndLocalServices) {
  std::string reason;
  const auto address = SystemNameResolver().LookUpHost("127.0.0.1", reason);
  ASSERT_TRUE(address.has_value()) << reason;
  EXPECT_EQ(*address, htonl(INADDR_LOOPBACK));
  EXPECT_FALSE(SystemNameResolver().LookUpService("qorvel-no-such-service").has_value());
  connection.SetNameResolver(nullptr);
  connection.SetHost("127.0.0.1");
  TFd peer = OpenAndAccept();
  EXPECT_TRUE(connection.Active());
}

TEST_F(ClientSocket, AddressPropertiesCannotChangeWhileActive) {
  TFd peer = OpenAndAccept();
  const std::string active = "Connection is active";
  EXPECT_EQ(ErrorOf([&] { connection.SetAddress("10.0.0.1"); }), active);
  EXPECT_EQ(ErrorOf([&] { connection.SetHost("example"); }), active);
  EXPECT_EQ(ErrorOf([&] { connection.SetPort(1); }), active);
  EXPECT_EQ(ErrorOf([&] { connection.SetService("echo"); }), active);
  EXPECT_EQ(connection.Address(), "127.0.0.1");
  EXPECT_EQ(connection.Host(), "");
  EXPECT_EQ(connection.Port(), listener.Port());
  EXPECT_EQ(connection.Service(), "");
  connection.Close();
  connection.SetPort(1);
  EXPECT_EQ(connection.Port(), 1);
}

// Once the SMSC has ended the connection, whatever it sent last is still
// delivered; then the socket counts as lost, and a write fails at once
// instead of leaving the engine to wait for answers that cannot come.
TEST_F(ClientSocket, ThePeersEndOfTheConnectionLosesTheSocket) {
  struct Row {
    const char* how;
    std::string lastWords;
    bool reset;
    int error;
  };
  for (const Row& row :
       {Row{"orderly close", "bye", false, EPIPE}, Row{"reset", "", true, ECONNRESET}}) {
    SCOPED_TRACE(row.how);
    TRecorder recorder;
    recorder.Attach(connection, true);
    connection.RxCharInThread = true;
    TFd peer = OpenAndAccept();
    if (!row.lastWords.empty()) SendAll(peer, row.lastWords);
    if (row.reset) {
      const linger abort{1, 0};
      ::setsockopt(peer.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    peer.Reset();
    ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return !connection.SocketConnected(); }, 2s));
    EXPECT_EQ(recorder.Received(), row.lastWords);
    EXPECT_TRUE(connection.Active());
    EXPECT_EQ(connection.InputCount(), 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
      const auto [error, took] = TimedErrorOf([&] { connection.WriteString("01/00022/O/31/"); });
      EXPECT_EQ(error, SocketErrorText(row.error, "send"));
      EXPECT_LT(took, 1s) << "the write waited as for a peer that is slow to read";
    }
    EXPECT_EQ(connection.ReadString(10), "");
    connection.Close();
    EXPECT_FALSE(connection.Active());
  }
}

TEST_F(ClientSocket, ClosingTheSocketAloneKeepsTheComponentActive) {
  TFd peer = OpenAndAccept();
  connection.CloseSocket();
  EXPECT_TRUE(connection.Active());
  EXPECT_FALSE(connection.SocketConnected());
  EXPECT_EQ(connection.InputCount(), 0);
  EXPECT_EQ(ErrorOf([&] { connection.WriteString("x"); }), SocketErrorText(ENOTCONN, "send"));
  EXPECT_EQ(ReceiveSome(peer, 1, 2000), "");  // the peer sees the end
  connection.Close();
  connection.Open();
  EXPECT_TRUE(connection.SocketConnected());
}

// Waits until bytes reach `peer`: a write to it is under way.
bool BytesArrive(const TFd& peer) {
  pollfd p{peer.Get(), POLLIN, 0};
  return ::poll(&p, 1, 5000) == 1;
}

// An SMSC that stops reading: the stalled write gives up after its bound and
// loses the socket, and meanwhile the reader still reads what the SMSC sends.
TEST_F(ClientSocket, AStalledWriteEndsAtItsBoundWithoutHoldingUpTheReader) {
  TRecorder recorder;
  recorder.Attach(connection, true);
  connection.RxCharInThread = true;
  constexpr std::chrono::milliseconds kBound = 1s;
  connection.SetSendTimeout(kBound);
  TFd peer = OpenAndAccept();
  const std::string flood(64 << 20, 'f');  // far beyond what the buffers take
  std::string error;
  Clock::duration took{};
  const Clock::time_point started = Clock::now();
  std::thread writer(
      [&] { std::tie(error, took) = TimedErrorOf([&] { connection.WriteString(flood); }); });
  const bool writing = BytesArrive(peer);
  SendAll(peer, "abc");
  const bool heard = recorder.WaitFor(1);
  if (!heard) peer.Reset();  // let a write that never ends fail, so the test ends
  writer.join();
  ASSERT_TRUE(writing) << "the write never began";
  ASSERT_TRUE(heard);
  // The write cannot end before its bound: a reader held up behind it would
  // hear the bytes only after that.
  EXPECT_LT(recorder.Notices()[0].at, started + kBound) << "the reader waited behind the write";
  EXPECT_EQ(recorder.Received(), "abc");
  EXPECT_EQ(error, SocketErrorText(ETIMEDOUT, "send"));
  EXPECT_GE(took, kBound);
  // Ten times the bound, and still short of the 10 s a write has by default.
  EXPECT_LT(took, 10 * kBound);
  EXPECT_TRUE(connection.Active());
  EXPECT_FALSE(connection.SocketConnected());
  EXPECT_EQ(connection.InputCount(), 0);
  EXPECT_LT(TimedErrorOf([&] { connection.WriteString("x"); }).second, kBound / 2)
      << "a lost socket must fail a write at once, not wait for room";
}

TEST_F(ClientSocket, ClosingEndsAStalledWriteAtOnce) {
  TFd peer = OpenAndAccept();
  const std::string flood(64 << 20, 'f');
  std::string error;
  std::thread writer([&] { error = ErrorOf([&] { connection.WriteString(flood); }); });
  const bool writing = BytesArrive(peer);
  // Should the close hang, the peer's reset still ends the write.
  std::atomic<bool> closed{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 300 && !closed.load(); ++i) std::this_thread::sleep_for(10ms);
    if (!closed.load()) ::shutdown(peer.Get(), SHUT_RDWR);
  });
  const auto start = Clock::now();
  connection.CloseSocket();
  const auto took = Clock::now() - start;
  closed = true;
  writer.join();
  watchdog.join();
  EXPECT_TRUE(writing) << "the write never began";
  // The write would otherwise wait for its 10 s bound; the watchdog acts at 3 s.
  EXPECT_LT(took, 1s);
  EXPECT_THAT(error, ::testing::EndsWith("on API 'send'"));
  connection.Close();
  EXPECT_FALSE(connection.Active());
}

void IgnoreSignal(int) {}

// A send cut short (here by signals, while the peer reads slowly) goes on
// with the rest of the buffer: the peer gets the frame whole, never a part
// followed by the next frame.
TEST_F(ClientSocket, AWriteSendsTheWholeBufferThoughSignalsInterruptIt) {
  struct sigaction action {
  }, saved{};
  action.sa_handler = IgnoreSignal;  // deliberately without SA_RESTART
  ::sigaction(SIGUSR1, &action, &saved);
  TFd peer = OpenAndAccept();
  std::string frame(8 << 20, '\0');
  for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>('a' + i % 26);
  std::string got;
  std::thread reader([&] {
    while (got.size() < frame.size()) {
      const std::string part = ReceiveSome(peer, 1, 3000);
      if (part.empty()) break;
      got += part;
      std::this_thread::sleep_for(100us);
    }
  });
  std::atomic<bool> done{false};
  const pthread_t self = ::pthread_self();
  std::thread signaller([&] {
    while (!done.load()) {
      ::pthread_kill(self, SIGUSR1);
      std::this_thread::sleep_for(200us);
    }
  });
  int written = -1;
  const std::string error = ErrorOf([&] { written = connection.WriteString(frame); });
  done = true;
  signaller.join();
  reader.join();
  ::sigaction(SIGUSR1, &saved, nullptr);
  EXPECT_EQ(error, "(nothing raised)");
  EXPECT_EQ(written, static_cast<int>(frame.size()));
  EXPECT_EQ(got.size(), frame.size());
  EXPECT_TRUE(got == frame);
}

// A listener whose backlog is full lets further connection attempts go
// unanswered, as an address where nobody answers would.
TEST(ClientSocketConnect, AConnectionThatIsNeverAnsweredEndsAtItsBound) {
  TSilentPort unanswered;
  if (unanswered.Port() == 0) GTEST_SKIP() << "this system answers connections beyond a full backlog";

  TClientSocketConnection connection;
  connection.SetAddress("127.0.0.1");
  connection.SetPort(unanswered.Port());
  connection.SetConnectTimeout(500ms);
  const auto [error, took] = TimedErrorOf([&] { connection.Open(); });
  EXPECT_EQ(error, SocketErrorText(ETIMEDOUT, "connect"));
  EXPECT_GE(took, 450ms);
  // Ten times the bound, and short of the 15 s a connection has by default.
  EXPECT_LT(took, 5s);
  EXPECT_FALSE(connection.Active());
}

// Connecting in the background: the caller goes on at once, the outcome comes
// through the main thread, and closing abandons the attempt without one.
TEST(ClientSocketConnect, StartOpenReportsLaterAndCloseAbandonsIt) {
  main_thread::SetMainThread();
  TSilentPort unanswered;
  if (unanswered.Port() == 0) GTEST_SKIP() << "this system answers connections beyond a full backlog";
  TClientSocketConnection connection;
  connection.SetAddress("127.0.0.1");
  connection.SetPort(unanswered.Port());
  int outcomes = 0;
  std::string failure;
  const auto record = [&](std::exception_ptr aFailure) {
    ++outcomes;
    try {
      if (aFailure) std::rethrow_exception(aFailure);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  };

  connection.StartOpen(record);
  EXPECT_TRUE(connection.Opening());
  EXPECT_THROW(connection.StartOpen(record), EConnectError);
  main_thread::WaitOnMainThread([] { return false; }, 100ms);
  EXPECT_EQ(outcomes, 0);
  connection.Close();
  EXPECT_FALSE(connection.Opening());
  main_thread::WaitOnMainThread([] { return false; }, 100ms);
  EXPECT_EQ(outcomes, 0) << "an abandoned open reports nothing";

  connection.SetConnectTimeout(200ms);
  connection.StartOpen(record);
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return outcomes == 1; }, 5s));
  EXPECT_EQ(failure, SocketErrorText(ETIMEDOUT, "connect"));
  EXPECT_FALSE(connection.Active());

  TTestListener listener;
  connection.SetPort(listener.Port());
  bool openWhenAnnounced = false;
  connection.AfterOpen = [&](TConnection* c) { openWhenAnnounced = c->Active(); };
  failure.clear();
  connection.StartOpen(record);
  ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return outcomes == 2; }, 5s));
  EXPECT_EQ(failure, "");
  EXPECT_TRUE(connection.Active());
  EXPECT_TRUE(openWhenAnnounced);
  EXPECT_TRUE(connection.SocketConnected());
}

// Small frames written back to back must leave at once, not wait for the
// acknowledgement of the previous one (which the peer delays).
TEST_F(ClientSocket, SmallWritesInABurstAreNotHeldBack) {
  TFd peer = OpenAndAccept();
  constexpr int kRounds = 40;
  const auto start = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    connection.WriteString("a");
    connection.WriteString("b");
    ASSERT_EQ(ReceiveSome(peer, 2, 2000), "ab");
    SendAll(peer, "k");
    ASSERT_TRUE(WaitForInput(1));
    ASSERT_EQ(connection.ReadString(1), "k");
  }
  const auto took = Clock::now() - start;
  std::printf("%d request-reply rounds of two small writes: %.1f ms\n", kRounds,
              std::chrono::duration<double, std::milli>(took).count());
  EXPECT_LT(took, 600ms);
}

TEST_F(ClientSocket, DestroyingWhileTheReaderHandsWorkToTheMainThreadDoesNotDeadlock) {
  std::atomic<bool> queued{false};
  main_thread::SetWakeUp([&] { queued = true; });
  int notified = 0;
  TFd peer;
  {
    TClientSocketConnection doomed;
    doomed.SetAddress("127.0.0.1");
    doomed.SetPort(listener.Port());
    doomed.OnRxChar = [&](TComponent*, int) { ++notified; };
    doomed.Open();
    peer = listener.Accept();
    SendAll(peer, "x");
    // The reader thread is now waiting for the main thread to run its work.
    while (!queued.load()) std::this_thread::yield();
  }
  main_thread::SetWakeUp(nullptr);
  EXPECT_EQ(notified, 0) << "a notification ran after the close had begun";
  EXPECT_EQ(ReceiveSome(peer, 1, 2000), "");
}

TEST_F(ClientSocket, FailingHandlerNeitherEscapesNorSilencesTheReader) {
  for (const bool inThread : {true, false}) {
    connection.RxCharInThread = inThread;
    std::atomic<int> calls{0};
    std::string got;
    std::atomic<bool> read{false};
    connection.OnRxChar = [&](TComponent*, int count) {
      if (++calls == 1) throw std::runtime_error("handler");
      got += connection.ReadString(count);
      read = true;
    };
    TFd peer = OpenAndAccept();
    SendAll(peer, "x");
    ASSERT_TRUE(main_thread::WaitOnMainThread([&] { return read.load(); }, 5s));
    EXPECT_EQ(got, "x");
    EXPECT_EQ(calls.load(), 2);
    connection.Close();
    EXPECT_FALSE(connection.Active());
  }
}

// Bytes that come while the reader waits on an idle connection are noticed,
// after a short quiet spell and after ones longer than the reader's poll
// interval. How soon is for the idle_notice_bench program to tell.
TEST_F(ClientSocket, IdleConnectionNoticesBytes) {
  TRecorder recorder;
  recorder.Attach(connection, true);
  connection.RxCharInThread = true;
  TFd peer = OpenAndAccept();
  const std::chrono::milliseconds quiet[] = {3ms, 9ms, 150ms, 5ms, 250ms};
  std::size_t sent = 0;
  for (const auto spell : quiet) {
    std::this_thread::sleep_for(spell);
    SendAll(peer, "k");
    ASSERT_TRUE(recorder.WaitFor(++sent)) << "after " << spell.count() << " ms of quiet";
  }
  EXPECT_EQ(recorder.Received(), std::string(sent, 'k'));
  for (const Notice& notice : recorder.Notices())
    EXPECT_NE(notice.thread, std::this_thread::get_id());
}

TEST(ClientSocketObject, SecondOpenOfAConnectedSocketIsRefused) {
  TTestListener listener;
  TClientSocket socket;
  socket.Open({"", "127.0.0.1", listener.Port(), ""}, SystemNameResolver(), 5s);
  TFd peer = listener.Accept();
  EXPECT_EQ(ErrorOf([&] {
              socket.Open({"", "127.0.0.1", listener.Port(), ""}, SystemNameResolver(), 5s);
            }),
            "Socket already open");
  EXPECT_TRUE(socket.Connected());
}

// Runs in a child process: without any free descriptor no socket can exist.
// The limit is lifted again before the message is looked at, so that the
// sanitizers' own checks can run.
int OpenWithoutDescriptors() {
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  rlimit none = saved;
  none.rlim_cur = 0;
  ::setrlimit(RLIMIT_NOFILE, &none);
  TClientSocket socket;
  TSocketPeer peer;
  peer.Address = "127.0.0.1";
  peer.Port = 1;
  try {
    socket.Open(peer, SystemNameResolver(), 5s);
  } catch (const EConnectError& e) {
    ::setrlimit(RLIMIT_NOFILE, &saved);
    return std::string(e.what()) == "Can't create new socket" ? 0 : 1;
  }
  return 2;
}

TEST(ClientSocketObject, NoDescriptorLeftMeansNoSocket) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(OpenWithoutDescriptors()), ::testing::ExitedWithCode(0), "");
}

TEST(SocketErrorText, NamesTheTextTheNumberAndTheCall) {
  ESocketError e(ECONNRESET, "recv");
  EXPECT_EQ(std::string(e.what()), "Socket error: " + SystemErrorText(ECONNRESET) + " (" +
                                       std::to_string(ECONNRESET) + "), on API 'recv'");
  EXPECT_EQ(SystemErrorText(ECONNREFUSED), "Connection refused");
}

}  // namespace
}  // namespace qorvel
