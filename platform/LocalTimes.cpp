#include "platform/LocalTimes.h"

#include <ctime>

namespace plat {

namespace {

constexpr qint64 kUnixEpochJulianDay = 2440588;
constexpr qint64 kHour = 3600;
// How far from a value the zone is probed, and how far from the probes a
// value must stay for the offset to be used without Qt.
constexpr qint64 kProbe = 6 * kHour;
constexpr qint64 kMargin = 3 * kHour;

struct ZoneState {
  long offset = 0;
  int dst = 0;
  bool ok = false;
  bool operator==(const ZoneState& o) const {
    return offset == o.offset && dst == o.dst && ok && o.ok;
  }
};

ZoneState stateAt(qint64 instant) {
  const time_t t = time_t(instant);
  tm parts{};
  if (!localtime_r(&t, &parts)) return {};
  return {parts.tm_gmtoff, parts.tm_isdst > 0 ? 1 : 0, true};
}

}  // namespace

LocalTimes::LocalTimes() {
  tzset();
}

bool LocalTimes::learn(qint64 wall, qint64* instant) {
  known_ = false;
  // The offset at the wall time read as UTC is a guess within a day of the
  // answer; one more step finds the offset in force at the instant itself.
  ZoneState guess = stateAt(wall);
  qint64 at = wall - guess.offset;
  ZoneState here = stateAt(at);
  if (!here.ok || !guess.ok) return false;
  if (here.offset != guess.offset) {
    at = wall - here.offset;
    guess = here;
    here = stateAt(at);
    if (!(here == guess)) return false;  // a missing wall time
  }
  if (!(stateAt(at - kProbe) == here) || !(stateAt(at + kProbe) == here)) return false;
  known_ = true;
  offset_ = here.offset;
  from_ = at - kProbe + kMargin;
  to_ = at + kProbe - kMargin;
  *instant = at;
  return true;
}

QDateTime LocalTimes::at(QDate date, QTime time) {
  static const qint64 first = QDate(1971, 1, 1).toJulianDay();
  static const qint64 last = QDate(2037, 12, 31).toJulianDay();
  if (!date.isValid() || !time.isValid() || date.toJulianDay() < first || date.toJulianDay() > last)
    return QDateTime(date, time);
  const int msOfDay = time.msecsSinceStartOfDay();
  const qint64 wall = (date.toJulianDay() - kUnixEpochJulianDay) * 86400 + msOfDay / 1000;
  qint64 instant = wall - offset_;
  if (!known_ || instant < from_ || instant > to_) {
    if (!learn(wall, &instant)) return QDateTime(date, time);
  }
  QDateTime dt = QDateTime::fromMSecsSinceEpoch(instant * 1000 + msOfDay % 1000, Qt::LocalTime);
  // The zone may have changed under us since it was probed.
  if (dt.date() != date || dt.time() != time) {
    known_ = false;
    return QDateTime(date, time);
  }
  return dt;
}

}  // namespace plat
