// The History page on a real message store: the rows as shown, sorted and
// filtered through the controls; the store's news reaching the table; a
// message's story on double-click; and a large store read a page at a time.
#include "ui/history_view.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/history_events.h"
#include "app/message_store.h"
#include "emi/codec.h"
#include "emi/codes.h"
#include "history_fixtures.h"
#include "temp_dir.h"

namespace qorvel {
namespace {

namespace hs = history_status;
using namespace history_fixtures;

// Not a constant of its own: the calendar's epoch is set up at start like it,
// in an order no one chooses.
TDateTime Stamp() {
  return EncodeDateTime({2024, 5, 2, 10, 15, 7, 0});
}

int64_t LocalMillis(int aYear, int aMonth, int aDay, int aHour, int aMinute, int aSecond) {
  return QDateTime(QDate(aYear, aMonth, aDay), QTime(aHour, aMinute, aSecond)).toMSecsSinceEpoch();
}

class HistoryViewTest : public ::testing::Test {
 protected:
  HistoryViewTest() {
    THistoryLimits keepAll;
    keepAll.KeepDays = 0;
    store =
        std::make_unique<TMessageStore>(dir.File("messages.db"), keepAll, events.StoreHandlers());
  }
  ~HistoryViewTest() override {
    view.reset();
    store.reset();
  }

  THistoryView& View() {
    if (!view) {
      view = std::make_unique<THistoryView>(store.get(), &events);
      view->resize(900, 500);
      view->show();
      EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }
    return *view;
  }

  template <typename T>
  T* Find(const char* aName) {
    T* widget = View().findChild<T*>(QLatin1String(aName));
    if (widget == nullptr) ADD_FAILURE() << "no " << aName;
    return widget;
  }

  THistoryModel& Model() { return *View().Model(); }

  // The ids of every row once each is read; 0 for a row still being read.
  std::vector<int64_t> Ids() {
    std::vector<int64_t> ids;
    for (int row = 0; row < Model().rowCount(); ++row)
      ids.push_back(Model().index(row, 0).data(THistoryModel::kIdRole).toLongLong());
    return ids;
  }

  // Waits until the table shows exactly aIds, every row read.
  ::testing::AssertionResult Shows(const std::vector<int64_t>& aIds) {
    if (QTest::qWaitFor([&] { return !Model().Counting() && Ids() == aIds; }))
      return ::testing::AssertionSuccess();
    std::string shown;
    for (int64_t id : Ids()) shown += std::to_string(id) + " ";
    return ::testing::AssertionFailure() << "the table shows " << shown;
  }

  QString Cell(int aRow, int aColumn, int aRole = Qt::DisplayRole) {
    return Model().index(aRow, aColumn).data(aRole).toString();
  }

  void ClickHeader(int aColumn) {
    QHeaderView* header = Find<QTableView>("HistoryTable")->horizontalHeader();
    const QPoint at(header->sectionViewportPosition(aColumn) + header->sectionSize(aColumn) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
  }

  testing::TTempDir dir;
  // The store posts to the events until it is gone.
  THistoryEvents events;
  std::unique_ptr<TMessageStore> store;
  std::unique_ptr<THistoryView> view;
};

TEST_F(HistoryViewTest, RowsShowNewestFirstAndSortAndFilterThroughTheControls) {
  const int64_t t0 = LocalMillis(2024, 5, 2, 10, 15, 0);
  const int64_t a = store->RecordSubmit(Submit("0612345678", "Hello", t0));
  store->RecordSubmitResult(a, true, Stamp(), "");
  const int64_t b = store->RecordSubmit(Submit("+31698765432", "Meeting at\nnoon", t0 + 1000));
  store->RecordSubmitResult(b, false, 0, "02-Syntax error");
  TRetrieveDeliverySMItem mobile;
  mobile.OA = "0611111111";
  mobile.DA = "1234";
  mobile.Msg = "Reply from a mobile " + std::string(70, 'x');
  mobile.SCTS = Stamp() + 3 * kSecond;
  const int64_t c = store->RecordReceived(mobile);
  const int64_t d = store->RecordSubmit(Submit("0612345678", "Second hello", t0 + 3000));
  store->RecordSubmitResult(d, true, Stamp() + 60 * kSecond, "");
  store->RecordNotification(Notification("0612345678", Stamp() + 60 * kSecond, 0));
  THistorySubmit data = Submit("0699999999", std::string("\x01\x02\xff", 3), t0 + 4000);
  data.Binary = true;
  const int64_t e = store->RecordSubmit(data);
  store->Flush();

  View();
  ASSERT_TRUE(Shows({e, d, c, b, a}));
  EXPECT_EQ(Find<QLabel>("HistoryCount")->text(), "5 messages");
  const std::vector<std::vector<QString>> cells = {
      {"2024-05-02 10:15:04", "out", "0699999999", "0102FF", "submitted", ""},
      {"2024-05-02 10:15:03", "out", "0612345678", "Second hello", "delivered",
       "2024-05-02 10:16:07"},
      {"", "in", "0611111111", "Reply from a mobile " + QString(40, 'x') + QChar(0x2026),
       "received", "2024-05-02 10:15:10"},
      {"2024-05-02 10:15:01", "out", "+31698765432", "Meeting at noon", "failed", ""},
      {"2024-05-02 10:15:00", "out", "0612345678", "Hello", "accepted", "2024-05-02 10:15:07"},
  };
  for (int row = 0; row < 5; ++row)
    for (int column = 0; column < THistoryModel::kColumnCount; ++column) {
      // A message from a mobile is stamped when it was recorded.
      if (row == 2 && column == THistoryModel::kTime) continue;
      EXPECT_EQ(Cell(row, column), cells[row][column]) << row << "," << column;
    }

  // Each status's colour leans to its own hue, whatever the theme.
  struct TTone {
    int Row;
    int Channel;  // 0 red, 1 green, 2 blue: the strongest
  };
  for (const TTone& tone : {TTone{1, 1}, TTone{3, 0}, TTone{2, 2}}) {
    const QColor colour =
        Model().index(tone.Row, THistoryModel::kStatus).data(Qt::ForegroundRole).value<QColor>();
    const int channels[] = {colour.red(), colour.green(), colour.blue()};
    EXPECT_EQ(std::max_element(channels, channels + 3) - channels, tone.Channel) << tone.Row;
  }

  // The headers that sort; the others leave the order as it was.
  struct TSortStep {
    int Column;
    std::vector<int64_t> Ids;
  };
  const TSortStep sorts[] = {
      {THistoryModel::kTime, {a, b, c, d, e}},    // the other way round
      {THistoryModel::kText, {a, b, c, d, e}},    // does not sort
      {THistoryModel::kNumber, {c, d, a, e, b}},  // 31698765432 after 06…
      {THistoryModel::kStatus, {a, d, b, c, e}},  // alphabetical
      {THistoryModel::kTime, {e, d, c, b, a}},
  };
  for (const TSortStep& step : sorts) {
    ClickHeader(step.Column);
    EXPECT_TRUE(Shows(step.Ids)) << "column " << step.Column;
  }
  QHeaderView* header = Find<QTableView>("HistoryTable")->horizontalHeader();
  EXPECT_EQ(header->sortIndicatorSection(), THistoryModel::kTime);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);

  struct TFilterStep {
    const char* Number;
    QString Text;
    const char* Status;
    std::vector<int64_t> Ids;
  };
  const TFilterStep filters[] = {
      {"0612", "", "", {d, a}},
      {"+3169", "", "", {b}},
      {"", "hello", "", {d}},
      {"", "ello", "", {d, a}},
      {"0612", "ello", "delivered", {d}},
      {"", "", "failed", {b}},
      {"", "", "unmatched", {}},
      {"", "", "", {e, d, c, b, a}},
  };
  QComboBox* status = Find<QComboBox>("HistoryStatus");
  for (const TFilterStep& step : filters) {
    Find<QLineEdit>("HistoryNumber")->setText(step.Number);
    QLineEdit* text = Find<QLineEdit>("HistoryText");
    text->setText(step.Text);
    status->setCurrentIndex(std::max(0, status->findData(QString(step.Status))));
    QTest::keyClick(text, Qt::Key_Return);
    EXPECT_TRUE(Shows(step.Ids)) << step.Number << "/" << step.Text.toStdString() << "/"
                                 << step.Status;
  }

  // A filter that cannot match as typed is named and not applied.
  struct TRefused {
    const char* Edit;
    const char* Typed;
    QString More;  // typed beyond ASCII
    QString Why;
  };
  const TRefused refused[] = {
      {"HistoryNumber", "06a1", QString(),
       "Number filter may hold only digits, after a leading \"+\" or \"#\": \"06a1\""},
      {"HistoryText", "5 ", QString::fromUtf8("€"),
       QString::fromUtf8("Text filter holds characters no message holds: €")},
  };
  for (const TRefused& step : refused) {
    QLineEdit* line = Find<QLineEdit>(step.Edit);
    line->clear();
    QTest::keyClicks(line, step.Typed);
    if (!step.More.isEmpty())
      QTest::sendKeyEvent(QTest::Click, line, Qt::Key_unknown, step.More, {});
    QLabel* count = Find<QLabel>("HistoryCount");
    EXPECT_TRUE(QTest::qWaitFor([&] { return count->text() == step.Why; }))
        << count->text().toStdString();
    EXPECT_TRUE(Shows({e, d, c, b, a}));
    line->clear();
    QTest::keyClick(line, Qt::Key_Return);
  }
}

TEST_F(HistoryViewTest, TheStoresNewsReachesTheTableAFewTimesASecond) {
  const int64_t id = store->RecordSubmit(Submit("0612345678", "Hello"));
  store->Flush();
  View();
  ASSERT_TRUE(Shows({id}));
  const auto shownStatus = [&] { return Cell(0, THistoryModel::kStatus); };
  EXPECT_EQ(shownStatus(), "submitted");

  store->RecordSubmitResult(id, true, Stamp(), "");
  EXPECT_TRUE(QTest::qWaitFor([&] { return shownStatus() == "accepted"; }));
  store->RecordNotification(Notification("0612345678", Stamp(), 1));
  EXPECT_TRUE(QTest::qWaitFor([&] { return shownStatus() == "buffered"; }));
  store->RecordNotification(Notification("0612345678", Stamp(), 0));
  EXPECT_TRUE(QTest::qWaitFor([&] { return shownStatus() == "delivered"; }));

  // A burst: every new message is news, yet the table reads the count and
  // its rows a few times, not once per message.
  const int64_t queriesBefore = Model().Queries();
  std::vector<int64_t> ids = {id};
  for (int i = 0; i < 300; ++i)
    ids.insert(ids.begin(), store->RecordSubmit(Submit("0698765432", "Burst")));
  store->Flush();
  EXPECT_TRUE(QTest::qWaitFor([&] { return Model().rowCount() == 301; }));
  EXPECT_TRUE(QTest::qWaitFor([&] { return Cell(0, THistoryModel::kText) == "Burst"; }));
  EXPECT_EQ(Model().index(0, 0).data(THistoryModel::kIdRole).toLongLong(), ids.front());
  EXPECT_EQ(Find<QLabel>("HistoryCount")->text(), "301 messages");
  EXPECT_LT(Model().Queries() - queriesBefore, 20);

  events.PostProblem("History store /x cannot be written: disk full");
  QLabel* problem = Find<QLabel>("HistoryProblem");
  EXPECT_TRUE(QTest::qWaitFor([&] { return problem->isVisible(); }));
  EXPECT_EQ(problem->text(), "History store /x cannot be written: disk full");
}

TEST_F(HistoryViewTest, DoubleClickShowsTheMessagesWholeStory) {
  THistorySubmit submit = Submit("0612345678", "Hello there");
  submit.MCLs = 1;
  submit.PID = 64;
  submit.NT = 3;
  submit.RPI = 1;
  submit.VP = 1.5;
  const int64_t id = store->RecordSubmit(submit);
  store->RecordSubmitResult(id, true, Stamp(), "", 7);
  store->RecordNotification(Notification("0612345678", Stamp(), 1, 107));
  store->RecordNotification(Notification("0612345678", Stamp(), 0));
  THistorySubmit data = Submit("0699999999", std::string("\x01\xff", 2));
  data.Binary = true;
  const int64_t binary = store->RecordSubmit(data);
  store->Flush();
  View();
  ASSERT_TRUE(Shows({binary, id}));

  QTableView* table = Find<QTableView>("HistoryTable");
  const auto open = [&](int aRow) -> THistoryStoryDlg* {
    // As a mouse does it: the first click, then the second as a double click.
    const QPoint at = table->visualRect(Model().index(aRow, THistoryModel::kNumber)).center();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, at);
    THistoryStoryDlg* dialog = nullptr;
    const bool shown = QTest::qWaitFor([&] {
      dialog = View().findChild<THistoryStoryDlg*>();
      return dialog != nullptr && dialog->isVisible();
    });
    return shown ? dialog : nullptr;
  };
  const auto field = [](QWidget* aDialog, const char* aName) {
    const QLabel* label = aDialog->findChild<QLabel*>(QLatin1String(aName));
    return label != nullptr ? label->text() : QString("(none)");
  };

  THistoryStoryDlg* dialog = open(1);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->windowTitle(), QString("Message %1 to 0612345678").arg(id));
  EXPECT_EQ(field(dialog, "StoryText"), "Hello there");
  EXPECT_EQ(field(dialog, "StoryOptions"),
            "MCLs 1, PID 0064, NT 3 (delivered, not delivered), RPI 1, VP 36 h");
  EXPECT_EQ(field(dialog, "StoryTRN"), "07");
  EXPECT_EQ(field(dialog, "StorySCTS"), "2024-05-02 10:15:07");
  EXPECT_TRUE(field(dialog, "StoryStatus").startsWith("delivered since "));
  const std::vector<std::vector<QString>> events = {
      {"submitted", "", "", "", ""},
      {"accepted", "", "", "2024-05-02 10:15:07", ""},
      {"notification", "buffered", QString::fromStdString(ReasonText(107)), "2024-05-02 10:15:07",
       "2024-05-02 10:15:12"},
      {"notification", "delivered", QString::fromStdString(ReasonText(0)), "2024-05-02 10:15:07",
       "2024-05-02 10:15:12"},
  };
  QTableWidget* list = dialog->Events;
  ASSERT_EQ(list->rowCount(), 4);
  for (int row = 0; row < 4; ++row) {
    EXPECT_FALSE(list->item(row, 0)->text().isEmpty()) << "a time on every event";
    for (int column = 1; column < 6; ++column)
      EXPECT_EQ(list->item(row, column)->text(), events[row][column - 1]) << row << "," << column;
  }
  EXPECT_EQ(list->item(3, 6)->text(), "Message delivered");
  dialog->close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return View().findChild<THistoryStoryDlg*>() == nullptr; }));

  dialog = open(0);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(field(dialog, "StoryText"), "01FF");
  dialog->close();
}

TEST_F(HistoryViewTest, ALargeStoreIsReadOnlyAPageAtATime) {
  constexpr int kRows = 20000;
  for (int i = 0; i < kRows; ++i) store->RecordSubmit(Submit("0612345678", "Hello"));
  store->Flush();

  View();
  QTableView* table = Find<QTableView>("HistoryTable");
  ASSERT_TRUE(QTest::qWaitFor([&] { return Model().rowCount() == kRows; }));
  const auto idAt = [&](int aRow) {
    return Model().index(aRow, 0).data(THistoryModel::kIdRole).toLongLong();
  };
  EXPECT_TRUE(QTest::qWaitFor([&] { return idAt(0) == kRows; }));
  // The first page, and perhaps once more for the news of the filling.
  EXPECT_LE(Model().RowsRead(), 2 * THistoryModel::kPageRows);

  // Rows far down are read when they come into view, newest first all the way.
  for (int row : {10000, kRows - 1, 4321}) {
    table->scrollTo(Model().index(row, 0));
    EXPECT_TRUE(QTest::qWaitFor([&] { return idAt(row) == kRows - row; })) << row;
  }
  EXPECT_LE(Model().RowsRead(), 10 * THistoryModel::kPageRows);
  EXPECT_EQ(Find<QLabel>("HistoryCount")->text(), QString("%L1 messages").arg(kRows));
}

}  // namespace
}  // namespace qorvel
