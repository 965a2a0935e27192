#include "kiosk/SetAsidePolicy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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
  return !retriedOnce_ || plat::clock().nowMs() - lastRetryMs_ >= kRetryIntervalMs;
}

void TSetAsidePolicy::retried() {
  retriedOnce_ = true;
  lastRetryMs_ = plat::clock().nowMs();
}

bool TSetAsidePolicy::moveInto(const QString& source, const QString& dir) {
  QDir().mkpath(dir);
  const QString name = QFileInfo(source).fileName();
  QString target = QDir(dir).filePath(name);
  for (int i = 1; QFileInfo::exists(target) && i < 1000; ++i)
    target = QDir(dir).filePath(name + QLatin1Char('.') + QString::number(i));
  return QFile::rename(source, target);
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
