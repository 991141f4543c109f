#pragma once
// The History page: the message store's messages in a table that reads them
// a page at a time, so that a store of a million opens at once and scrolls
// smoothly; a filter by number, text and status; a message's whole story on
// double-click; and the store's news applied as it comes.
//
// Main thread only. The store and the events object must outlive the view and
// the model. The model runs the store's counts and page reads on a thread of
// its own, one at a time, and shows their results once they are back: the
// main thread never waits for a scan. A story (one message by id) is read on
// the main thread.
#include <QAbstractTableModel>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "app/message_store.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QTableView;
class QTableWidget;

namespace qorvel {

class THistoryEvents;

class THistoryModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum TColumn : int { kTime, kDirection, kNumber, kText, kStatus, kSCTS, kColumnCount };
  // Rows read at once; the view shows a few dozen.
  static constexpr int kPageRows = 200;
  // Pages kept; the least recently shown goes first.
  static constexpr int kCachedPages = 8;
  // News reads the count and the pages in view again at most this often.
  static constexpr int kRefreshMillis = 400;
  // Characters of a text the table shows before "…".
  static constexpr int kTextShown = 60;
  // The data role that gives a row's message id (0 while its page is read).
  static constexpr int kIdRole = Qt::UserRole;

  // Reads nothing until Start().
  explicit THistoryModel(TMessageStore& aStore, QObject* aParent = nullptr);
  // Waits for the query under way, if any.
  ~THistoryModel() override;

  // Starts the reading thread and reads the count and the first page; later
  // calls do nothing.
  void Start();
  bool Started() const { return loader_ != nullptr; }

  // Each reads the count and the first page anew; rows show the old ones
  // until then.
  void SetFilter(THistoryFilter aFilter);
  const THistoryFilter& Filter() const { return filter_; }
  void SetSort(THistorySort aSort);
  THistorySort Sort() const { return sort_; }

  // The store's news: the status of a row in view changes at once; the count
  // and the pages in view are read again kRefreshMillis later, so that a
  // burst costs a few reads a second.
  void StatusChanged(qint64 aId, const QString& aStatus);

  // The row as read, or nullptr while its page is being read.
  const THistoryRow* RowAt(int aRow) const;
  // The count is being read; rowCount() is the last one read.
  bool Counting() const { return counting_; }
  // Rows read from the store so far, and the queries (counts and pages) that read them.
  int64_t RowsRead() const { return rowsRead_; }
  int64_t Queries() const { return queries_; }

  int rowCount(const QModelIndex& aParent = {}) const override;
  int columnCount(const QModelIndex& aParent = {}) const override;
  QVariant data(const QModelIndex& aIndex, int aRole = Qt::DisplayRole) const override;
  QVariant headerData(int aSection, Qt::Orientation aOrientation,
                      int aRole = Qt::DisplayRole) const override;
  // Time sorts either way; number and status one way only (THistorySort);
  // the other columns do not sort.
  void sort(int aColumn, Qt::SortOrder aOrder = Qt::AscendingOrder) override;
  // The column and order that show aSort, for the header's indicator.
  static std::pair<int, Qt::SortOrder> SortColumn(THistorySort aSort);

 signals:
  // Counting began or ended.
  void CountStateChanged();

 private:
  class TLoader;
  struct TPage {
    std::vector<THistoryRow> Rows;
    uint64_t LastUse = 0;
  };
  // What a count job brings back: a reload's first page at once, then its count.
  struct TCounted {
    uint64_t Generation = 0;
    bool Reset = false;
    // The job ends with this one.
    bool Final = true;
    // -1: still being counted; the rows of Pages show meanwhile.
    int64_t Count = -1;
    std::map<int, std::vector<THistoryRow>> Pages;
    int Queries = 0;
  };

  // Notes that aPage is wanted and reads it when its turn comes.
  void Want(int aPage) const;
  // Starts the next job when none is under way.
  void Pump();
  void StartCount(bool aReset);
  void Counted(TCounted aResult);
  void PageRead(uint64_t aGeneration, int aPage, std::vector<THistoryRow> aRows);
  void Keep(int aPage, std::vector<THistoryRow> aRows);
  // A filter or sort change: what was read no longer counts.
  void Reload();

  TMessageStore& store_;
  THistoryFilter filter_;
  THistorySort sort_ = THistorySort::NewestFirst;
  std::unique_ptr<TLoader> loader_;
  // Bumped by a filter or sort change; results of an older one are dropped.
  uint64_t generation_ = 0;
  int count_ = 0;
  bool counting_ = false;
  bool busy_ = false;
  bool reloadWanted_ = false;
  bool refreshWanted_ = false;
  QTimer refreshTimer_;
  // data() is const but reads on demand: the pages and what is wanted are a cache.
  mutable std::map<int, TPage> pages_;
  mutable std::deque<int> wanted_;
  mutable uint64_t useClock_ = 0;
  int64_t rowsRead_ = 0;
  int64_t queries_ = 0;
};

// One message with every field and each of its events, in a window of its own.
class THistoryStoryDlg : public QDialog {
  Q_OBJECT

 public:
  explicit THistoryStoryDlg(const THistoryStory& aStory, QWidget* aParent = nullptr);

  // The events, one a row: time, event, status, reason, SCTS, DSCTS, text.
  QTableWidget* const Events;
};

class THistoryView : public QWidget {
  Q_OBJECT

 public:
  // Without a store (nullptr, or a store turned off) the page says "History
  // is off". aEvents (may be nullptr) brings the store's news and trouble.
  // Nothing is read before the page first shows.
  THistoryView(TMessageStore* aStore, THistoryEvents* aEvents, QWidget* aParent = nullptr);

  // nullptr without a store.
  THistoryModel* Model() const { return model_; }
  // Opens the story of the message on aRow of the table in a window of its
  // own; a message no longer there is reported in a box.
  void ShowStory(int aRow);

 protected:
  void showEvent(QShowEvent* aEvent) override;

 private:
  void ShowProblem(const QString& aText);
  // Reads the filter edits; a filter that cannot match as typed is named
  // and not applied.
  void ApplyFilter();
  void ShowCount();
  void SortClicked(int aColumn, Qt::SortOrder aOrder);

  TMessageStore* const store_;
  THistoryModel* model_ = nullptr;
  QLabel* Problem = nullptr;
  QLineEdit* NumberFilter = nullptr;
  QLineEdit* TextFilter = nullptr;
  QComboBox* StatusFilter = nullptr;
  QTableView* Table = nullptr;
  QLabel* CountLabel = nullptr;
  QString filterError_;
  // Typing applies the filter once the user pauses.
  QTimer filterTimer_;
};

}  // namespace qorvel
