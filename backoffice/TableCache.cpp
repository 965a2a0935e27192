#include "backoffice/TableCache.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include "backoffice/JTable.h"
#include "platform/AtomicFile.h"
#include "platform/Common.h"
#include "platform/TextCodec.h"

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

const QByteArray kUtf8Mark("\xEF\xBB\xBF");
// Far beyond any statement with its parameters; a larger file is not read.
constexpr qint64 kMaxVersionFile = qint64(64) << 20;

QString escapePart(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    if (c == u'\\')
      out += QStringLiteral("\\\\");
    else if (c == u'\r')
      out += QStringLiteral("\\r");
    else
      out += c;
  }
  return out;
}

bool unescapePart(const QString& text, QString& out) {
  out.clear();
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] != u'\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    if (text[i] == u'\\')
      out += u'\\';
    else if (text[i] == u'r')
      out += u'\r';
    else
      return false;
  }
  return true;
}

}  // namespace

QString formatCachedVersion(const TCachedVersion& v) {
  const QChar cr(13);
  return escapePart(v.dataVersions) + cr + QString::number(v.refreshTime, 'g', 15) + cr +
         QString::number(v.sql.size()) + cr + v.sql + cr + escapePart(v.params) + cr;
}

bool parseCachedVersion(const QString& text, TCachedVersion& out, bool escaped) {
  const QChar cr(13);
  out = TCachedVersion();
  auto part = [escaped](const QString& raw, QString& to) {
    if (!escaped) {
      to = raw;
      return true;
    }
    return unescapePart(raw, to);
  };
  const qsizetype c1 = text.indexOf(cr);
  if (c1 < 0) return part(text, out.dataVersions);
  if (!part(text.left(c1), out.dataVersions)) return false;
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
  if (c5 >= 0 && !part(text.mid(p5, c5 - p5), out.params)) return false;
  return true;
}

QByteArray encodeCachedVersion(const TCachedVersion& v) {
  return kUtf8Mark + formatCachedVersion(v).toUtf8();
}

bool decodeCachedVersion(const QByteArray& bytes, TCachedVersion& out) {
  if (bytes.startsWith(kUtf8Mark)) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(bytes.mid(kUtf8Mark.size()));
    if (utf8.hasError()) return false;
    return parseCachedVersion(text, out, true);
  }
  return parseCachedVersion(plat::fromAnsi(bytes), out, false);
}

namespace {

// The version file's parts; exists tells whether it holds any text. False
// when it is damaged or too large to be ours.
bool readVersionFile(const QString& path, TCachedVersion& out, bool& exists) {
  out = TCachedVersion();
  exists = QFile::exists(path);
  if (!exists) return true;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, f.errorString()));
  if (f.size() > kMaxVersionFile) return false;
  const QByteArray bytes = f.readAll();
  if (f.error() != QFileDevice::NoError)
    throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(path, f.errorString()));
  exists = !bytes.isEmpty();
  return decodeCachedVersion(bytes, out);
}

}  // namespace

void TJTable::saveToCache(const QString& tableName, bool forcedWrite) {
  if (!Active()) return;
  checkTableName(tableName);
  const QString dat = dataFile(tableName);
  const QString dv = versionFile(tableName);
  // A reading table compares the file with its own statement and parameters,
  // so the file names this table's, not those of a refresh (a table loaded
  // with selectFromDB has none).
  TCachedVersion now{sourceTablesDataVersions, last_refresh_tm, sqlText(), paramsText()};
  if (!forcedWrite && !sourceTablesDataVersions.isEmpty() && QFile::exists(dat) &&
      QFile::exists(dv)) {
    TCachedVersion cached;
    bool exists = false;
    if (readVersionFile(dv, cached, exists) && cached.dataVersions == sourceTablesDataVersions &&
        cached.sql == lastRefreshSQL && cached.params == lastRefreshParams) {
      plat::writeFileAtomic(dv, encodeCachedVersion(now));
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
  plat::writeFileAtomic(dv, encodeCachedVersion(now));
}

bool TJTable::updateFromCache(const QString& tableName) {
  if (Active()) return false;
  checkTableName(tableName);
  const QString dat = dataFile(tableName);
  if (!QFile::exists(dat)) return false;
  const QString dv = versionFile(tableName);
  TCachedVersion cached;
  bool exists = false;
  if (!readVersionFile(dv, cached, exists)) return false;  // damaged: the server loads it
  const QString sql = sqlText();
  const bool noStatement = sql.isEmpty();
  if (!noStatement && (!exists || cached.sql != sql || cached.params != paramsText())) return false;
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
