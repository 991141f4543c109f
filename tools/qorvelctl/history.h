#pragma once
// The message history as qorvelctl reads it from Qorvel.IHistory: the
// commands history and show.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

class QDBusArgument;

namespace qorvelctl {

// One message as Query and Story give it, "(xxsssaybsxds)".
struct THistoryRow {
  qint64 Id = 0;
  qint64 Time = 0;  // ms since 1970 UTC
  QString Direction;
  QString Source;
  QString Number;  // one character per octet
  QByteArray Text;
  bool Binary = false;
  QString Status;
  qint64 StatusTime = 0;  // ms since 1970 UTC
  double SCTS = 0;        // OLE date, 0 unknown
  QString Error;
};

const QDBusArgument& operator>>(const QDBusArgument& aArg, THistoryRow& aRow);

// Delivered, not delivered or failed: the message goes no further.
bool IsFinal(const QString& aStatus);
// Story's row of aId; nothing, with aError set to Qorvel's answer, when it
// cannot be read.
std::optional<THistoryRow> StoryRow(qint64 aId, QString* aError);

// qorvelctl history and show: the exit status.
int History(const QStringList& aArgs);
int Show(const QStringList& aArgs);

}  // namespace qorvelctl
