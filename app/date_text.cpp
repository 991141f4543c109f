#include "app/date_text.h"

#include <QDateTime>
#include <QLocale>
#include <cmath>

namespace qorvel {

QString DateTimeText(TDateTime aValue, bool aOmitMidnight) {
  if (aValue == 0) return {};
  const TDateTimeParts p = DecodeDateTime(aValue);
  const QDate date(p.Year, p.Month, p.Day);
  const QTime time(p.Hour, p.Minute, p.Second, p.Millisecond);
  const QLocale locale = QLocale::system();
  QString text = locale.toString(date, QLocale::ShortFormat);
  if (!aOmitMidnight || time != QTime(0, 0))
    text += ' ' + locale.toString(time, QLocale::LongFormat);
  return text;
}

std::string DateTimeOctets(TDateTime aValue) {
  const QString text = DateTimeText(aValue);
  std::string octets;
  octets.reserve(static_cast<size_t>(text.size()));
  for (QChar c : text) {
    if (c.unicode() <= 0xFF)
      octets += static_cast<char>(c.unicode());
    else
      octets += c.isSpace() ? ' ' : '?';
  }
  return octets;
}

}  // namespace qorvel
