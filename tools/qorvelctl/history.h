#pragma once
// The message history as qorvelctl reads it from Qorvel.IHistory: the
// commands history and show, and the wait for delivery of send.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>
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

// A message of send that the SMSC accepted.
struct TSentMessage {
  int Line = 0;
  QByteArray Number;
  qint64 Id = 0;  // its history id; 0 when Qorvel keeps no history
};

// send --wait-delivery. Listens for StatusChanged from Qorvel from the
// moment it is made, so that it must be made before the first submit.
class TDeliveryWatch {
 public:
  TDeliveryWatch();
  ~TDeliveryWatch();
  TDeliveryWatch(const TDeliveryWatch&) = delete;
  TDeliveryWatch& operator=(const TDeliveryWatch&) = delete;

  // Waits up to aSeconds until every one of aSent has a final status, asks
  // Qorvel for those not heard of as final, and prints the outcome of each
  // and the counts. 0 when all were delivered, 3 otherwise.
  int Wait(const std::vector<TSentMessage>& aSent, int aSeconds, bool aJson);

 private:
  class TListener;
  std::unique_ptr<TListener> listener_;
};

inline constexpr int kNotAllDelivered = 3;

}  // namespace qorvelctl
