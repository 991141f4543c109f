// Ending the event loop on SIGTERM, SIGINT and SIGHUP: the loop returns 0 as
// when the window closes, and the handlers that were there before come back.
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTimer>
#include <stdexcept>
#include <string>
#include <thread>

#include "main/quit_on_signal.h"

namespace qorvel::testing {
namespace {

volatile sig_atomic_t gPreviousCalls = 0;

void PreviousHandler(int) {
  gPreviousCalls = gPreviousCalls + 1;
}

struct sigaction Disposition(int aSignal) {
  struct sigaction current {};
  ::sigaction(aSignal, nullptr, &current);
  return current;
}

// Sets aSignal's handler for the test and puts the test program's own back.
class TDispositionScope {
 public:
  TDispositionScope(int aSignal, void (*aHandler)(int)) : signal_(aSignal) {
    struct sigaction action {};
    action.sa_handler = aHandler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal_, &action, &saved_);
  }
  ~TDispositionScope() { ::sigaction(signal_, &saved_, nullptr); }

 private:
  int signal_;
  struct sigaction saved_ {};
};

// Runs the application's loop, as the program does, until something ends it;
// should nothing, a far guard ends it with -1 so that the test fails rather
// than hangs.
int RunLoop() {
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
  guard.start(60000);
  return QApplication::exec();
}

class QuitOnSignal : public ::testing::TestWithParam<int> {};

TEST_P(QuitOnSignal, TheLoopEndsWithZeroAndThePreviousHandlerComesBack) {
  const int signal = GetParam();
  TDispositionScope scope(signal, PreviousHandler);
  gPreviousCalls = 0;
  int code = -2;
  {
    TQuitOnSignal quit;
    QSignalSpy caught(&quit, &TQuitOnSignal::Caught);
    EXPECT_NE(Disposition(signal).sa_handler, PreviousHandler);
    QTimer::singleShot(0, [signal] { ::raise(signal); });
    code = RunLoop();
    EXPECT_EQ(code, 0);
    ASSERT_EQ(caught.count(), 1);
    EXPECT_EQ(caught.at(0).at(0).toInt(), signal);
  }
  EXPECT_EQ(gPreviousCalls, 0) << "the signal was taken over while the object lived";
  EXPECT_EQ(Disposition(signal).sa_handler, PreviousHandler);
  ::raise(signal);
  EXPECT_EQ(gPreviousCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(EachSignal, QuitOnSignal, ::testing::ValuesIn(TQuitOnSignal::kSignals),
                         [](const ::testing::TestParamInfo<int>& aInfo) {
                           switch (aInfo.param) {
                             case SIGTERM:
                               return std::string("TERM");
                             case SIGINT:
                               return std::string("INT");
                             case SIGHUP:
                               return std::string("HUP");
                           }
                           return std::to_string(aInfo.param);
                         });

// The process's signals land on whichever thread does not block them: the
// bus's, the engine's reader, the platform's.
TEST(QuitOnSignalThreads, ASignalOnAnotherThreadEndsTheMainLoop) {
  TDispositionScope scope(SIGTERM, PreviousHandler);
  TQuitOnSignal quit;
  QSignalSpy caught(&quit, &TQuitOnSignal::Caught);
  std::thread other;
  QTimer::singleShot(0, [&other] { other = std::thread([] { ::raise(SIGTERM); }); });
  EXPECT_EQ(RunLoop(), 0);
  other.join();
  EXPECT_EQ(caught.count(), 1);
}

// Arriving while the program still starts up, before the loop runs, it is
// kept until the loop can end.
TEST(QuitOnSignalThreads, ASignalBeforeTheLoopRunsEndsItOnceItRuns) {
  TDispositionScope scope(SIGINT, PreviousHandler);
  TQuitOnSignal quit;
  ::raise(SIGINT);
  EXPECT_EQ(RunLoop(), 0);
}

TEST(QuitOnSignalThreads, AnIgnoredSignalStaysIgnored) {
  TDispositionScope scope(SIGHUP, SIG_IGN);
  {
    TQuitOnSignal quit;
    EXPECT_EQ(Disposition(SIGHUP).sa_handler, SIG_IGN);
    EXPECT_NE(Disposition(SIGTERM).sa_handler, SIG_IGN);
  }
  EXPECT_EQ(Disposition(SIGHUP).sa_handler, SIG_IGN);
}

TEST(QuitOnSignalThreads, OneObjectAtATime) {
  TDispositionScope scope(SIGTERM, PreviousHandler);
  {
    TQuitOnSignal first;
    EXPECT_THROW(TQuitOnSignal second, std::logic_error);
    EXPECT_NE(Disposition(SIGTERM).sa_handler, PreviousHandler) << "the refused one undid nothing";
  }
  EXPECT_EQ(Disposition(SIGTERM).sa_handler, PreviousHandler);
  TQuitOnSignal again;
  EXPECT_NE(Disposition(SIGTERM).sa_handler, PreviousHandler);
}

// The loop ended by a signal leaves the test program's later loops working.
TEST(QuitOnSignalThreads, LoopsRunAgainAfterwards) {
  {
    TDispositionScope scope(SIGTERM, PreviousHandler);
    TQuitOnSignal quit;
    QTimer::singleShot(0, [] { ::raise(SIGTERM); });
    ASSERT_EQ(RunLoop(), 0);
  }
  QTimer timer;
  timer.setSingleShot(true);
  QSignalSpy fired(&timer, &QTimer::timeout);
  timer.start(0);
  EXPECT_TRUE(fired.wait());
}

}  // namespace
}  // namespace qorvel::testing
