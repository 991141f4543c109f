#include "connect/communication_connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

namespace qorvel {
namespace {

using ::testing::ElementsAre;

// A byte stream over two strings: what was written and what waits to be read.
class TMemoryStream : public TCommunicationConnection {
 public:
  ~TMemoryStream() override { CloseForDestruction(); }

  std::string written;
  std::string waiting;
  int readLimit = 1 << 20;
  int writeLimit = 1 << 20;
  int readResultOverride = 0;
  bool overrideRead = false;

  int InputCount() override { return Active() ? static_cast<int>(waiting.size()) : -1; }
  void PurgeInput() override { waiting.clear(); }
  void PrepareTransmit() override {}
  int WriteBuffer(const void* buffer, int count) override {
    const int n = std::min(count, writeLimit);
    written.append(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
    return n;
  }
  int ReadBuffer(void* buffer, int count) override {
    if (overrideRead) return readResultOverride;
    const int n = std::min({count, readLimit, static_cast<int>(waiting.size())});
    std::memcpy(buffer, waiting.data(), static_cast<std::size_t>(n));
    waiting.erase(0, static_cast<std::size_t>(n));
    return n;
  }
  void Notify() { DoRxChar(InputCount()); }

 protected:
  void DoOpen() override {}
  void DoClose() override {}
};

TEST(CommunicationConnection, WriteStringWritesEveryByteIncludingZeros) {
  TMemoryStream s;
  const std::string frame(
      "\x02"
      "01/00\0/X\x03",
      11);
  EXPECT_EQ(s.WriteString(frame), 11);
  EXPECT_EQ(s.written, frame);
}

TEST(CommunicationConnection, WriteStringReturnsWhatTheTransportAccepted) {
  TMemoryStream s;
  s.writeLimit = 3;
  EXPECT_EQ(s.WriteString("abcdef"), 3);
  EXPECT_EQ(s.written, "abc");
}

TEST(CommunicationConnection, ReadStringIsCutToWhatWasRead) {
  TMemoryStream s;
  s.waiting = std::string("ab\0d", 4);
  const std::string got = s.ReadString(10);
  EXPECT_EQ(got.size(), 4u);
  EXPECT_EQ(got, std::string("ab\0d", 4));
}

TEST(CommunicationConnection, ReadStringTakesNoMoreThanAsked) {
  TMemoryStream s;
  s.waiting = "abcdef";
  EXPECT_EQ(s.ReadString(2), "ab");
  EXPECT_EQ(s.waiting, "cdef");
  EXPECT_EQ(s.ReadString(0), "");
  EXPECT_EQ(s.ReadString(-5), "");
  EXPECT_EQ(s.waiting, "cdef");
}

TEST(CommunicationConnection, ReadStringSurvivesAnInconsistentTransport) {
  TMemoryStream s;
  s.overrideRead = true;
  s.readResultOverride = -1;
  EXPECT_EQ(s.ReadString(4), "");
  s.readResultOverride = 99;
  EXPECT_EQ(s.ReadString(4).size(), 4u);
}

TEST(CommunicationConnection, RxCharFiresWithSenderAndCountOnlyWhenAssigned) {
  TMemoryStream s;
  s.Open();
  s.waiting = "xyz";
  s.Notify();  // nothing assigned: nothing happens
  std::vector<int> counts;
  TComponent* sender = nullptr;
  s.OnRxChar = [&](TComponent* from, int count) {
    sender = from;
    counts.push_back(count);
  };
  s.Notify();
  EXPECT_EQ(sender, &s);
  EXPECT_THAT(counts, ElementsAre(3));
}

TEST(CommunicationConnection, RxCharHandlerCanBeSwappedAndRestored) {
  TMemoryStream s;
  std::vector<std::string> calls;
  s.OnRxChar = [&](TComponent*, int) { calls.push_back("application"); };
  TCommRxCharEvent previous = s.OnRxChar;
  s.OnRxChar = [&](TComponent*, int) { calls.push_back("engine"); };
  s.RxCharInThread = true;
  s.Notify();
  s.OnRxChar = previous;
  s.RxCharInThread = false;
  s.Notify();
  EXPECT_THAT(calls, ElementsAre("engine", "application"));
  EXPECT_FALSE(s.RxCharInThread);
  s.OnRxChar = nullptr;
  EXPECT_FALSE(static_cast<bool>(s.OnRxChar));
}

TEST(CommunicationConnection, HandlerMayReplaceItselfWhileFiring) {
  TMemoryStream s;
  int first = 0, second = 0;
  s.OnRxChar = [&](TComponent*, int) {
    ++first;
    s.OnRxChar = [&](TComponent*, int) { ++second; };
  };
  s.Notify();
  s.Notify();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 1);
}

TEST(CommunicationConnection, InputCountIsMinusOneWhileClosed) {
  TMemoryStream s;
  s.waiting = "ab";
  EXPECT_EQ(s.InputCount(), -1);
  s.Open();
  EXPECT_EQ(s.InputCount(), 2);
}

}  // namespace
}  // namespace qorvel
