#include "backoffice/WireValue.h"

#include <QLocale>
#include <cmath>
#include <limits>

#include "platform/TextCodec.h"

namespace {

const QDate kDayZero(1899, 12, 30);
constexpr qint64 kMsPerDay = 86'400'000;

bool parseInt64(const QString& s, qint64* out) {
  bool ok = false;
  qint64 v = s.trimmed().toLongLong(&ok);
  if (!ok) {
    // Hexadecimal in the "$FF" form is what the original's casts also accept.
    QString t = s.trimmed();
    if (t.startsWith(u'$')) v = t.mid(1).toLongLong(&ok, 16);
  }
  if (ok) *out = v;
  return ok;
}

bool parseDouble(const QString& s, double* out) {
  QString t = s.trimmed();
  bool ok = false;
  double v = t.toDouble(&ok);
  if (!ok) v = QString(t).replace(u',', u'.').toDouble(&ok);
  if (ok) *out = v;
  return ok;
}

QString formatDouble(double d) {
  if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15)
    return QString::number(qint64(d));
  return QString::number(d, 'g', 15);
}

}  // namespace

double dateTimeToDays(const QDateTime& local) {
  qint64 days = kDayZero.daysTo(local.date());
  qint64 ms = local.time().msecsSinceStartOfDay();
  return double(days) + double(ms) / double(kMsPerDay);
}

namespace {

template <typename Make>
QDateTime fromDays(double days, Make make) {
  if (!std::isfinite(days) || std::fabs(days) > 3e6) return QDateTime();
  // Whole milliseconds, as the wire carries them, so a round trip is exact.
  qint64 totalMs = qint64(std::nearbyint(days * double(kMsPerDay)));
  qint64 d = totalMs / kMsPerDay;
  qint64 ms = totalMs % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    --d;
  }
  return make(kDayZero.addDays(d), QTime::fromMSecsSinceStartOfDay(int(ms)));
}

}  // namespace

QDateTime daysToDateTime(double days) {
  return fromDays(days, [](QDate d, QTime t) { return QDateTime(d, t); });
}

QDateTime daysToDateTime(double days, plat::LocalTimes& zone) {
  return fromDays(days, [&zone](QDate d, QTime t) { return zone.at(d, t); });
}

WireValue::WireValue(const TVariantArray& a)
    : type_(VarType::Array), a_(std::make_shared<const TVariantArray>(a)) {}

WireValue WireValue::single(float v) {
  WireValue w(VarType::Single);
  w.d_ = v;
  return w;
}

WireValue WireValue::currency(double v) {
  WireValue w(VarType::Currency);
  // The original's currency has four decimals.
  w.d_ = std::nearbyint(v * 10000.0) / 10000.0;
  return w;
}

WireValue WireValue::dateTime(double days) {
  WireValue w(VarType::Date);
  w.d_ = days;
  return w;
}

WireValue WireValue::dateTime(const QDateTime& local) {
  return dateTime(dateTimeToDays(local));
}

WireValue WireValue::ansi(const QString& text) {
  return ansiBytes(plat::toAnsi(text));
}

WireValue WireValue::ansiBytes(const QByteArray& bytes) {
  WireValue w(VarType::String);
  w.b_ = bytes;
  return w;
}

WireValue WireValue::oleStr(const QString& text) {
  WireValue w(VarType::OleStr);
  w.s_ = text;
  return w;
}

bool WireValue::isIntegral() const {
  switch (type_) {
    case VarType::ShortInt:
    case VarType::Smallint:
    case VarType::Integer:
    case VarType::Byte:
    case VarType::Word:
    case VarType::LongWord:
    case VarType::Int64:
    case VarType::UInt64:
      return true;
    default:
      return false;
  }
}

bool WireValue::isText() const {
  return type_ == VarType::UString || type_ == VarType::OleStr || type_ == VarType::String;
}

QString WireValue::typeName(VarType t) {
  switch (t) {
    case VarType::Empty:
      return QStringLiteral("Empty");
    case VarType::Null:
      return QStringLiteral("Null");
    case VarType::Smallint:
      return QStringLiteral("Smallint");
    case VarType::Integer:
      return QStringLiteral("Integer");
    case VarType::Single:
      return QStringLiteral("Single");
    case VarType::Double:
      return QStringLiteral("Double");
    case VarType::Currency:
      return QStringLiteral("Currency");
    case VarType::Date:
      return QStringLiteral("Date");
    case VarType::OleStr:
      return QStringLiteral("OleStr");
    case VarType::Error:
      return QStringLiteral("Error");
    case VarType::Boolean:
      return QStringLiteral("Boolean");
    case VarType::ShortInt:
      return QStringLiteral("ShortInt");
    case VarType::Byte:
      return QStringLiteral("Byte");
    case VarType::Word:
      return QStringLiteral("Word");
    case VarType::LongWord:
      return QStringLiteral("Cardinal");
    case VarType::Int64:
      return QStringLiteral("Int64");
    case VarType::UInt64:
      return QStringLiteral("UInt64");
    case VarType::String:
      return QStringLiteral("String");
    case VarType::UString:
      return QStringLiteral("UnicodeString");
    case VarType::Array:
      return QStringLiteral("Array Variant");
    case VarType::ByteArray:
      return QStringLiteral("Array Byte");
  }
  return QStringLiteral("Unknown");
}

void WireValue::castError(const char* target) const {
  throw EVariantError(QStringLiteral("Could not convert variant of type (%1) into type (%2)")
                          .arg(typeName(type_), QString::fromLatin1(target)));
}

QString WireValue::toString() const {
  switch (type_) {
    case VarType::Empty:
      return QString();
    case VarType::Null:
      castError("UnicodeString");
    case VarType::Boolean:
      return i_ ? QStringLiteral("True") : QStringLiteral("False");
    case VarType::UInt64:
      return QString::number(quint64(i_));
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
      return formatDouble(d_);
    case VarType::Date: {
      QDateTime dt = daysToDateTime(d_);
      if (dt.time().msecsSinceStartOfDay() == 0) return dt.toString(QStringLiteral("dd.MM.yyyy"));
      return dt.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
    }
    case VarType::OleStr:
    case VarType::UString:
      return s_;
    case VarType::String:
      return plat::fromAnsi(b_);
    case VarType::ByteArray:
      return plat::fromAnsi(b_);
    case VarType::Array:
      castError("UnicodeString");
    default:
      if (isIntegral() || type_ == VarType::Error) return QString::number(i_);
      castError("UnicodeString");
  }
}

qint64 WireValue::toInt64() const {
  switch (type_) {
    case VarType::Empty:
      return 0;
    case VarType::Boolean:
      return i_ ? -1 : 0;  // the original's True is -1 as a number
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
    case VarType::Date: {
      double r = std::nearbyint(d_);
      if (!std::isfinite(r) || r < -9.2e18 || r > 9.2e18) castError("Int64");
      return qint64(r);
    }
    case VarType::OleStr:
    case VarType::UString:
    case VarType::String: {
      qint64 v = 0;
      if (parseInt64(toString(), &v)) return v;
      double d = 0;
      if (parseDouble(toString(), &d) && std::fabs(d) < 9.2e18) return qint64(std::nearbyint(d));
      castError("Int64");
    }
    default:
      if (isIntegral()) return i_;
      castError("Int64");
  }
}

qint32 WireValue::toInt() const {
  qint64 v = toInt64();
  if (type_ == VarType::UInt64 || type_ == VarType::Int64 || type_ == VarType::LongWord) {
    // Wide integers are cut to 32 bits, as the original's cast does.
    return qint32(uint32_t(quint64(v)));
  }
  if (v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max())
    castError("Integer");
  return qint32(v);
}

double WireValue::toDouble() const {
  switch (type_) {
    case VarType::Empty:
      return 0;
    case VarType::Boolean:
      return i_ ? -1 : 0;
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
    case VarType::Date:
      return d_;
    case VarType::UInt64:
      return double(quint64(i_));
    case VarType::OleStr:
    case VarType::UString:
    case VarType::String: {
      double d = 0;
      if (parseDouble(toString(), &d)) return d;
      castError("Double");
    }
    default:
      if (isIntegral()) return double(i_);
      castError("Double");
  }
}

bool WireValue::toBool() const {
  switch (type_) {
    case VarType::Empty:
      return false;
    case VarType::Boolean:
      return i_ != 0;
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
      return d_ != 0;
    case VarType::OleStr:
    case VarType::UString:
    case VarType::String: {
      QString t = toString().trimmed();
      if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return true;
      if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) return false;
      qint64 v = 0;
      if (parseInt64(t, &v)) return v != 0;
      castError("Boolean");
    }
    default:
      if (isIntegral()) return i_ != 0;
      castError("Boolean");
  }
}

double WireValue::toDateTime() const {
  switch (type_) {
    case VarType::Date:
      return d_;
    case VarType::OleStr:
    case VarType::UString:
    case VarType::String: {
      QString t = toString().trimmed();
      for (const char* f : {"dd.MM.yyyy hh:mm:ss", "dd.MM.yyyy hh:mm", "dd.MM.yyyy",
                            "yyyy-MM-dd hh:mm:ss", "yyyy-MM-ddThh:mm:ss", "yyyy-MM-dd"}) {
        QDateTime dt = QDateTime::fromString(t, QString::fromLatin1(f));
        if (dt.isValid()) return dateTimeToDays(dt);
      }
      castError("Date");
    }
    default:
      if (type_ == VarType::Null || type_ == VarType::Array || type_ == VarType::ByteArray)
        castError("Date");
      return toDouble();
  }
}

QDateTime WireValue::toQDateTime() const {
  return daysToDateTime(toDateTime());
}

QByteArray WireValue::toBytes() const {
  switch (type_) {
    case VarType::ByteArray:
    case VarType::String:
      return b_;
    case VarType::Empty:
      return QByteArray();
    case VarType::Null:
    case VarType::Array:
      castError("Array Byte");
    default:
      return plat::toAnsi(toString());
  }
}

QByteArray WireValue::ansiPayload() const {
  if (type_ == VarType::String || type_ == VarType::ByteArray) return b_;
  return plat::toAnsi(toString());
}

const TVariantArray& WireValue::elements() const {
  static const TVariantArray empty;
  return a_ ? *a_ : empty;
}

bool WireValue::operator==(const WireValue& o) const {
  if (type_ != o.type_) return false;
  switch (type_) {
    case VarType::Empty:
    case VarType::Null:
      return true;
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
    case VarType::Date:
      return d_ == o.d_;
    case VarType::OleStr:
    case VarType::UString:
      return s_ == o.s_;
    case VarType::String:
    case VarType::ByteArray:
      return b_ == o.b_;
    case VarType::Array:
      return elements() == o.elements();
    default:
      return i_ == o.i_;
  }
}

QString WireValue::debugText() const {
  if (isNull()) return QStringLiteral("Null");
  if (isEmpty()) return QStringLiteral("Empty");
  if (type_ == VarType::ByteArray)
    return QStringLiteral("bytes:") + QString::fromLatin1(b_.toHex());
  if (type_ == VarType::Array) {
    QStringList parts;
    for (const auto& e : elements()) parts << e.debugText();
    return QStringLiteral("[") + parts.join(QStringLiteral(", ")) + QStringLiteral("]");
  }
  return typeName(type_) + u':' + toString();
}

QVariant WireValue::toQVariant() const {
  switch (type_) {
    case VarType::Empty:
    case VarType::Null:
      return QVariant();
    case VarType::Boolean:
      return QVariant(i_ != 0);
    case VarType::Single:
    case VarType::Double:
    case VarType::Currency:
      return QVariant(d_);
    case VarType::Date:
      return QVariant(daysToDateTime(d_));
    case VarType::OleStr:
    case VarType::UString:
    case VarType::String:
      return QVariant(toString());
    case VarType::ByteArray:
      return QVariant(b_);
    case VarType::Int64:
      return QVariant(qint64(i_));
    case VarType::UInt64:
      return QVariant(quint64(i_));
    case VarType::LongWord:
      return QVariant(uint(i_));
    case VarType::Array: {
      QVariantList l;
      for (const auto& e : elements()) l << e.toQVariant();
      return l;
    }
    default:
      return QVariant(int(i_));
  }
}

WireValue WireValue::fromQVariant(const QVariant& v) {
  if (!v.isValid() || v.isNull()) return null();
  switch (v.typeId()) {
    case QMetaType::Bool:
      return WireValue(v.toBool());
    case QMetaType::Int:
      return WireValue(v.toInt());
    case QMetaType::UInt:
      return longWord(v.toUInt());
    case QMetaType::Short:
      return smallint(qint16(v.toInt()));
    case QMetaType::UShort:
      return word(quint16(v.toUInt()));
    case QMetaType::SChar:
    case QMetaType::Char:
      return shortInt(qint8(v.toInt()));
    case QMetaType::UChar:
      return byte(quint8(v.toUInt()));
    case QMetaType::LongLong:
    case QMetaType::Long:
      return int64(v.toLongLong());
    case QMetaType::ULongLong:
    case QMetaType::ULong:
      return uint64(v.toULongLong());
    case QMetaType::Float:
      return single(v.toFloat());
    case QMetaType::Double:
      return WireValue(v.toDouble());
    case QMetaType::QString:
      return WireValue(v.toString());
    case QMetaType::QByteArray:
      return WireValue(v.toByteArray());
    case QMetaType::QDateTime:
      return dateTime(v.toDateTime());
    case QMetaType::QDate:
      return dateTime(v.toDate().startOfDay());
    case QMetaType::QTime:
      return dateTime(double(v.toTime().msecsSinceStartOfDay()) / double(kMsPerDay));
    case QMetaType::QVariantList: {
      TVariantArray a;
      for (const auto& e : v.toList()) a.push_back(fromQVariant(e));
      return WireValue(a);
    }
    default:
      return WireValue(v.toString());
  }
}
