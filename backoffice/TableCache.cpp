#include "backoffice/TableCache.h"

#include <QDir>
#include <QFile>

#include "backoffice/JTable.h"
#include "platform/Common.h"

namespace {

QString dataFile(const QString& tableName) {
  return tablesCacheFolder() + tableName + QStringLiteral(".dat");
}

QString versionFile(const QString& tableName) {
  return tablesCacheFolder() + tableName + QStringLiteral(".dv");
}

// Table names come from callers; a name with a path in it must not write
// outside the cache folder.
void checkTableName(const QString& tableName) {
  if (tableName.isEmpty() || tableName.contains(u'/') || tableName.contains(u'\\') ||
      tableName == QStringLiteral("..") || tableName == QStringLiteral("."))
    throw EFileError(QStringLiteral("Invalid cache table name \"%1\"").arg(tableName));
}

}  // namespace

QString formatCachedVersion(const TCachedVersion& v) {
  const QChar cr(13);
  return v.dataVersions + cr + QString::number(v.refreshTime, 'g', 15) + cr +
         QString::number(v.sql.size()) + cr + v.sql + cr + v.params + cr;
}

bool parseCachedVersion(const QString& text, TCachedVersion& out) {
  const QChar cr(13);
  out = TCachedVersion();
  const qsizetype c1 = text.indexOf(cr);
  if (c1 < 0) {
    out.dataVersions = text;
    return true;
  }
  out.dataVersions = text.left(c1);
  const qsizetype c2 = text.indexOf(cr, c1 + 1);
  bool ok = false;
  out.refreshTime = text.mid(c1 + 1, c2 < 0 ? -1 : c2 - c1 - 1).toDouble(&ok);
  if (!ok) return false;
  if (c2 < 0) return true;
  const qsizetype c3 = text.indexOf(cr, c2 + 1);
  if (c3 < 0) return true;
  const qint64 len = text.mid(c2 + 1, c3 - c2 - 1).toLongLong(&ok);
  if (!ok || len < 0 || len > text.size() - c3 - 1) return false;
  out.sql = text.mid(c3 + 1, len);
  const qsizetype p5 = c3 + 1 + len + 1;
  if (p5 > text.size()) return true;
  const qsizetype c5 = text.indexOf(cr, p5);
  if (c5 >= 0) out.params = text.mid(p5, c5 - p5);
  return true;
}

void TJTable::saveToCache(const QString& tableName, bool forcedWrite) {
  if (!Active()) return;
  checkTableName(tableName);
  const QString dat = dataFile(tableName);
  const QString dv = versionFile(tableName);
  TCachedVersion now{sourceTablesDataVersions, last_refresh_tm, lastRefreshSQL, lastRefreshParams};
  if (!forcedWrite && !sourceTablesDataVersions.isEmpty() && QFile::exists(dat) &&
      QFile::exists(dv)) {
    TCachedVersion cached;
    if (parseCachedVersion(LoadTextFromFile(dv), cached) &&
        cached.dataVersions == sourceTablesDataVersions && cached.sql == lastRefreshSQL &&
        cached.params == lastRefreshParams) {
      SaveTextToFile(dv, formatCachedVersion(now));
      return;
    }
  }
  if (!QDir().mkpath(tablesCacheFolder()))
    throw EFileError(QStringLiteral("Cannot create folder \"%1\"").arg(tablesCacheFolder()));
  // Without its version file a data file is taken only for a table without a
  // statement, so an interrupted write never pairs new rows with old versions.
  if (QFile::exists(dv) && !QFile::remove(dv))
    throw EFileError(QStringLiteral("Cannot delete file \"%1\"").arg(dv));
  SaveToFile(dat);
  SaveTextToFile(dv, formatCachedVersion(now));
}

bool TJTable::updateFromCache(const QString& tableName) {
  if (Active()) return false;
  checkTableName(tableName);
  const QString dat = dataFile(tableName);
  if (!QFile::exists(dat)) return false;
  const QString dv = versionFile(tableName);
  const QString text = QFile::exists(dv) ? LoadTextFromFile(dv) : QString();
  TCachedVersion cached;
  if (!parseCachedVersion(text, cached)) return false;  // damaged: the server loads it
  const QString sql = sqlText();
  const bool noStatement = sql.isEmpty();
  if (!noStatement && (text.isEmpty() || cached.sql != sql || cached.params != paramsText()))
    return false;
  try {
    LoadFromFile(dat);
  } catch (const EDatabaseError&) {
    return false;  // damaged data file: the table stays closed for a load from the server
  }
  sourceTablesDataVersions = cached.dataVersions;
  last_refresh_tm = cached.refreshTime;
  lastRefreshSQL = noStatement ? QString() : cached.sql;
  lastRefreshParams = noStatement ? QString() : cached.params;
  return true;
}

void TJTable::deleteCache(const QString& tableName) {
  checkTableName(tableName);
  for (const QString& path : {dataFile(tableName), versionFile(tableName)})
    if (QFile::exists(path) && !QFile::remove(path))
      throw EFileError(QStringLiteral("Cannot delete file \"%1\"").arg(path));
}
