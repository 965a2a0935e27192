#include "kiosk/SettingsKeys.h"

#include "kiosk/SettingsStorage.h"
#include "platform/Common.h"
#include "platform/Exception.h"

namespace {

QStringList sectionOf(const TSettingKey& key) {
  return {QString::fromLatin1(key.section)};
}

// The stored value, with an empty one taken as missing (the file cannot hold
// an empty value, so the store behaves the same before and after a reload).
QVariant stored(const TSettingsStorage& ss, const TSettingKey& key) {
  const QVariant v = ss.Get(sectionOf(key), QString::fromLatin1(key.name));
  if (!v.isValid() || v.isNull()) return QVariant();
  if (v.typeId() == QMetaType::QString && v.toString().isEmpty()) return QVariant();
  return v;
}

}  // namespace

QString readText(const TSettingsStorage& ss, const TSettingKey& key) {
  const QVariant v = stored(ss, key);
  return v.isValid() ? VariantToText(v) : QString::fromUtf8(key.defaultText);
}

int readInt(const TSettingsStorage& ss, const TSettingKey& key) {
  const QVariant v = stored(ss, key);
  const QString text = v.isValid() ? VariantToText(v) : QString::fromLatin1(key.defaultText);
  bool ok = false;
  const int n = text.trimmed().toInt(&ok);
  if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(text));
  return n;
}

bool readBool(const TSettingsStorage& ss, const TSettingKey& key) {
  const QVariant v = stored(ss, key);
  if (!v.isValid()) return QLatin1String(key.defaultText) == QLatin1String("True");
  if (v.typeId() == QMetaType::Bool) return v.toBool();
  const QString text = v.toString().trimmed();
  if (text.compare(QLatin1String("True"), Qt::CaseInsensitive) == 0) return true;
  bool ok = false;
  const qint64 n = text.toLongLong(&ok);
  return ok && n != 0;
}

QString readPassword(const TSettingsStorage& ss, const TSettingKey& key, const QString& fallback) {
  const QVariant v = stored(ss, key);
  if (!v.isValid()) return fallback;
  return decodeStoredPassword(v.toString(), fallback);
}

QDateTime readDateTime(const TSettingsStorage& ss, const TSettingKey& key) {
  const QVariant v = stored(ss, key);
  if (!v.isValid()) return QDateTime();
  if (v.typeId() == QMetaType::QDateTime) return v.toDateTime();
  try {
    return StrToDateTimeRegional(v.toString());
  } catch (const Exception&) {
    return QDateTime();
  }
}

void writeText(TSettingsStorage& ss, const TSettingKey& key, const QString& value) {
  ss.Put(sectionOf(key), QString::fromLatin1(key.name), value);
}

void writeInt(TSettingsStorage& ss, const TSettingKey& key, qint64 value) {
  ss.Put(sectionOf(key), QString::fromLatin1(key.name), QString::number(value));
}

void writeBool(TSettingsStorage& ss, const TSettingKey& key, bool value) {
  ss.Put(sectionOf(key), QString::fromLatin1(key.name), value);
}

void writePassword(TSettingsStorage& ss, const TSettingKey& key, const QString& clear) {
  ss.Put(sectionOf(key), QString::fromLatin1(key.name), encodeStoredPassword(clear));
}

void writeDateTime(TSettingsStorage& ss, const TSettingKey& key, const QDateTime& value) {
  ss.Put(sectionOf(key), QString::fromLatin1(key.name),
         value.isValid() ? DateTimeToStrRegional(value) : QString());
}
