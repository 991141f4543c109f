#include "ui/terminal_model.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace qorvel {
namespace {

using TLines = TTerminalModel::TLines;

// Feeds a character stream through one flush onto an empty view.
TLines Stream(const std::string& chars, TTerminalModel& model) {
  model.AddChars(chars);
  return model.Flush({}).lines;
}

TEST(TerminalModel, TeletypeCases) {
  {
    TTerminalModel m;
    EXPECT_EQ(Stream("ab\rX", m), TLines{"Xb"});
    EXPECT_EQ(m.Column(), 1);
  }
  {
    TTerminalModel m;
    EXPECT_EQ(Stream("ab\nc", m), (TLines{"ab", "  c"}));
    EXPECT_EQ(m.Column(), 3);
  }
  {
    TTerminalModel m;
    EXPECT_EQ(Stream("abc\b\bZ", m), TLines{"aZc"});
  }
  {
    // The logger's line break starts an empty line at column 0.
    TTerminalModel m;
    EXPECT_EQ(Stream("one\r\ntwo\r\n", m), (TLines{"one", "two", ""}));
    EXPECT_EQ(m.Column(), 0);
  }
  {
    // Backspace erases nothing and stops at column 0; writing past the end pads.
    TTerminalModel m;
    EXPECT_EQ(Stream("\b\bab\r\b\b\n", m), (TLines{"ab", ""}));
    TTerminalModel pad;
    EXPECT_EQ(Stream("abc\r\n\bxyz\rQ", pad), (TLines{"abc", "Qyz"}));
  }
  {
    // Any other octet, also 0, TAB and those above 127, is written as it is.
    TTerminalModel m;
    EXPECT_EQ(Stream(std::string("a\0\t\xFF", 4), m), TLines{std::string("a\0\t\xFF", 4)});
  }
}

TEST(TerminalModel, TheStreamContinuesAcrossFlushesOnTheShownLines) {
  TTerminalModel m;
  m.AddChars("abc");
  TLines shown = m.Flush({}).lines;
  m.AddChars("\rX\n");
  shown = m.Flush(shown).lines;
  EXPECT_EQ(shown, (TLines{"Xbc", " "}));
  m.AddChars("y");
  auto result = m.Flush(shown);
  EXPECT_EQ(result.lines, (TLines{"Xbc", " y"}));
  EXPECT_EQ(result.caretLine, 1);
  EXPECT_EQ(result.caretColumn, 2);
}

TEST(TerminalModel, LinesAndCharactersNeverShareALine) {
  TTerminalModel m;
  m.AddLine("x");
  m.AddChars("y");
  EXPECT_EQ(m.Flush({}).lines, (TLines{"x", "y"}));

  // Whole lines added after characters also start a line of their own, and
  // characters after them start another.
  TTerminalModel n;
  n.AddChars("abc");
  TLines shown = n.Flush({}).lines;
  n.AddLine("line");
  shown = n.Flush(shown).lines;
  EXPECT_EQ(shown, (TLines{"abc", "line"}));
  n.AddChars("de");
  auto result = n.Flush(shown);
  EXPECT_EQ(result.lines, (TLines{"abc", "line", "de"}));
  EXPECT_EQ(result.caretColumn, 2);

  // Lines pending at a flush come before the characters pending with them.
  TTerminalModel o;
  o.AddChars("c1");
  o.AddLine("L1");
  o.AddChars("c2");
  o.AddLine("L2");
  EXPECT_EQ(o.Flush({"old"}).lines, (TLines{"old", "L1", "L2", "c1c2"}));
}

TEST(TerminalModel, MaxLinesKeepsTheLastLines) {
  TTerminalModel m;
  EXPECT_EQ(m.MaxLines(), 100);
  TLines shown;
  for (int i = 0; i < 150; ++i) {
    m.AddLine("line " + std::to_string(i));
    if (i % 7 == 0) shown = m.Flush(shown).lines;
  }
  shown = m.Flush(shown).lines;
  ASSERT_EQ(shown.size(), 100u);
  EXPECT_EQ(shown.front(), "line 50");
  EXPECT_EQ(shown.back(), "line 149");

  m.SetMaxLines(3);
  EXPECT_EQ(m.Flush(shown).lines, (TLines{"line 147", "line 148", "line 149"}));
}

TEST(TerminalModel, StreamLinesAreTrimmedOnlyByTheNextFlush) {
  TTerminalModel m;
  m.SetMaxLines(2);
  m.AddChars("1\r\n2\r\n3\r\n4");
  TLines shown = m.Flush({}).lines;
  EXPECT_EQ(shown, (TLines{"1", "2", "3", "4"}));
  shown = m.Flush(shown).lines;
  EXPECT_EQ(shown, (TLines{"3", "4"}));
  // The column still belongs to the last line.
  m.AddChars("5");
  EXPECT_EQ(m.Flush(shown).lines, (TLines{"3", "45"}));
}

TEST(TerminalModel, EveryAdditionWakesAndAFlushEmptiesThePendingStores) {
  int wakes = 0;
  TTerminalModel m([&wakes] { ++wakes; });
  m.AddLine("a");
  m.AddChars("b");
  m.AddLine("");
  EXPECT_EQ(wakes, 3);
  EXPECT_TRUE(m.HasPending());
  EXPECT_EQ(m.Flush({}).lines, (TLines{"a", "", "b"}));
  EXPECT_FALSE(m.HasPending());
  // With nothing pending a flush changes nothing.
  auto result = m.Flush({"a", "", "b"});
  EXPECT_EQ(result.lines, (TLines{"a", "", "b"}));
  EXPECT_EQ(result.caretColumn, 1);
}

TEST(TerminalModel, ARedefinedProcessCharIsUsed) {
  struct TUpper : TTerminalModel {
    void ProcessChar(char ch, TLines& lines) override {
      TTerminalModel::ProcessChar(ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 32) : ch, lines);
    }
  } m;
  EXPECT_EQ(Stream("ab\nc", m), (TLines{"AB", "  C"}));
}

TEST(TerminalModel, ConcurrentProducersLoseNothingAndNeverSplitALine) {
  TTerminalModel m;
  m.SetMaxLines(100000);
  constexpr int kThreads = 4, kLines = 500;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([&m, t] {
      for (int i = 0; i < kLines; ++i) {
        m.AddLine("T" + std::to_string(t) + " line " + std::to_string(i));
      }
    });
  }
  TLines shown;
  for (int round = 0; round < 50; ++round) shown = m.Flush(std::move(shown)).lines;
  for (auto& p : producers) p.join();
  shown = m.Flush(std::move(shown)).lines;
  ASSERT_EQ(shown.size(), size_t{kThreads * kLines});
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : shown) {
    int t = line[1] - '0';
    ASSERT_EQ(line, "T" + std::to_string(t) + " line " + std::to_string(next[t])) << "out of order";
    ++next[t];
  }
}

}  // namespace
}  // namespace qorvel
