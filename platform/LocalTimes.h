#pragma once
// Local date-times for a run of many values, such as a column of dates in a
// table being loaded.
//
// QDateTime(date, time) turns a local wall-clock time into an instant with
// the C library's mktime, and Qt reads the zone again before each call; with
// TZ unset, glibc looks at /etc/localtime twice per value. Here the wall
// time is turned into the instant with the zone's offset, which is asked
// with localtime_r and kept for a window of hours where it does not change,
// and Qt builds the value from that instant: one local-time conversion per
// value. Qt's own constructor still decides wherever the answer could differ:
// within three hours of a change of the offset or of daylight saving (where
// a wall time can be missing or there twice), and outside 1971-2037 (where Qt
// treats local times in its own way).
//
// The values are the same as QDateTime(date, time) gives: the same date and
// time, time spec, offset and daylight-saving flag. This holds as long as the
// zone never changes its offset twice within six hours, nor puts its clocks
// back by more than three; no zone has done either since 1970.

#include <QDate>
#include <QDateTime>
#include <QTime>

namespace plat {

class LocalTimes {
 public:
  // Reads the zone once; each value is then converted in the zone as it is
  // when that value is built, as Qt does.
  LocalTimes();

  // What QDateTime(date, time) gives (a local time).
  QDateTime at(QDate date, QTime time);

 private:
  // Finds the instant whose local wall time is `wall` (seconds since 1970 on
  // the wall clock) and, where the offset holds for hours around it, keeps
  // it. False where Qt must decide.
  bool learn(qint64 wall, qint64* instant);

  bool known_ = false;
  long offset_ = 0;           // seconds east of UTC
  qint64 from_ = 0, to_ = 0;  // instants where offset_ is safe to use
};

}  // namespace plat
