// Local times built from wall-clock times give exactly what
// QDateTime(date, time) gives, in zones with and without daylight saving,
// next to their changes (a missing and a doubled hour), in runs of nearby
// times (where the zone's offset is reused) and scattered over the years.

#include <gtest/gtest.h>

#include <QDateTime>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "platform/LocalTimes.h"
#include "tests/support/LocalZone.h"

namespace {

using testkit::LocalZone;

::testing::AssertionResult same(const QDateTime& got, const QDateTime& want) {
  if (got.isValid() == want.isValid() && got.timeSpec() == want.timeSpec() &&
      got.date() == want.date() && got.time() == want.time() &&
      (!want.isValid() || (got.toMSecsSinceEpoch() == want.toMSecsSinceEpoch() &&
                           got.offsetFromUtc() == want.offsetFromUtc() &&
                           got.isDaylightTime() == want.isDaylightTime())))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << got.toString(Qt::ISODateWithMs).toStdString() << " dst " << got.isDaylightTime()
         << " against " << want.toString(Qt::ISODateWithMs).toStdString() << " dst "
         << want.isDaylightTime();
}

// Rules by POSIX TZ strings, so no zone files are needed, and zone files
// with the changes real zones made (a zone file missing on the machine reads
// as UTC, which still must hold).
const char* const kZones[] = {
    "UTC0",
    "MSK-3",
    "CET-1CEST,M3.5.0,M10.5.0/3",
    "EST5EDT,M3.2.0,M11.1.0",
    "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0",  // a half-hour change
    "<+01>-1<+03>-3,M3.5.0,M10.5.0/3",       // a two-hour change
    "<-04>4<-03>,M9.1.6/24,M4.1.6/24",       // changes at midnight, south
    ":Europe/Moscow",                        // 2011 and 2014
    ":America/Sao_Paulo",
    ":Pacific/Apia",  // skipped 30 December 2011
    ":Asia/Gaza",
};

TEST(LocalTimes, RunsOfNearbyTimesAreWhatQDateTimeGives) {
  // Every 37 min 13.5 s through 2011, 2014 and 2024, and every 7 s around
  // the hours where the zones change.
  for (const char* zone : kZones) {
    SCOPED_TRACE(zone);
    LocalZone z(zone);
    plat::LocalTimes times;
    for (int year : {2011, 2014, 2024}) {
      const QDateTime start(QDate(year, 1, 1), QTime(0, 0), Qt::UTC);
      for (qint64 ms = 0; ms < 366LL * 86400000; ms += 2233500) {
        const QDateTime wall = start.addMSecs(ms);
        const QDate d = wall.date();
        const QTime t = wall.time();
        ASSERT_TRUE(same(times.at(d, t), QDateTime(d, t))) << d.toString(Qt::ISODate).toStdString();
      }
    }
    for (const QDate day :
         {QDate(2024, 3, 31), QDate(2024, 10, 27), QDate(2024, 3, 10), QDate(2024, 11, 3),
          QDate(2024, 4, 7), QDate(2024, 10, 6), QDate(2024, 9, 7), QDate(2024, 9, 8),
          QDate(2011, 12, 29), QDate(2011, 12, 31), QDate(2014, 10, 26), QDate(2011, 3, 27)}) {
      for (int s = -3600; s < 4 * 3600; s += 7) {
        const QDateTime wall = QDateTime(day, QTime(0, 0), Qt::UTC).addSecs(s);
        const QDate d = wall.date();
        const QTime t = wall.time().addMSecs(s % 7);
        ASSERT_TRUE(same(times.at(d, t), QDateTime(d, t)))
            << d.toString(Qt::ISODate).toStdString() << " " << t.toString().toStdString();
      }
    }
  }
}

TEST(LocalTimes, ScatteredTimesAndTheEdgesOfTheRangeAreWhatQDateTimeGives) {
  std::mt19937_64 rnd(20261210);
  for (const char* zone : kZones) {
    SCOPED_TRACE(zone);
    LocalZone z(zone);
    plat::LocalTimes times;
    const qint64 first = QDate(1960, 1, 1).toJulianDay(), last = QDate(2050, 1, 1).toJulianDay();
    for (int i = 0; i < 4000; ++i) {
      const QDate d = QDate::fromJulianDay(first + qint64(rnd() % quint64(last - first)));
      const QTime t = QTime::fromMSecsSinceStartOfDay(int(rnd() % 86400000));
      ASSERT_TRUE(same(times.at(d, t), QDateTime(d, t)))
          << d.toString(Qt::ISODate).toStdString() << " " << t.toString().toStdString();
    }
    const struct {
      QDate d;
      QTime t;
    } edges[] = {
        {QDate(1970, 12, 31), QTime(23, 59, 59, 999)},
        {QDate(1971, 1, 1), QTime(0, 0)},
        {QDate(2037, 12, 31), QTime(23, 59, 59, 999)},
        {QDate(2038, 1, 1), QTime(0, 0)},
        {QDate(1, 1, 1), QTime(0, 0)},
        {QDate(), QTime(12, 0)},
        {QDate(2024, 5, 5), QTime()},
    };
    for (const auto& e : edges)
      EXPECT_TRUE(same(times.at(e.d, e.t), QDateTime(e.d, e.t)))
          << e.d.toString(Qt::ISODate).toStdString();
  }
}

// A zone changed while values are built: each value follows the zone as it
// is when it is built, as QDateTime does.
TEST(LocalTimes, AZoneChangedBetweenValuesIsFollowed) {
  LocalZone z("MSK-3");
  plat::LocalTimes times;
  const QDate d(2024, 6, 1);
  EXPECT_TRUE(same(times.at(d, QTime(12, 0)), QDateTime(d, QTime(12, 0))));
  ::setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  EXPECT_TRUE(same(times.at(d, QTime(12, 0, 1)), QDateTime(d, QTime(12, 0, 1))));
  EXPECT_EQ(times.at(d, QTime(12, 0, 2)).offsetFromUtc(), -4 * 3600);
}

}  // namespace
