#include "backoffice/Utils.h"

#include <QDir>
#include <QStandardPaths>
#include <mutex>

#include "backoffice/ServerRecords.h"
#include "platform/Common.h"
#include "platform/Exception.h"

bool textInList(const QString& text, const QStringList& list) {
  for (const auto& s : list)
    if (QString::compare(text, s, Qt::CaseInsensitive) == 0) return true;
  return false;
}

bool isInsideQuotes(const QString& text, int pos) {
  int quotes = 0;
  for (int i = 0; i < pos - 1 && i < text.size(); ++i)
    if (text[i] == u'\'') ++quotes;
  return quotes % 2 == 1;
}

QString copyIdentifier(const QString& text, int pos) {
  auto isIdent = [](QChar c) {
    ushort u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || u == '_' || (u >= 'a' && u <= 'z');
  };
  if (pos < 1 || pos > text.size()) return QString();
  int end = pos - 1;
  while (end < text.size() && isIdent(text[end])) ++end;
  return text.mid(pos - 1, end - (pos - 1));
}

QString GetWord(const QString& value, int& startPos, QChar limitSymbol) {
  int from = std::max(startPos, 1) - 1;
  int at = value.indexOf(limitSymbol, from);
  if (at < 0) {
    startPos = int(value.size()) + 1;
    return value.mid(from);
  }
  startPos = at + 2;
  return value.mid(from, at - from);
}

int64_t versionToNumber(const QString& text) {
  QStringList parts = text.split(u'.');
  if (parts.size() < 3)
    throw EConvertError(QStringLiteral("'%1' is not a valid version").arg(text));
  int64_t n[3];
  for (int i = 0; i < 3; ++i) {
    bool ok = false;
    n[i] = parts[i].trimmed().toLongLong(&ok);
    if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(parts[i]));
  }
  return n[0] * 100000000 + n[1] * 10000 + n[2];
}

namespace {
std::mutex g_folderMutex;
QString g_tablesCacheFolder;
}  // namespace

QString tablesCacheFolder() {
  std::lock_guard lock(g_folderMutex);
  if (g_tablesCacheFolder.isEmpty()) {
    QString docs = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (docs.isEmpty()) docs = QDir::homePath();
    g_tablesCacheFolder = QDir(docs).filePath(QStringLiteral("Tables")) + u'/';
  }
  return g_tablesCacheFolder;
}

void setTablesCacheFolder(const QString& folder) {
  std::lock_guard lock(g_folderMutex);
  g_tablesCacheFolder = folder.endsWith(u'/') ? folder : folder + u'/';
}

const QLocale& dotFormatSettings() {
  static const QLocale c = [] {
    QLocale l = QLocale::c();
    l.setNumberOptions(QLocale::OmitGroupSeparator);
    return l;
  }();
  return c;
}

QString TAppServerInfo::getServerInfo() const {
  const QString crlf = QStringLiteral("\r\n");
  return Translate(QStringLiteral("База данных: ")) + dbName + crlf +
         Translate(QStringLiteral("URL подключения к БД: ")) + dbURL + crlf +
         Translate(QStringLiteral("Свойства подключения к БД: ")) + dbProperties + crlf +
         Translate(QStringLiteral("Количество серверов приложений: ")) +
         QString::number(appServerCount) + crlf +
         Translate(QStringLiteral("Номер сервера приложений: ")) + QString::number(appServerNo) +
         crlf + Translate(QStringLiteral("Рабочая папка: ")) + workingFolder + crlf +
         Translate(QStringLiteral("Разделитель: ")) + separator + crlf;
}
