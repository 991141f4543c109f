#include "ui/history_view.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QRegularExpression>
#include <QTableView>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <condition_variable>
#include <functional>
#include <thread>
#include <utility>

#include "app/history_events.h"
#include "connect/thread_annotations.h"
#include "emi/codec.h"
#include "emi/codes.h"
#include "ui/message_box.h"

namespace qorvel {
namespace {

namespace hs = history_status;

template <typename T>
T* Named(T* aWidget, const char* aName) {
  aWidget->setObjectName(QLatin1String(aName));
  return aWidget;
}

// Texts are octets, one character each, as everywhere in the window.
QString Shown(std::string_view aOctets) {
  return QString::fromLatin1(aOctets.data(), static_cast<qsizetype>(aOctets.size()));
}

std::string Octets(const QString& aText) {
  const QByteArray bytes = aText.toLatin1();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

QString LocalTime(int64_t aMillis) {
  if (aMillis == 0) return {};
  return QDateTime::fromMSecsSinceEpoch(aMillis).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// The SMSC's stamps are local time already.
QString StampText(TDateTime aValue) {
  if (aValue == 0) return {};
  const TDateTimeParts p = DecodeDateTime(aValue);
  return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day, p.Hour,
                           p.Minute, p.Second);
}

// The message as the user reads it: data in hex, a text on one line.
QString MessageText(const THistoryRow& aRow) {
  if (aRow.Binary) return Shown(TextToHex(aRow.Text));
  QString text = Shown(aRow.Text);
  for (QChar& c : text)
    if (c.unicode() < 0x20) c = QLatin1Char(' ');
  return text;
}

QString Cut(const QString& aText, int aLength) {
  return aText.size() > aLength ? aText.left(aLength) + QChar(0x2026) : aText;
}

enum class TTone { Good, Bad, Pending, Received, Unmatched, Plain };

TTone ToneOf(std::string_view aStatus) {
  if (aStatus == hs::kDelivered) return TTone::Good;
  if (aStatus == hs::kNotDelivered || aStatus == hs::kFailed) return TTone::Bad;
  if (aStatus == hs::kBuffered || aStatus == hs::kSubmitted || aStatus == hs::kAccepted)
    return TTone::Pending;
  if (aStatus == hs::kReceived) return TTone::Received;
  if (aStatus == hs::kUnmatched) return TTone::Unmatched;
  return TTone::Plain;
}

// Darker shades on a light base, lighter ones on a dark base, so that the
// text stays readable with either theme.
QColor ToneColor(TTone aTone) {
  const QPalette palette = QGuiApplication::palette();
  const bool dark = palette.color(QPalette::Base).lightness() < 128;
  switch (aTone) {
    case TTone::Good:
      return dark ? QColor(0x6f, 0xcf, 0x8a) : QColor(0x1e, 0x7b, 0x3a);
    case TTone::Bad:
      return dark ? QColor(0xf2, 0x7c, 0x7c) : QColor(0xb7, 0x1c, 0x1c);
    case TTone::Pending:
      return dark ? QColor(0xe8, 0xb3, 0x4f) : QColor(0x9a, 0x5b, 0x00);
    case TTone::Received:
      return dark ? QColor(0x82, 0xb1, 0xff) : QColor(0x1a, 0x56, 0xb8);
    case TTone::Unmatched:
      return palette.color(QPalette::Disabled, QPalette::Text);
    case TTone::Plain:
      break;
  }
  return palette.color(QPalette::Text);
}

QIcon Dot(const QColor& aColor) {
  static QHash<QRgb, QIcon> made;
  if (const auto found = made.constFind(aColor.rgba()); found != made.cend()) return *found;
  QPixmap pixmap(10, 10);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(aColor);
  painter.drawEllipse(1, 1, 8, 8);
  painter.end();
  return made[aColor.rgba()] = QIcon(pixmap);
}

const char* const kHeaders[] = {"Time", "Dir.", "Number", "Text", "Status", "SCTS"};

}  // namespace

// ---- the reading thread -----------------------------------------------------

class THistoryModel::TLoader {
 public:
  TLoader() : thread_([this] { Loop(); }) {}
  ~TLoader() {
    {
      TLockGuard guard(lock_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  TLoader(const TLoader&) = delete;
  TLoader& operator=(const TLoader&) = delete;

  void Run(std::function<void()> aJob) EXCLUDES(lock_) {
    {
      TLockGuard guard(lock_);
      jobs_.push_back(std::move(aJob));
    }
    wake_.notify_one();
  }

 private:
  void Loop() EXCLUDES(lock_) {
    for (;;) {
      std::function<void()> job;
      {
        TLockGuard guard(lock_);
        while (!stop_ && jobs_.empty()) wake_.wait(lock_);
        if (stop_) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  TMutex lock_;
  std::condition_variable_any wake_;
  std::deque<std::function<void()>> jobs_ GUARDED_BY(lock_);
  bool stop_ GUARDED_BY(lock_) = false;
  std::thread thread_;
};

// ---- THistoryModel ----------------------------------------------------------

THistoryModel::THistoryModel(TMessageStore& aStore, QObject* aParent)
    : QAbstractTableModel(aParent), store_(aStore) {
  refreshTimer_.setSingleShot(true);
  refreshTimer_.setInterval(kRefreshMillis);
  connect(&refreshTimer_, &QTimer::timeout, this, [this] {
    refreshWanted_ = true;
    Pump();
  });
}

THistoryModel::~THistoryModel() {
  // The job under way posts to this model: it must end first.
  loader_.reset();
}

void THistoryModel::Start() {
  if (loader_ != nullptr) return;
  loader_ = std::make_unique<TLoader>();
  Reload();
}

void THistoryModel::SetFilter(THistoryFilter aFilter) {
  filter_ = std::move(aFilter);
  if (Started()) Reload();
}

void THistoryModel::SetSort(THistorySort aSort) {
  if (aSort == sort_) return;
  sort_ = aSort;
  if (Started()) Reload();
}

void THistoryModel::Reload() {
  ++generation_;
  wanted_.clear();
  refreshWanted_ = false;
  reloadWanted_ = true;
  if (!counting_) {
    counting_ = true;
    emit CountStateChanged();
  }
  Pump();
}

void THistoryModel::StatusChanged(qint64 aId, const QString& aStatus) {
  if (!Started()) return;
  if (aStatus != Shown(hs::kMatched)) {
    for (auto& [number, page] : pages_) {
      const auto found = std::find_if(page.Rows.begin(), page.Rows.end(),
                                      [&](const THistoryRow& aRow) { return aRow.Id == aId; });
      if (found == page.Rows.end()) continue;
      found->Status = Octets(aStatus);
      found->StatusTime = QDateTime::currentMSecsSinceEpoch();
      const int row = number * kPageRows + static_cast<int>(found - page.Rows.begin());
      if (row < count_) emit dataChanged(index(row, kStatus), index(row, kStatus));
      break;
    }
  }
  // A new message, one gone, or one that left the filter's status: the
  // count and the rows in view follow a moment later.
  if (!refreshTimer_.isActive()) refreshTimer_.start();
}

void THistoryModel::Want(int aPage) const {
  const auto at = std::find(wanted_.begin(), wanted_.end(), aPage);
  if (at != wanted_.end()) wanted_.erase(at);
  wanted_.push_back(aPage);
  // Pages asked for long ago have scrolled away.
  while (wanted_.size() > static_cast<size_t>(kCachedPages)) wanted_.pop_front();
  const_cast<THistoryModel*>(this)->Pump();
}

void THistoryModel::Pump() {
  if (loader_ == nullptr || busy_) return;
  if (reloadWanted_ || refreshWanted_) {
    StartCount(reloadWanted_);
    return;
  }
  while (!wanted_.empty()) {
    const int page = wanted_.back();
    wanted_.pop_back();
    if (pages_.contains(page) || static_cast<int64_t>(page) * kPageRows >= count_) continue;
    busy_ = true;
    loader_->Run(
        [this, &store = store_, generation = generation_, filter = filter_, sort = sort_, page] {
          std::vector<THistoryRow> rows =
              store.Query(filter, sort, static_cast<int64_t>(page) * kPageRows, kPageRows);
          QMetaObject::invokeMethod(
              this,
              [this, generation, page, rows = std::move(rows)]() mutable {
                PageRead(generation, page, std::move(rows));
              },
              Qt::QueuedConnection);
        });
    return;
  }
}

void THistoryModel::StartCount(bool aReset) {
  // A reload starts at the top; news reads again the pages the user looked at last.
  std::vector<int> pages;
  if (!aReset) {
    std::vector<std::pair<uint64_t, int>> byUse;
    for (const auto& [number, page] : pages_) byUse.emplace_back(page.LastUse, number);
    std::sort(byUse.rbegin(), byUse.rend());
    for (size_t i = 0; i < byUse.size() && i < 3; ++i) pages.push_back(byUse[i].second);
  }
  reloadWanted_ = false;
  refreshWanted_ = false;
  busy_ = true;
  loader_->Run([this, &store = store_, generation = generation_, filter = filter_, sort = sort_,
                aReset, pages] {
    const auto post = [this](TCounted aResult) {
      QMetaObject::invokeMethod(
          this, [this, result = std::move(aResult)]() mutable { Counted(std::move(result)); },
          Qt::QueuedConnection);
    };
    TCounted result;
    result.Generation = generation;
    if (aReset) {
      // Counting a million rows takes longer than reading the first 200:
      // those show first.
      TCounted first = result;
      first.Reset = true;
      std::vector<THistoryRow>& rows = first.Pages[0];
      rows = store.Query(filter, sort, 0, kPageRows);
      first.Queries = 1;
      const bool all = rows.size() < static_cast<size_t>(kPageRows);
      if (all) first.Count = static_cast<int64_t>(rows.size());
      first.Final = all;
      post(std::move(first));
      if (all) return;
    }
    result.Count = store.Count(filter);
    result.Queries = 1;
    for (int page : pages) {
      const int64_t offset = static_cast<int64_t>(page) * kPageRows;
      if (offset >= result.Count) continue;
      result.Pages[page] = store.Query(filter, sort, offset, kPageRows);
      ++result.Queries;
    }
    post(std::move(result));
  });
}

void THistoryModel::Counted(TCounted aResult) {
  if (aResult.Final) busy_ = false;
  queries_ += aResult.Queries;
  for (const auto& [number, rows] : aResult.Pages) rowsRead_ += static_cast<int64_t>(rows.size());
  if (aResult.Generation == generation_) {
    const int count =
        aResult.Count < 0
            ? static_cast<int>(aResult.Pages.empty() ? 0 : aResult.Pages.begin()->second.size())
            : static_cast<int>(std::min<int64_t>(aResult.Count, INT_MAX));
    const bool reread = aResult.Reset || !aResult.Pages.empty();
    if (aResult.Reset) beginResetModel();
    if (reread) pages_.clear();
    for (auto& [number, rows] : aResult.Pages) Keep(number, std::move(rows));
    if (aResult.Reset) {
      count_ = count;
      endResetModel();
    } else {
      // Rows keep their places in the table; what they show is read anew.
      if (count > count_) {
        beginInsertRows({}, count_, count - 1);
        count_ = count;
        endInsertRows();
      } else if (count < count_) {
        beginRemoveRows({}, count, count_ - 1);
        count_ = count;
        endRemoveRows();
      }
      if (reread && count_ > 0) emit dataChanged(index(0, 0), index(count_ - 1, kColumnCount - 1));
    }
    if (aResult.Count >= 0) {
      counting_ = false;
      emit CountStateChanged();
    }
  }
  Pump();
}

void THistoryModel::PageRead(uint64_t aGeneration, int aPage, std::vector<THistoryRow> aRows) {
  busy_ = false;
  ++queries_;
  rowsRead_ += static_cast<int64_t>(aRows.size());
  if (aGeneration == generation_) {
    const int first = aPage * kPageRows;
    const int expected = std::min(kPageRows, count_ - first);
    const int got = static_cast<int>(aRows.size());
    Keep(aPage, std::move(aRows));
    if (got > 0)
      emit dataChanged(index(first, 0),
                       index(first + std::min(got, expected) - 1, kColumnCount - 1));
    // Rows went (retention, a notification that found its submit): count again.
    if (got < expected && !refreshTimer_.isActive()) refreshTimer_.start();
  }
  Pump();
}

void THistoryModel::Keep(int aPage, std::vector<THistoryRow> aRows) {
  pages_[aPage] = TPage{std::move(aRows), ++useClock_};
  while (pages_.size() > static_cast<size_t>(kCachedPages)) {
    auto oldest = pages_.end();
    for (auto it = pages_.begin(); it != pages_.end(); ++it)
      if (it->first != aPage &&
          (oldest == pages_.end() || it->second.LastUse < oldest->second.LastUse))
        oldest = it;
    pages_.erase(oldest);
  }
}

const THistoryRow* THistoryModel::RowAt(int aRow) const {
  if (aRow < 0 || aRow >= count_) return nullptr;
  const int number = aRow / kPageRows;
  const auto found = pages_.find(number);
  if (found == pages_.end()) {
    Want(number);
    return nullptr;
  }
  found->second.LastUse = ++useClock_;
  const size_t at = static_cast<size_t>(aRow % kPageRows);
  return at < found->second.Rows.size() ? &found->second.Rows[at] : nullptr;
}

int THistoryModel::rowCount(const QModelIndex& aParent) const {
  return aParent.isValid() ? 0 : count_;
}

int THistoryModel::columnCount(const QModelIndex& aParent) const {
  return aParent.isValid() ? 0 : kColumnCount;
}

QVariant THistoryModel::data(const QModelIndex& aIndex, int aRole) const {
  if (!aIndex.isValid() || aIndex.row() >= count_) return {};
  const THistoryRow* row = RowAt(aIndex.row());
  const int column = aIndex.column();
  if (row == nullptr) {
    if (aRole == Qt::DisplayRole && column == kTime) return QString(QChar(0x2026));
    return aRole == kIdRole ? QVariant(qint64{0}) : QVariant();
  }
  switch (aRole) {
    case Qt::DisplayRole:
      switch (column) {
        case kTime:
          return LocalTime(row->Time);
        case kDirection:
          return Shown(row->Direction);
        case kNumber:
          return Shown(row->Number);
        case kText:
          return Cut(MessageText(*row), kTextShown);
        case kStatus:
          return Shown(row->Status);
        case kSCTS:
          return StampText(row->SCTS);
      }
      break;
    case Qt::ToolTipRole:
      if (column == kText) return Cut(MessageText(*row), 1000);
      if (column == kStatus) {
        QString tip = tr("%1 since %2").arg(Shown(row->Status), LocalTime(row->StatusTime));
        if (!row->Error.empty()) tip += QLatin1Char('\n') + Shown(row->Error);
        return tip;
      }
      break;
    case Qt::ForegroundRole:
      if (column == kStatus) return ToneColor(ToneOf(row->Status));
      break;
    case Qt::DecorationRole:
      if (column == kStatus) return Dot(ToneColor(ToneOf(row->Status)));
      break;
    case kIdRole:
      return qint64{row->Id};
  }
  return {};
}

QVariant THistoryModel::headerData(int aSection, Qt::Orientation aOrientation, int aRole) const {
  // A click on the time header shows the newest first before the oldest.
  if (aRole == Qt::InitialSortOrderRole && aOrientation == Qt::Horizontal && aSection == kTime)
    return static_cast<int>(Qt::DescendingOrder);
  if (aRole != Qt::DisplayRole) return {};
  if (aOrientation == Qt::Vertical) return aSection + 1;
  if (aSection < 0 || aSection >= kColumnCount) return {};
  return tr(kHeaders[aSection]);
}

void THistoryModel::sort(int aColumn, Qt::SortOrder aOrder) {
  switch (aColumn) {
    case kTime:
      SetSort(aOrder == Qt::AscendingOrder ? THistorySort::OldestFirst : THistorySort::NewestFirst);
      break;
    case kNumber:
      SetSort(THistorySort::Number);
      break;
    case kStatus:
      SetSort(THistorySort::Status);
      break;
    default:
      break;
  }
}

std::pair<int, Qt::SortOrder> THistoryModel::SortColumn(THistorySort aSort) {
  switch (aSort) {
    case THistorySort::OldestFirst:
      return {kTime, Qt::AscendingOrder};
    case THistorySort::Number:
      return {kNumber, Qt::AscendingOrder};
    case THistorySort::Status:
      return {kStatus, Qt::AscendingOrder};
    case THistorySort::NewestFirst:
      break;
  }
  return {kTime, Qt::DescendingOrder};
}

// ---- THistoryStoryDlg -------------------------------------------------------

namespace {

QString DirectionText(std::string_view aDirection) {
  if (aDirection == kDirectionOut) return QObject::tr("outgoing");
  if (aDirection == kDirectionIn) return QObject::tr("from a mobile");
  if (aDirection == kDirectionNotification) return QObject::tr("a notification without its submit");
  return Shown(aDirection);
}

// The code and its text, as "107-…"; the code alone when the table lacks it.
QString ReasonShown(int aReason) {
  if (aReason < 0) return {};
  const std::string text = ReasonText(aReason);
  return text.empty() ? QString::asprintf("%03d", aReason) : Shown(text);
}

// A submit's validity is a number of days; a received message's is a date.
QString ValidityText(TDateTime aVP) {
  if (aVP <= 0) return {};
  if (aVP <= 3650) return QObject::tr("%1 h").arg(aVP * 24, 0, 'g', 6);
  return StampText(aVP);
}

QString OptionsText(const THistoryStory& aStory) {
  QStringList options;
  if (aStory.MCLs >= 0 && aStory.MCLs != 255) options << QStringLiteral("MCLs %1").arg(aStory.MCLs);
  if (aStory.PID >= 0) options << QStringLiteral("PID %1").arg(aStory.PID, 4, 10, QLatin1Char('0'));
  if (aStory.NT >= 0) {
    QStringList kinds;
    if (aStory.NT & 1) kinds << QObject::tr("delivered");
    if (aStory.NT & 2) kinds << QObject::tr("not delivered");
    if (aStory.NT & 4) kinds << QObject::tr("buffered");
    options << QStringLiteral("NT %1").arg(aStory.NT) +
                   (kinds.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(kinds.join(", ")));
  }
  if (aStory.RPI > 0) options << QStringLiteral("RPI %1").arg(aStory.RPI);
  if (const QString vp = ValidityText(aStory.VP); !vp.isEmpty())
    options << QStringLiteral("VP ") + vp;
  return options.isEmpty() ? QObject::tr("none") : options.join(QStringLiteral(", "));
}

}  // namespace

THistoryStoryDlg::THistoryStoryDlg(const THistoryStory& aStory, QWidget* aParent)
    : QDialog(aParent), Events(Named(new QTableWidget(this), "StoryEvents")) {
  setObjectName(QStringLiteral("HistoryStory"));
  const THistoryRow& row = aStory.Row;
  const bool in = row.Direction == kDirectionIn;
  setWindowTitle(
      tr("Message %1 %2 %3").arg(row.Id).arg(in ? tr("from") : tr("to"), Shown(row.Number)));

  auto* fields = new QFormLayout;
  const auto add = [&](const char* aName, const QString& aCaption, const QString& aValue) {
    auto* value = Named(new QLabel(aValue, this), aName);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    value->setWordWrap(true);
    fields->addRow(aCaption, value);
  };
  add("StoryMessage", tr("Message"),
      QStringLiteral("#%1, %2").arg(row.Id).arg(DirectionText(row.Direction)));
  add("StoryTime", tr("Time"), LocalTime(row.Time));
  add("StoryNumber", in ? tr("Originator") : tr("Recipient"), Shown(row.Number));
  if (!aStory.OwnAddress.empty())
    add("StoryOwnAddress", tr("Own address"), Shown(aStory.OwnAddress));
  if (!row.Source.empty()) add("StorySource", tr("Source"), Shown(row.Source));
  add("StoryText", row.Binary ? tr("Data (hex)") : tr("Text"),
      row.Binary ? Shown(TextToHex(row.Text)) : Shown(row.Text));
  add("StoryOptions", tr("Options"), OptionsText(aStory));
  if (aStory.TRN >= 0) add("StoryTRN", tr("TRN"), QString::asprintf("%02d", aStory.TRN));
  if (row.SCTS != 0) add("StorySCTS", tr("SCTS"), StampText(row.SCTS));
  add("StoryStatus", tr("Status"),
      row.StatusTime != 0 ? tr("%1 since %2").arg(Shown(row.Status), LocalTime(row.StatusTime))
                          : Shown(row.Status));
  if (aStory.DSCTS != 0) add("StoryDSCTS", tr("DSCTS"), StampText(aStory.DSCTS));
  if (aStory.Reason >= 0) add("StoryReason", tr("Reason"), ReasonShown(aStory.Reason));
  if (!row.Error.empty() && aStory.Reason < 0) add("StoryError", tr("Error"), Shown(row.Error));

  Events->setColumnCount(7);
  Events->setHorizontalHeaderLabels(
      {tr("Time"), tr("Event"), tr("Status"), tr("Reason"), tr("SCTS"), tr("DSCTS"), tr("Text")});
  Events->setRowCount(static_cast<int>(aStory.Events.size()));
  Events->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Events->setSelectionBehavior(QAbstractItemView::SelectRows);
  Events->verticalHeader()->hide();
  Events->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  Events->setWordWrap(false);
  Events->horizontalHeader()->setStretchLastSection(true);
  for (int i = 0; i < Events->rowCount(); ++i) {
    const THistoryEvent& event = aStory.Events[static_cast<size_t>(i)];
    // A notification's reason text stands beside its code; an error has no code.
    const QString text = !event.Message.empty() ? Shown(event.Message)
                         : event.Reason < 0     ? Shown(event.Text)
                                                : QString();
    const QString cells[] = {LocalTime(event.Time),
                             Shown(event.Kind),
                             Shown(event.Status),
                             ReasonShown(event.Reason),
                             StampText(event.SCTS),
                             StampText(event.DSCTS),
                             text};
    for (int column = 0; column < 7; ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      if (column == 2 && !event.Status.empty())
        item->setForeground(ToneColor(ToneOf(event.Status)));
      Events->setItem(i, column, item);
    }
  }
  Events->resizeColumnsToContents();

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addWidget(Events, 1);
  layout->addWidget(buttons);
  resize(860, 460);
}

// ---- THistoryView -----------------------------------------------------------

THistoryView::THistoryView(TMessageStore* aStore, THistoryEvents* aEvents, QWidget* aParent)
    : QWidget(aParent), store_(aStore != nullptr && !aStore->Path().empty() ? aStore : nullptr) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 2, 0, 0);
  layout->setSpacing(2);
  Problem = Named(new QLabel(this), "HistoryProblem");
  Problem->setWordWrap(true);
  Problem->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Problem->hide();
  layout->addWidget(Problem);
  if (aEvents != nullptr)
    connect(aEvents, &THistoryEvents::Problem, this,
            [this](const QString& aText) { ShowProblem(aText); });

  if (store_ == nullptr) {
    auto* off = Named(new QLabel(tr("History is off"), this), "HistoryOff");
    off->setAlignment(Qt::AlignCenter);
    layout->addWidget(off, 1);
    return;
  }
  ShowProblem(Shown(store_->Problem()));

  NumberFilter = Named(new QLineEdit(this), "HistoryNumber");
  NumberFilter->setPlaceholderText(tr("Number"));
  NumberFilter->setMaxLength(20);
  TextFilter = Named(new QLineEdit(this), "HistoryText");
  TextFilter->setPlaceholderText(tr("Text"));
  TextFilter->setMaxLength(160);
  StatusFilter = Named(new QComboBox(this), "HistoryStatus");
  StatusFilter->addItem(tr("any status"), QString());
  for (std::string_view status : {hs::kSubmitted, hs::kAccepted, hs::kFailed, hs::kBuffered,
                                  hs::kDelivered, hs::kNotDelivered, hs::kReceived, hs::kUnmatched})
    StatusFilter->addItem(Shown(status), Shown(status));
  for (QLineEdit* edit : {NumberFilter, TextFilter}) {
    edit->setClearButtonEnabled(true);
    connect(edit, &QLineEdit::textEdited, this, [this] { filterTimer_.start(); });
    connect(edit, &QLineEdit::returnPressed, this, [this] { ApplyFilter(); });
  }
  filterTimer_.setSingleShot(true);
  filterTimer_.setInterval(300);
  connect(&filterTimer_, &QTimer::timeout, this, [this] { ApplyFilter(); });
  connect(StatusFilter, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
  auto* filters = new QHBoxLayout;
  filters->setSpacing(4);
  filters->addWidget(NumberFilter, 2);
  filters->addWidget(TextFilter, 3);
  filters->addWidget(StatusFilter, 2);
  layout->addLayout(filters);

  model_ = new THistoryModel(*store_, this);
  Table = Named(new QTableView(this), "HistoryTable");
  Table->setModel(model_);
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  Table->setSelectionMode(QAbstractItemView::SingleSelection);
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table->setAlternatingRowColors(true);
  Table->setShowGrid(false);
  Table->setWordWrap(false);
  Table->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  // Every row has one height, so that a million of them cost no measuring.
  QHeaderView* rows = Table->verticalHeader();
  rows->hide();
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(fontMetrics().height() + 6);
  QHeaderView* header = Table->horizontalHeader();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setHighlightSections(false);
  // The text takes the room the others leave.
  header->setSectionResizeMode(THistoryModel::kText, QHeaderView::Stretch);
  const auto width = [this](const char* aSample) {
    return fontMetrics().horizontalAdvance(QLatin1String(aSample)) + 16;
  };
  header->resizeSection(THistoryModel::kTime, width("0000-00-00 00:00:00"));
  header->resizeSection(THistoryModel::kDirection, width("notification"));
  header->resizeSection(THistoryModel::kNumber, width("+000000000000000"));
  header->resizeSection(THistoryModel::kStatus, width("not delivered") + 14);
  header->resizeSection(THistoryModel::kSCTS, width("0000-00-00 00:00:00"));
  const auto [column, order] = THistoryModel::SortColumn(model_->Sort());
  header->setSortIndicator(column, order);
  connect(header, &QHeaderView::sortIndicatorChanged, this,
          [this](int aColumn, Qt::SortOrder aOrder) { SortClicked(aColumn, aOrder); });
  connect(Table, &QAbstractItemView::activated, this,
          [this](const QModelIndex& aIndex) { ShowStory(aIndex.row()); });
  layout->addWidget(Table, 1);

  CountLabel = Named(new QLabel(this), "HistoryCount");
  layout->addWidget(CountLabel);
  connect(model_, &THistoryModel::CountStateChanged, this, [this] { ShowCount(); });
  connect(model_, &QAbstractItemModel::rowsInserted, this, [this] { ShowCount(); });
  connect(model_, &QAbstractItemModel::rowsRemoved, this, [this] { ShowCount(); });
  if (aEvents != nullptr)
    connect(aEvents, &THistoryEvents::StatusChanged, model_, &THistoryModel::StatusChanged);
}

void THistoryView::showEvent(QShowEvent* aEvent) {
  if (model_ != nullptr && !model_->Started()) {
    ApplyFilter();
    model_->Start();
    ShowCount();
  }
  QWidget::showEvent(aEvent);
}

void THistoryView::ShowProblem(const QString& aText) {
  Problem->setText(aText);
  Problem->setVisible(!aText.isEmpty());
  QPalette palette = Problem->palette();
  palette.setColor(QPalette::WindowText, ToneColor(TTone::Bad));
  Problem->setPalette(palette);
}

void THistoryView::ApplyFilter() {
  filterTimer_.stop();
  static const QRegularExpression number(QStringLiteral("^[+#]?[0-9]*$"));
  const QString digits = NumberFilter->text().trimmed();
  const QString text = TextFilter->text();
  QString unsendable;
  for (QChar c : text)
    if (c.unicode() > 0xFF && !unsendable.contains(c)) unsendable += c;
  const bool numberBad = !number.match(digits).hasMatch();
  filterError_ = numberBad ? tr("Number filter may hold only digits, after a leading \"+\" or "
                                "\"#\": \"%1\"")
                                 .arg(digits)
                 : !unsendable.isEmpty()
                     ? tr("Text filter holds characters no message holds: %1").arg(unsendable)
                     : QString();
  NumberFilter->setStyleSheet(numberBad ? QStringLiteral("color: red") : QString());
  TextFilter->setStyleSheet(!unsendable.isEmpty() ? QStringLiteral("color: red") : QString());
  if (!filterError_.isEmpty()) {
    ShowCount();
    return;
  }
  THistoryFilter filter;
  filter.Number = Octets(digits);
  filter.NumberAnywhere = true;
  filter.Text = Octets(text);
  filter.Status = Octets(StatusFilter->currentData().toString());
  model_->SetFilter(std::move(filter));
  Table->scrollToTop();
  ShowCount();
}

void THistoryView::SortClicked(int aColumn, Qt::SortOrder aOrder) {
  const THistorySort before = model_->Sort();
  model_->sort(aColumn, aOrder);
  // A column that does not sort, or sorts one way only, keeps the indicator true.
  const auto [column, order] = THistoryModel::SortColumn(model_->Sort());
  QHeaderView* header = Table->horizontalHeader();
  if (header->sortIndicatorSection() != column || header->sortIndicatorOrder() != order) {
    const QSignalBlocker quiet(header);
    header->setSortIndicator(column, order);
    header->viewport()->update();
  }
  if (model_->Sort() != before) Table->scrollToTop();
}

void THistoryView::ShowCount() {
  if (!filterError_.isEmpty()) {
    CountLabel->setText(filterError_);
    return;
  }
  if (!model_->Started() || model_->Counting()) {
    CountLabel->setText(QString(QChar(0x2026)));
    return;
  }
  const int count = model_->rowCount();
  CountLabel->setText(count == 1 ? tr("1 message") : tr("%L1 messages").arg(count));
}

void THistoryView::ShowStory(int aRow) {
  if (model_ == nullptr) return;
  const THistoryRow* row = model_->RowAt(aRow);
  if (row == nullptr) return;
  const int64_t id = row->Id;
  const std::optional<THistoryStory> story = store_->Story(id);
  if (!story) {
    ShowMessage(this, tr("Message %1 is no longer in the history").arg(id));
    return;
  }
  auto* dialog = new THistoryStoryDlg(*story, this);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->show();
}

}  // namespace qorvel
