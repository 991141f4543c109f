#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "emi/frame.h"

namespace qorvel {
namespace {

using namespace std::string_literals;

// Records every event as one line: "F:" frame, "B:" rejection, "D:" body.
class RecordingSink : public TFrameAssembler::Sink {
 public:
  std::vector<std::string> events;
  void OnFrame(std::string_view frame) override { events.push_back("F:" + std::string(frame)); }
  void OnBadFrame(std::string_view message) override {
    events.push_back("B:" + std::string(message));
  }
  void OnDatagram(std::string_view body) override { events.push_back("D:" + std::string(body)); }
  int Count(char kind) const {
    int n = 0;
    for (const auto& e : events) n += e[0] == kind;
    return n;
  }
};

std::string Framed(std::string_view datagram) {
  return STX + std::string(datagram) + ETX;
}
std::string Body(const std::string& frame) {
  return frame.substr(1, frame.size() - 4);
}

const std::string kAck = Framed("00/00020/R/52/A///95");
const std::string kOp31 = Framed("00/00029/O/31/0123456/0539/5E");

std::vector<std::string> Good(const std::string& frame) {
  return {"F:" + frame, "D:" + Body(frame)};
}

std::vector<std::string> Bad(const std::string& frame, const char* message) {
  return {"F:" + frame, "B:"s + message};
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<std::string> FeedWhole(std::string_view stream, TFrameAssembler& assembler) {
  RecordingSink sink;
  assembler.Feed(stream, sink);
  return sink.events;
}

std::vector<std::string> FeedBytewise(std::string_view stream, TFrameAssembler& assembler) {
  RecordingSink sink;
  for (char c : stream) assembler.Feed(std::string_view(&c, 1), sink);
  return sink.events;
}

TEST(FrameAssembler, DeliversAWholeFrame) {
  TFrameAssembler a;
  EXPECT_EQ(FeedWhole(kAck, a), Good(kAck));
  EXPECT_EQ(a.Pending(), 0u);
}

TEST(FrameAssembler, SameResultWhereverTheFrameIsSplit) {
  for (std::size_t cut = 0; cut <= kOp31.size(); ++cut) {
    TFrameAssembler a;
    RecordingSink sink;
    a.Feed(std::string_view(kOp31).substr(0, cut), sink);
    EXPECT_EQ(sink.events.empty(), cut < kOp31.size()) << cut;
    a.Feed(std::string_view(kOp31).substr(cut), sink);
    EXPECT_EQ(sink.events, Good(kOp31)) << cut;
    EXPECT_EQ(a.Pending(), 0u);
  }
  TFrameAssembler a;
  EXPECT_EQ(FeedBytewise(kOp31, a), Good(kOp31));
}

TEST(FrameAssembler, FramesAmongJunkInOneChunk) {
  std::string bad = Framed("00/00020/R/52/A///96");
  std::string stream = "junk\x03" + kAck + "\x03 noise" + kOp31 + bad + "tail" + kAck + "\x01";
  std::vector<std::string> expected =
      Concat({Good(kAck), Good(kOp31), Bad(bad, kBadChecksum), Good(kAck)});
  TFrameAssembler whole, bytewise;
  EXPECT_EQ(FeedWhole(stream, whole), expected);
  EXPECT_EQ(FeedBytewise(stream, bytewise), expected);
  EXPECT_EQ(whole.Pending(), 0u);
  EXPECT_EQ(bytewise.Pending(), 0u);
}

TEST(FrameAssembler, BytesBeforeAnyStxAreDroppedAtOnce) {
  TFrameAssembler a;
  EXPECT_TRUE(FeedWhole(std::string(5000, 'x') + "\x03\x03", a).empty());
  EXPECT_EQ(a.Pending(), 0u);
  EXPECT_TRUE(FeedWhole("abc\x02"
                        "00/",
                        a)
                  .empty());
  EXPECT_EQ(a.Pending(), 4u);  // only the partial frame from its STX
  a.Clear();
  EXPECT_EQ(a.Pending(), 0u);
}

// A frame cut off by a dropped connection, or a stray STX, must not swallow
// the frame that follows; nor must a partial frame whose ETX comes one byte
// after the longest frame could have ended.
TEST(FrameAssembler, AnStxInsideAPartialFrameDropsItAndRestartsThere) {
  const std::string cut =
      "\x02"
      "05/00020/R/5";
  const std::string overlong = STX + std::string(kMaxFrameLength - 1, 'x') + ETX;
  for (const std::string& stream :
       {cut + kAck, "\x02x" + kAck, "\x02\x02\x02" + kAck, overlong + kAck}) {
    for (bool bytewise : {false, true}) {
      TFrameAssembler a;
      auto events = bytewise ? FeedBytewise(stream, a) : FeedWhole(stream, a);
      const bool lone = stream[1] == STX;
      EXPECT_EQ(events, lone ? Good(kAck) : Concat({{"B:"s + kBadFormat}, Good(kAck)}))
          << bytewise << ' ' << stream;
    }
  }
}

TEST(FrameAssembler, ShortAndEmptyFramesAreBadFormat) {
  TFrameAssembler a;
  EXPECT_EQ(FeedWhole("\x02\x03", a), Bad("\x02\x03", kBadFormat));
  std::string sixteen = Framed("00/00016/O/31/F6");
  EXPECT_EQ(FeedWhole(sixteen + kAck, a), Concat({Bad(sixteen, kBadFormat), Good(kAck)}));
}

TEST(FrameAssembler, RoundTripsComposedFrames) {
  std::mt19937 rng(2026);
  for (int i = 0; i < 300; ++i) {
    int ot = static_cast<int>(rng() % 100), trn = static_cast<int>(rng() % 100);
    bool result = rng() % 2;
    std::string data(rng() % 120, '\0');
    for (char& c : data) {
      do c = static_cast<char>(rng() % 256);
      while (c == STX || c == ETX);
    }
    auto frame = ComposeFrame(ot, trn, result, data);
    ASSERT_TRUE(frame);
    TFrameAssembler a;
    RecordingSink sink;
    std::size_t cut = rng() % (frame->size() + 1);
    a.Feed(std::string_view(*frame).substr(0, cut), sink);
    a.Feed(std::string_view(*frame).substr(cut), sink);
    ASSERT_EQ(sink.Count('D'), 1);
    TDatagram d;
    ASSERT_TRUE(ParseDatagram(sink.events[1].substr(2), d));
    EXPECT_EQ(d.OT, ot);
    EXPECT_EQ(d.TRN, trn);
    EXPECT_EQ(d.Result, result);
    EXPECT_EQ(d.Data, data + "/");  // the trailing separator stays, even after no data
  }
}

TEST(FrameAssembler, TruncatedFrameWaitsThenFailsOnItsEtx) {
  for (std::size_t keep = 1; keep < kOp31.size() - 1; ++keep) {
    std::string partial = kOp31.substr(0, keep);
    TFrameAssembler a;
    RecordingSink sink;
    a.Feed(partial, sink);
    EXPECT_TRUE(sink.events.empty()) << keep;
    EXPECT_EQ(a.Pending(), keep);
    a.Feed("\x03", sink);
    const char* expected = keep - 1 < kMinDatagramLength ? kBadFormat : kBadLength;
    EXPECT_EQ(sink.events, Bad(partial + ETX, expected)) << keep;
    a.Feed(kAck, sink);
    EXPECT_EQ(sink.Count('D'), 1) << keep;
  }
}

bool IsHexCaseFlip(char original, char replacement) {
  return original != replacement && std::tolower(original) == std::tolower(replacement);
}

TEST(FrameAssembler, NoSingleChangedByteGetsThrough) {
  for (const std::string& frame : {kAck, kOp31}) {
    for (std::size_t at = 1; at + 1 < frame.size(); ++at) {
      for (int value = 0; value < 256; ++value) {
        std::string mutated = frame;
        mutated[at] = static_cast<char>(value);
        if (mutated == frame) continue;
        TFrameAssembler a;
        RecordingSink sink;
        a.Feed(mutated, sink);
        bool inChecksum = at + 3 >= frame.size();
        if (inChecksum && IsHexCaseFlip(frame[at], mutated[at])) {
          EXPECT_EQ(sink.Count('D'), 1);
        } else {
          ASSERT_EQ(sink.Count('D'), 0) << at << ' ' << value;
          EXPECT_GE(sink.Count('B'), std::max(sink.Count('F'), 1)) << at << ' ' << value;
        }
        // Whatever the damage, the next frame comes through.
        RecordingSink after;
        a.Feed(kAck, after);
        ASSERT_EQ(after.events, Good(kAck)) << at << ' ' << value;
      }
    }
  }
}

TEST(FrameAssembler, LongestPossibleFrameStillPasses) {
  auto frame = ComposeFrame(51, 0, false, std::string(kMaxDataLength, 'x'));
  ASSERT_TRUE(frame);
  TFrameAssembler whole, split;
  EXPECT_EQ(FeedWhole(*frame, whole), Good(*frame));
  RecordingSink sink;
  for (std::size_t at = 0; at < frame->size(); at += 4096)
    split.Feed(std::string_view(*frame).substr(at, 4096), sink);
  EXPECT_EQ(sink.events, Good(*frame));
}

TEST(FrameAssembler, OverlongPartialFrameIsDroppedAndAssemblyGoesOn) {
  std::string junk = STX + std::string(kMaxFrameLength - 2, 'x');
  TFrameAssembler a;
  RecordingSink sink;
  a.Feed(junk, sink);
  EXPECT_TRUE(sink.events.empty());
  EXPECT_EQ(a.Pending(), kMaxFrameLength - 1);
  a.Feed("y", sink);  // now it could only end longer than any frame
  EXPECT_EQ(sink.events, std::vector<std::string>{"B:"s + kBadFormat});
  EXPECT_EQ(a.Pending(), 0u);
  a.Feed("zz\x03" + kAck, sink);  // the rest of the overlong frame is junk
  EXPECT_EQ(sink.events, Concat({{"B:"s + kBadFormat}, Good(kAck)}));
}

TEST(FrameAssembler, StxFloodStaysBoundedInMemoryAndMessages) {
  TFrameAssembler a;
  RecordingSink sink;
  std::string flood(4096, STX);
  for (int i = 0; i < 100; ++i) {
    a.Feed(flood, sink);
    ASSERT_LT(a.Pending(), kMaxFrameLength);
  }
  EXPECT_TRUE(sink.events.empty()) << "lone STX bytes carry nothing worth a log line";
  a.Feed(kAck, sink);
  EXPECT_EQ(sink.events, Good(kAck));
}

// The events must not depend on how the stream is cut up.
TEST(FrameAssembler, ChunkingNeverChangesTheEvents) {
  std::mt19937 rng(99);
  const std::string pieces[] = {kAck,
                                kOp31,
                                "\x02",
                                "\x03",
                                "junk",
                                Framed("05/00020/R/53/A///9b"),
                                Framed("00/00020/R/52/A///00"),
                                std::string(3000, 'q')};
  for (int round = 0; round < 40; ++round) {
    std::string stream;
    for (int i = 0; i < 200; ++i) stream += pieces[rng() % std::size(pieces)];
    TFrameAssembler reference;
    std::vector<std::string> expected = FeedBytewise(stream, reference);
    TFrameAssembler whole, chunked;
    EXPECT_EQ(FeedWhole(stream, whole), expected);
    RecordingSink sink;
    for (std::size_t at = 0; at < stream.size();) {
      std::size_t n = 1 + rng() % 700;
      chunked.Feed(std::string_view(stream).substr(at, n), sink);
      at += n;
    }
    EXPECT_EQ(sink.events, expected);
    EXPECT_EQ(whole.Pending(), reference.Pending());
    EXPECT_EQ(chunked.Pending(), reference.Pending());
  }
}

TEST(FrameAssembler, ChunkingNeverChangesOverflowHandling) {
  std::mt19937 rng(5);
  for (int round = 0; round < 6; ++round) {
    std::string stream;
    while (stream.size() < 3 * kMaxFrameLength) {
      switch (rng() % 4) {
        case 0:
          stream += STX;
          break;
        case 1:
          stream += std::string(rng() % 60000, 'n');
          break;
        case 2:
          stream += kAck;
          break;
        default:
          stream += ETX;
          break;
      }
    }
    TFrameAssembler reference, chunked;
    std::vector<std::string> expected = FeedBytewise(stream, reference);
    RecordingSink sink;
    for (std::size_t at = 0; at < stream.size();) {
      std::size_t n = 1 + rng() % 150000;
      chunked.Feed(std::string_view(stream).substr(at, n), sink);
      at += n;
    }
    EXPECT_EQ(sink.events, expected) << round;
    EXPECT_EQ(chunked.Pending(), reference.Pending());
  }
}

}  // namespace
}  // namespace qorvel
