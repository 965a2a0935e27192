#include "kiosk/LocalLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

TLocalLog::TLocalLog(QString fileName) : fileName_(std::move(fileName)) {}

void TLocalLog::setFileName(const QString& fileName) {
  std::lock_guard lock(mutex_);
  fileName_ = fileName;
}

QString TLocalLog::fileName() const {
  std::lock_guard lock(mutex_);
  return fileName_;
}

QByteArray TLocalLog::lineBytes(const QDateTime& at, const QString& text) {
  QString line = at.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")) + QLatin1Char('\t') + text;
  for (QChar& c : line)
    if (c == QLatin1Char('\r') || c == QLatin1Char('\n')) c = QLatin1Char(' ');
  line += QLatin1Char('\n');
  return line.toUtf8();
}

void TLocalLog::write(const QString& text) noexcept {
  try {
    const QByteArray bytes = lineBytes(QDateTime::currentDateTime(), text);
    std::lock_guard lock(mutex_);
    if (fileName_.isEmpty()) return;
    QDir().mkpath(QFileInfo(fileName_).absolutePath());
    QFile f(fileName_);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) return;
    f.write(bytes);
  } catch (...) {
  }
}
