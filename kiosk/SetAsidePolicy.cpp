#include "kiosk/SetAsidePolicy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#include "platform/Clock.h"

bool TSetAsidePolicy::refused(const QString& key) {
  const int64_t now = plat::clock().nowMs();
  if (key != key_ || refusals_ == 0) {
    key_ = key;
    refusals_ = 0;
    firstRefusalMs_ = now;
  }
  ++refusals_;
  return refusals_ >= kRefusalLimit && now - firstRefusalMs_ >= kRefusalPeriodMs;
}

bool TSetAsidePolicy::retryDue() const {
  return inRound_ || !retriedOnce_ || plat::clock().nowMs() - lastRetryMs_ >= kRetryIntervalMs;
}

QStringList TSetAsidePolicy::roundAhead(QStringList names) const {
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  if (!inRound_) return names;
  // A name added since the break that sorts before the cursor waits for the
  // next round, like one added after a round.
  names.erase(names.begin(), std::upper_bound(names.begin(), names.end(), roundCursor_));
  return names;
}

void TSetAsidePolicy::handled(const QString& name) {
  inRound_ = true;
  roundCursor_ = name;
}

void TSetAsidePolicy::retried() {
  inRound_ = false;
  roundCursor_.clear();
  retriedOnce_ = true;
  lastRetryMs_ = plat::clock().nowMs();
}

bool TSetAsidePolicy::moveInto(const QString& source, const QString& dir, QString* target) {
  QDir().mkpath(dir);
  const QString name = QFileInfo(source).fileName();
  QString to = QDir(dir).filePath(name);
  for (int i = 1; QFileInfo::exists(to) && i < 1000; ++i)
    to = QDir(dir).filePath(name + QLatin1Char('.') + QString::number(i));
  if (!QFile::rename(source, to)) return false;
  if (target) *target = to;
  return true;
}

QStringList TSetAsidePolicy::files(const QString& dir) {
  return QDir(dir).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
}

QString TSetAsidePolicy::originalName(const QString& name) {
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  if (dot <= 0 || dot == name.size() - 1) return name;
  for (qsizetype i = dot + 1; i < name.size(); ++i)
    if (!name[i].isDigit()) return name;
  return name.left(dot);
}
