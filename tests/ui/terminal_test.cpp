#include "ui/terminal.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScrollBar>
#include <QElapsedTimer>
#include <QTextBlock>
#include <QTextCursor>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "connect/main_thread.h"

namespace qorvel {
namespace {

// Runs the event loop until `done()` holds; false after a generous wait.
template <typename Done>
bool ProcessUntil(Done done) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > 5000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

void ProcessFor(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool Shows(const TTerminal& t, const QString& text) {
  return ProcessUntil([&] { return t.toPlainText() == text; });
}

// Waits until work has been handed to the main thread, without running it:
// no events are processed meanwhile.
bool HandedOver() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (main_thread::PendingCount() == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(Terminal, IsAReadOnlyUnwrappedLogView) {
  TTerminal t;
  EXPECT_TRUE(t.isReadOnly());
  EXPECT_EQ(t.lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(t.MaxLines(), 100);
  EXPECT_EQ(t.property("MaxLines").toInt(), 100);
  t.setProperty("MaxLines", 7);
  EXPECT_EQ(t.MaxLines(), 7);
  ILogView& view = t;
  view.AddLine("through the interface");
  EXPECT_TRUE(Shows(t, "through the interface"));
}

TEST(Terminal, TeletypeStreamAndCaret) {
  TTerminal t;
  t.AddChars("ab\rX");
  ASSERT_TRUE(Shows(t, "Xb"));
  EXPECT_EQ(t.textCursor().position(), 1);

  TTerminal u;
  u.AddChars("ab\nc");
  ASSERT_TRUE(Shows(u, "ab\n  c"));
  EXPECT_EQ(u.textCursor().position(), 3 + 3);

  TTerminal v;
  v.AddChars("abc\b\bZ");
  ASSERT_TRUE(Shows(v, "aZc"));
  EXPECT_EQ(v.textCursor().position(), 2);
}

// Times are off by default, so the lines stay as they are; once on, each new
// line, whole or from the stream, begins with the time it was added.
TEST(Terminal, ShowTimesPrefixesNewLinesOnly) {
  TTerminal t;
  t.AddLine("before");
  ASSERT_TRUE(Shows(t, "before"));
  t.SetShowTimes(true);
  t.AddLine("after");
  t.AddChars("sent\r\nframe");
  ASSERT_TRUE(ProcessUntil([&] { return t.document()->blockCount() == 4; }))
      << t.toPlainText().toStdString();
  const QRegularExpression stamped(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d "));
  EXPECT_EQ(t.document()->firstBlock().text(), QStringLiteral("before"));
  const QString after = t.document()->findBlockByNumber(1).text();
  const QString frame = t.document()->findBlockByNumber(3).text();
  EXPECT_TRUE(after.contains(stamped) && after.endsWith(QStringLiteral(" after"))) << after.toStdString();
  EXPECT_TRUE(frame.contains(stamped) && frame.endsWith(QStringLiteral(" frame"))) << frame.toStdString();
}

// A long line scrolls the view sideways; the next short one is shown from
// its start again. Saving writes what is shown.
TEST(Terminal, AShortLineAfterALongOneIsShownFromItsStartAndSaves) {
  TTerminal t;
  t.resize(200, 100);
  t.show();
  t.AddChars(std::string(500, 'x'));
  ASSERT_TRUE(ProcessUntil([&] { return t.horizontalScrollBar()->value() > 0; }));
  t.AddChars("\r\nshort");
  ASSERT_TRUE(ProcessUntil([&] { return t.toPlainText().endsWith(QStringLiteral("short")); }));
  EXPECT_EQ(t.horizontalScrollBar()->value(), 0);
  t.SetWrapLines(true);
  EXPECT_TRUE(t.WrapLines());

  const QString path = QDir::temp().filePath(QStringLiteral("qorvel-terminal-save-test.txt"));
  ASSERT_TRUE(t.SaveTo(path));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), QByteArray(500, 'x') + "\nshort\n");
  file.remove();
  EXPECT_FALSE(t.SaveTo(QStringLiteral("/nonexistent-dir/x.txt")));
}

TEST(Terminal, AnOverlongLineIsShownCutWithItsLength) {
  TTerminal t;
  t.AddLine(std::string(1'000'000, 'm'));
  ASSERT_TRUE(ProcessUntil([&] { return !t.toPlainText().isEmpty(); }));
  EXPECT_EQ(t.toPlainText(),
            QString(static_cast<qsizetype>(TTerminal::kMaxShownLine), QLatin1Char('m')) +
                QStringLiteral("... (1000000 characters)"));
}

TEST(Terminal, LinesAndCharactersNeverShareALine) {
  TTerminal t;
  t.AddLine("x");
  t.AddChars("y");
  ASSERT_TRUE(Shows(t, "x\ny"));
  t.AddLine("z");
  ASSERT_TRUE(Shows(t, "x\ny\nz"));
  t.AddChars("w\r\n");
  ASSERT_TRUE(Shows(t, "x\ny\nz\nw\n"));
  EXPECT_EQ(t.textCursor().position(), t.toPlainText().size());
}

TEST(Terminal, KeepsTheLastMaxLinesLines) {
  TTerminal t;
  for (int i = 0; i < 150; ++i) t.AddLine("line " + std::to_string(i));
  ASSERT_TRUE(ProcessUntil([&] { return t.document()->lastBlock().text() == "line 149"; }));
  EXPECT_EQ(t.document()->blockCount(), 100);
  EXPECT_EQ(t.document()->firstBlock().text(), "line 50");
}

TEST(Terminal, PairsAndTheNullSafeHelpers) {
  TTerminal t;
  TTerminal* none = nullptr;
  AddPair(none, "Error", "lost");
  AddLine(none, "lost");
  AddChars(none, "lost");
  AddPair(&t, "Error", "Cannot open socket");
  AddLine(&t, "plain");
  AddChars(&t, "chars");
  EXPECT_TRUE(Shows(t, "Error: Cannot open socket\nplain\nchars"));
}

TEST(Terminal, ManyAdditionsAreShownByFewRedraws) {
  TTerminal t;
  t.SetMaxLines(2000);
  int redraws = 0;
  QObject::connect(&t, &QPlainTextEdit::textChanged, [&redraws] { ++redraws; });
  for (int i = 0; i < 1000; ++i) t.AddLine(std::to_string(i));
  ASSERT_TRUE(ProcessUntil([&] { return t.document()->blockCount() == 1000; }));
  ProcessFor(100);
  EXPECT_LE(redraws, 10);
}

TEST(Terminal, SeveralThreadsAtOnceLoseNothingAndKeepEachLineWhole) {
  TTerminal t;
  t.SetMaxLines(100000);
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> producers;
  for (int n = 0; n < kThreads; ++n) {
    producers.emplace_back([&t, n] {
      for (int i = 0; i < kEach; ++i) {
        const std::string id = std::to_string(n) + ":" + std::to_string(i);
        if (i % 2 == 0) {
          AddLine(&t, "L" + id);
        } else {
          AddChars(&t, "C" + id + "\r\n");
        }
      }
    });
  }
  const bool shownAll = ProcessUntil([&] {
    int lines = 0;
    for (auto b = t.document()->firstBlock(); b.isValid(); b = b.next()) {
      if (!b.text().isEmpty()) ++lines;
    }
    return lines == kThreads * kEach;
  });
  for (auto& p : producers) p.join();
  ASSERT_TRUE(shownAll);
  // A flush still to come must leave the lines as they are.
  ProcessFor(50);

  std::vector<int> nextLine(kThreads, 0), nextChars(kThreads, 1);
  int count = 0;
  for (auto b = t.document()->firstBlock(); b.isValid(); b = b.next()) {
    const QString text = b.text();
    if (text.isEmpty()) continue;
    ++count;
    const int n = text.mid(1, 1).toInt();
    ASSERT_TRUE(n >= 0 && n < kThreads) << text.toStdString();
    std::vector<int>& next = text[0] == 'L' ? nextLine : nextChars;
    ASSERT_EQ(text.mid(1), QString("%1:%2").arg(n).arg(next[static_cast<size_t>(n)]));
    next[static_cast<size_t>(n)] += 2;
  }
  EXPECT_EQ(count, kThreads * kEach);
}

TEST(Terminal, TheCaretEndsAtTheStreamWithoutSelection) {
  TTerminal t;
  t.AddChars("hello\rH");
  ASSERT_TRUE(Shows(t, "Hello"));
  t.selectAll();
  ASSERT_TRUE(t.textCursor().hasSelection());
  t.AddChars("E");
  ASSERT_TRUE(Shows(t, "HEllo"));
  EXPECT_FALSE(t.textCursor().hasSelection());
  EXPECT_EQ(t.textCursor().position(), 2);
}

TEST(Terminal, OctetsAreShownOneCharacterEach) {
  TTerminal t;
  const QString first = QString::fromLatin1(
      "caf\xE9 a\xA0"
      "b");
  t.AddLine(
      "caf\xE9 a\xA0"
      "b");
  t.AddChars("\xFF");
  ASSERT_TRUE(ProcessUntil([&] { return t.document()->lastBlock().text() == QChar(0xFF); }));
  EXPECT_EQ(t.document()->firstBlock().text(), first);
  // A later flush starts from the octets as they were: the control's plain
  // text would have turned the no-break space into a space.
  t.AddChars("!");
  ASSERT_TRUE(ProcessUntil([&] { return t.document()->lastBlock().text() == "\u00FF!"; }));
  EXPECT_EQ(t.document()->firstBlock().text(), first);
  EXPECT_EQ(t.document()->blockCount(), 2);
}

TEST(Terminal, TextSetByOthersIsKeptByTheNextFlush) {
  TTerminal t;
  t.AddLine("old");
  ASSERT_TRUE(Shows(t, "old"));
  t.setPlainText("replaced\nby hand");
  t.AddLine("new");
  EXPECT_TRUE(Shows(t, "replaced\nby hand\nnew"));
}

TEST(Terminal, DestructionRunsAFlushAlreadyHandedOver) {
  auto t = std::make_unique<TTerminal>();
  int redraws = 0;
  QObject::connect(t.get(), &QPlainTextEdit::textChanged, [&redraws] { ++redraws; });
  t->AddLine("last words");
  ASSERT_TRUE(HandedOver());
  t.reset();
  EXPECT_EQ(redraws, 1);
  ProcessFor(50);
  EXPECT_EQ(redraws, 1);
}

}  // namespace
}  // namespace qorvel
