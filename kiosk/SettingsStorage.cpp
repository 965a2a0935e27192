#include "kiosk/SettingsStorage.h"

#include <QFile>
#include <QStringDecoder>

#include "platform/AtomicFile.h"
#include "platform/Common.h"
#include "platform/Exception.h"
#include "platform/TextCodec.h"

namespace {

// Strips characters with codes up to 32 from both ends (blanks and control
// characters), as the stored files of the kiosk have always been compared.
QString trimControl(const QString& s) {
  qsizetype b = 0, e = s.size();
  while (b < e && s[b].unicode() <= 32) ++b;
  while (e > b && s[e - 1].unicode() <= 32) --e;
  return s.mid(b, e - b);
}

QString nameKey(const QString& s) {
  return trimControl(s).toLower();
}

bool sameName(const QString& a, const QString& b) {
  return nameKey(a) == nameKey(b);
}

QString pathText(const QStringList& key) {
  return QLatin1Char('[') + key.join(u", ") + u']';
}

// Checks a key path for the operation named in its messages.
void checkPath(const QStringList& key, const char* operation) {
  const QString op = QString::fromLatin1(operation);
  if (key.isEmpty())
    throw EAbstractError(QStringLiteral("Key is not defined (TSettingsStorage.%1).").arg(op));
  for (const QString& c : key)
    if (trimControl(c).isEmpty())
      throw EAbstractError(QStringLiteral("Key \"%1\" has empty string (TSettingsStorage.%2).")
                               .arg(pathText(key), op));
}

using KeyList = std::vector<std::unique_ptr<TSettingsStorageKey>>;

TSettingsStorageKey* findKey(const KeyList& list, const QString& name) {
  for (const auto& k : list)
    if (sameName(k->Node, name)) return k.get();
  return nullptr;
}

// Blanks in place of line breaks and other control characters, so a saved
// name or value can never start a line or a section of its own.
QString oneLine(QString s) {
  for (QChar& c : s)
    if (c.unicode() < 32 || c.unicode() == 127) c = u' ';
  return s;
}

void saveKey(const TSettingsStorageKey& key, const QString& parentPath, QStringList& S) {
  const QString path = parentPath.isNull()
                           ? trimControl(oneLine(key.Node))
                           : parentPath + QStringLiteral("  ") + trimControl(oneLine(key.Node));
  S << QLatin1Char('[') + path + u']';
  for (const TSettingsStorageParam& p : key.Params)
    S << oneLine(p.Name) + u'=' + oneLine(VariantToText(p.Value));
  for (const auto& child : key.Children) saveKey(*child, path, S);
}

// The component list of a section line's text: cut at each run of two blanks.
QStringList sectionPath(QString text) {
  QStringList path;
  for (qsizetype at = text.indexOf(QStringLiteral("  ")); at >= 0;
       at = text.indexOf(QStringLiteral("  "))) {
    path << text.left(at);
    text.remove(0, at + 2);
  }
  if (!text.isEmpty()) path << text;
  return path;
}

// The text between "[" at the start and the first "]", or a null string when
// the line is no section line.
QString sectionText(const QString& line) {
  if (!line.startsWith(u'[')) return QString();
  const qsizetype close = line.indexOf(u']');
  if (close <= 1) return QString();
  return line.mid(1, close - 1);
}

QStringList splitLines(const QString& text) {
  QStringList lines;
  qsizetype start = 0;
  const qsizetype n = text.size();
  for (qsizetype i = 0; i < n; ++i) {
    const QChar c = text[i];
    if (c != u'\r' && c != u'\n') continue;
    lines << text.mid(start, i - start);
    if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  if (start < n) lines << text.mid(start);
  return lines;
}

QString decodeFile(const QByteArray& bytes, const QString& path) {
  struct Bom {
    QByteArray mark;
    QStringConverter::Encoding encoding;
  };
  const Bom boms[] = {{QByteArray("\xEF\xBB\xBF"), QStringConverter::Utf8},
                      {QByteArray("\xFF\xFE"), QStringConverter::Utf16LE},
                      {QByteArray("\xFE\xFF"), QStringConverter::Utf16BE}};
  for (const Bom& b : boms) {
    if (!bytes.startsWith(b.mark)) continue;
    QStringDecoder decoder(b.encoding, QStringConverter::Flag::Stateless);
    const QString text = decoder(bytes.mid(b.mark.size()));
    if (decoder.hasError())
      throw EFileError(QStringLiteral("Settings file \"%1\" is not valid text.").arg(path));
    return text;
  }
  return plat::fromAnsi(bytes);
}

}  // namespace

void TSettingsStorage::Put(const QStringList& Key, const QString& Name, const QVariant& Value) {
  checkPath(Key, "AddParam");
  if (Name.isEmpty()) return;
  KeyList* list = &FKeys;
  TSettingsStorageKey* key = nullptr;
  for (const QString& component : Key) {
    key = findKey(*list, component);
    if (!key) {
      list->push_back(std::make_unique<TSettingsStorageKey>(component));
      key = list->back().get();
    }
    list = &key->Children;
  }
  for (TSettingsStorageParam& p : key->Params)
    if (sameName(p.Name, Name)) {
      p.Value = Value;
      return;
    }
  key->Params.push_back({Name, Value});
}

QVariant TSettingsStorage::Get(const QStringList& Key, const QString& Name,
                               const QVariant& DefaultValue) const {
  checkPath(Key, "ReadParam");
  const KeyList* list = &FKeys;
  const TSettingsStorageKey* key = nullptr;
  for (const QString& component : Key) {
    key = findKey(*list, component);
    if (!key) return DefaultValue;
    list = &key->Children;
  }
  for (const TSettingsStorageParam& p : key->Params)
    if (sameName(p.Name, Name)) return p.Value;
  return DefaultValue;
}

void TSettingsStorage::DeleteKey(const QStringList& Key) {
  checkPath(Key, "DeleteKey");
  KeyList* list = &FKeys;
  for (qsizetype i = 0; i < Key.size(); ++i) {
    auto it = std::find_if(list->begin(), list->end(),
                           [&](const auto& k) { return sameName(k->Node, Key[i]); });
    if (it == list->end())
      throw EAbstractError(QStringLiteral("Key \"%1\" %2 (TSettingsStorage.DeleteKey).")
                               .arg(pathText(Key), i == 0 ? QStringLiteral("not defined")
                                                          : QStringLiteral("not found")));
    if (i == Key.size() - 1) {
      list->erase(it);
      return;
    }
    list = &(*it)->Children;
  }
}

void TSettingsStorage::SaveToStrings(QStringList& S) const {
  for (const auto& key : FKeys) saveKey(*key, QString(), S);
}

void TSettingsStorage::LoadFromStrings(const QStringList& S) {
  QStringList path;
  for (const QString& raw : S) {
    // Read as the save writes it: control characters are blanks, so a name
    // that holds them loads to the key its saved form loads to.
    const QString line = oneLine(raw);
    const QString section = sectionText(line);
    if (!section.isNull()) {
      path = sectionPath(section);
      checkPath(path, "AddParam");
      continue;
    }
    const qsizetype eq = line.indexOf(u'=');
    if (path.isEmpty() || eq < 1) continue;
    const QString name = line.left(eq), value = line.mid(eq + 1);
    if (trimControl(name).isEmpty() || value.isEmpty()) continue;
    Put(path, name, value);
  }
}

TSettingsStorage::SaveResult TSettingsStorage::SaveToIniFile(const QString& FileName) const {
  const QString path = FileName.isEmpty() ? IniFileName : FileName;
  try {
    QStringList lines;
    SaveToStrings(lines);
    QString text;
    for (const QString& l : lines) text += l + QStringLiteral("\r\n");
    QByteArray bytes = plat::toAnsi(text);
    // A hand-edited file read as UTF-8 or UTF-16 may hold letters that
    // windows-1251 lacks; written as "?" they would rename or merge keys. Such
    // a store is written as UTF-8 with its byte-order mark, which the load reads.
    if (plat::fromAnsi(bytes) != text) bytes = QByteArray("\xEF\xBB\xBF") + text.toUtf8();
    // The file holds the back office's login and its scrambled password.
    plat::writeFileAtomic(path, bytes, plat::FileAccess::OwnerOnly);
  } catch (const std::exception& e) {
    return SaveResult{exceptionMessage(e)};
  }
  return SaveResult{};
}

void TSettingsStorage::LoadFromIniFile(const QString& FileName) {
  const QString path = FileName.isEmpty() ? IniFileName : FileName;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError)
    throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(path, file.errorString()));
  if (bytes.isEmpty()) throw EFileError(QStringLiteral("Settings file \"%1\" is empty.").arg(path));
  const QStringList lines = splitLines(decodeFile(bytes, path));
  // A file cut off before its first section holds nothing we wrote: count it as lost.
  if (std::none_of(lines.begin(), lines.end(),
                   [](const QString& l) { return !sectionText(l).isNull(); }))
    throw EFileError(QStringLiteral("Settings file \"%1\" has no section.").arg(path));
  LoadFromStrings(lines);
}

TSettingsStorage::LoadReport TSettingsStorage::loadWithBackup(TSettingsStorage& into,
                                                              const QString& fileName) {
  LoadReport report;
  into.FKeys.clear();
  into.IniFileName = fileName;
  // Each file into a store of its own: true when it loaded whole. What a
  // file that failed part-way gave stays in its store.
  auto attempt = [](const QString& path, TSettingsStorage& store, QString& error) {
    if (!QFile::exists(path)) return false;
    try {
      store.LoadFromIniFile(path);
    } catch (const std::exception& e) {
      error = exceptionMessage(e);
      return false;
    }
    return true;
  };
  TSettingsStorage mainStore, backupStore;
  if (attempt(fileName, mainStore, report.mainError)) {
    report.source = LoadReport::Main;
  } else if (attempt(backupFileName(fileName), backupStore, report.backupError)) {
    report.source = LoadReport::Backup;
  } else if (!mainStore.FKeys.empty()) {
    // Neither file loaded whole. The values read before the main file's
    // fault are kept, so the next save never writes less than was read.
    report.source = LoadReport::MainPart;
  } else if (!backupStore.FKeys.empty()) {
    report.source = LoadReport::BackupPart;
  }
  switch (report.source) {
    case LoadReport::Main:
    case LoadReport::MainPart:
      into.FKeys = std::move(mainStore.FKeys);
      break;
    case LoadReport::Backup:
    case LoadReport::BackupPart:
      into.FKeys = std::move(backupStore.FKeys);
      break;
    case LoadReport::None:
      break;
  }
  return report;
}

void TSettingsStorage::saveWithBackup(const QString& FileName) const {
  const QString path = FileName.isEmpty() ? IniFileName : FileName;
  // Both are attempted, so one failing file does not cost the other its update.
  QString firstError;
  for (const QString& target : {path, backupFileName(path)}) {
    const SaveResult saved = SaveToIniFile(target);
    if (!saved && firstError.isEmpty()) firstError = saved.error;
  }
  if (!firstError.isEmpty()) throw EFileError(firstError);
}
