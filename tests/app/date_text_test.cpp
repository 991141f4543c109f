#include "app/date_text.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QLocale>
#include <QTime>

namespace qorvel {
namespace {

TEST(DateTimeText, IsTheSystemsShortDateAndLongTime) {
  const QLocale locale = QLocale::system();
  const QString date = locale.toString(QDate(2003, 5, 7), QLocale::ShortFormat);
  EXPECT_EQ(DateTimeText(EncodeDateTime({2003, 5, 7, 14, 5, 59, 0})),
            date + ' ' + locale.toString(QTime(14, 5, 59), QLocale::LongFormat));
  // A date without a time of day reads as a date only, unless asked otherwise.
  const TDateTime midnight = EncodeDateTime({2003, 5, 7});
  EXPECT_EQ(DateTimeText(midnight), date);
  EXPECT_EQ(DateTimeText(midnight, false),
            date + ' ' + locale.toString(QTime(0, 0), QLocale::LongFormat));
  EXPECT_EQ(DateTimeText(0), "");
}

}  // namespace
}  // namespace qorvel
