#include "platform/MemTable.h"

#include <QDate>
#include <QFile>
#include <QIODevice>
#include <QSaveFile>
#include <QTime>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <typeinfo>

#include "platform/TextCodec.h"

namespace plat {

namespace {

const QVariant kNull;

bool isNullValue(const QVariant& v) {
  return !v.isValid() || v.isNull();
}

// Date-times are held by the original library as days since 1899-12-30; a
// number assigned to a date field, or a date read as a number, uses that scale.
const QDate kDayZero(1899, 12, 30);

double dateTimeToDays(const QDateTime& dt) {
  const qint64 days = kDayZero.daysTo(dt.date());
  const double frac = dt.time().msecsSinceStartOfDay() / 86400000.0;
  return days >= 0 ? days + frac : days - frac;
}

QDateTime daysToDateTime(double d) {
  if (!std::isfinite(d) || std::fabs(d) > 3.0e6)
    throw EConvertError(QStringLiteral("Invalid argument to date encode"));
  const double whole = std::trunc(d);
  const qint64 ms = std::llround(std::fabs(d - whole) * 86400000.0);
  QDate date = kDayZero.addDays(static_cast<qint64>(whole));
  return QDateTime(date, QTime(0, 0).addMSecs(static_cast<int>(std::min<qint64>(ms, 86399999))));
}

QString floatText(double d) {
  return QString::number(d, 'g', 15);
}

QString dateTimeText(const QDateTime& dt) {
  if (dt.time().msecsSinceStartOfDay() == 0)
    return dt.date().toString(QStringLiteral("dd.MM.yyyy"));
  return dt.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

[[noreturn]] void badValue(const QString& text, const char* what) {
  throw EConvertError(QStringLiteral("'%1' is not a valid %2").arg(text, QLatin1String(what)));
}

QString textOf(const QVariant& v) {
  switch (v.typeId()) {
    case QMetaType::QString:
      return v.toString();
    case QMetaType::QByteArray:
      return fromAnsi(v.toByteArray());
    case QMetaType::Bool:
      return v.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QMetaType::Double:
    case QMetaType::Float:
      return floatText(v.toDouble());
    case QMetaType::QDateTime:
      return dateTimeText(v.toDateTime());
    case QMetaType::QDate:
      return v.toDate().toString(QStringLiteral("dd.MM.yyyy"));
    case QMetaType::QTime:
      return v.toTime().toString(QStringLiteral("hh:mm:ss"));
    default:
      return v.toString();
  }
}

bool isIntegral(int t) {
  switch (t) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Long:
    case QMetaType::ULong:
      return true;
    default:
      return false;
  }
}

bool isFloating(int t) {
  return t == QMetaType::Double || t == QMetaType::Float;
}

qint64 toInt64(const QVariant& v, const char* what) {
  const int t = v.typeId();
  if (isIntegral(t)) {
    if (t == QMetaType::ULongLong || t == QMetaType::ULong) {
      const qulonglong u = v.toULongLong();
      if (u > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
        badValue(v.toString(), what);
      return static_cast<qint64>(u);
    }
    return v.toLongLong();
  }
  if (isFloating(t)) {
    const double d = std::nearbyint(v.toDouble());
    if (!(d >= -9.2e18 && d <= 9.2e18)) badValue(floatText(v.toDouble()), what);
    return static_cast<qint64>(d);
  }
  if (t == QMetaType::Bool) return v.toBool() ? 1 : 0;
  if (t == QMetaType::QString || t == QMetaType::QByteArray) {
    const QString s = textOf(v).trimmed();
    bool ok = false;
    const qint64 r = s.toLongLong(&ok);
    if (!ok) badValue(textOf(v), what);
    return r;
  }
  badValue(textOf(v), what);
}

double toDouble(const QVariant& v) {
  const int t = v.typeId();
  if (isFloating(t)) return v.toDouble();
  if (isIntegral(t)) return static_cast<double>(v.toLongLong());
  if (t == QMetaType::Bool) return v.toBool() ? 1 : 0;
  if (t == QMetaType::QDateTime) return dateTimeToDays(v.toDateTime());
  if (t == QMetaType::QDate) return static_cast<double>(kDayZero.daysTo(v.toDate()));
  if (t == QMetaType::QTime) return v.toTime().msecsSinceStartOfDay() / 86400000.0;
  if (t == QMetaType::QString || t == QMetaType::QByteArray) {
    QString s = textOf(v).trimmed();
    s.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    const double r = s.toDouble(&ok);
    if (!ok) badValue(textOf(v), "floating point value");
    return r;
  }
  badValue(textOf(v), "floating point value");
}

bool toBool(const QVariant& v) {
  const int t = v.typeId();
  if (t == QMetaType::Bool) return v.toBool();
  if (isIntegral(t)) return v.toLongLong() != 0;
  if (isFloating(t)) return v.toDouble() != 0;
  if (t == QMetaType::QString || t == QMetaType::QByteArray) {
    const QString s = textOf(v).trimmed().toLower();
    if (s == u"true" || s == u"t" || s == u"1" || s == u"yes" || s == u"y") return true;
    if (s == u"false" || s == u"f" || s == u"0" || s == u"no" || s == u"n") return false;
  }
  badValue(textOf(v), "boolean value");
}

QDateTime parseDateTime(const QString& text) {
  const QString s = text.trimmed();
  static const char* const formats[] = {"dd.MM.yyyy hh:mm:ss.zzz",
                                        "dd.MM.yyyy hh:mm:ss",
                                        "dd.MM.yyyy hh:mm",
                                        "dd.MM.yyyy",
                                        "yyyy-MM-ddThh:mm:ss.zzz",
                                        "yyyy-MM-ddThh:mm:ss",
                                        "yyyy-MM-dd hh:mm:ss.zzz",
                                        "yyyy-MM-dd hh:mm:ss",
                                        "yyyy-MM-dd"};
  for (const char* f : formats) {
    QDateTime dt = QDateTime::fromString(s, QLatin1String(f));
    if (dt.isValid()) return dt;
  }
  static const char* const timeFormats[] = {"hh:mm:ss.zzz", "hh:mm:ss", "hh:mm"};
  for (const char* f : timeFormats) {
    const QTime tm = QTime::fromString(s, QLatin1String(f));
    if (tm.isValid()) return QDateTime(kDayZero, tm);
  }
  badValue(text, "date and time");
}

QDateTime toDateTime(const QVariant& v) {
  switch (v.typeId()) {
    case QMetaType::QDateTime: {
      QDateTime dt = v.toDateTime();
      if (!dt.isValid()) badValue(v.toString(), "date and time");
      return dt;
    }
    case QMetaType::QDate:
      return QDateTime(v.toDate(), QTime(0, 0));
    case QMetaType::QTime:
      return QDateTime(kDayZero, v.toTime());
    case QMetaType::QString:
    case QMetaType::QByteArray:
      return parseDateTime(textOf(v));
    default:
      if (isIntegral(v.typeId()) || isFloating(v.typeId())) return daysToDateTime(toDouble(v));
      badValue(textOf(v), "date and time");
  }
}

// Fields of these types keep whatever value they are given.
bool keepsAnyValue(int storage) {
  return storage == QMetaType::UnknownType;
}

// -1: a < b, 0: equal, 1: a > b. Null sorts first.
int compareValues(const QVariant& a, const QVariant& b, bool caseInsensitive) {
  const bool an = isNullValue(a), bn = isNullValue(b);
  if (an || bn) return an == bn ? 0 : (an ? -1 : 1);
  auto cmp = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  const int ta = a.typeId(), tb = b.typeId();
  if (ta == tb) {
    switch (ta) {
      case QMetaType::QString: {
        const int c = QString::compare(*static_cast<const QString*>(a.constData()),
                                       *static_cast<const QString*>(b.constData()),
                                       caseInsensitive ? Qt::CaseInsensitive : Qt::CaseSensitive);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
      }
      case QMetaType::Int:
        return cmp(*static_cast<const int*>(a.constData()),
                   *static_cast<const int*>(b.constData()));
      case QMetaType::LongLong:
        return cmp(a.toLongLong(), b.toLongLong());
      case QMetaType::Double:
        return cmp(a.toDouble(), b.toDouble());
      case QMetaType::Bool:
        return cmp(a.toBool(), b.toBool());
      case QMetaType::QDateTime:
        return cmp(a.toDateTime(), b.toDateTime());
      case QMetaType::QDate:
        return cmp(a.toDate(), b.toDate());
      case QMetaType::QTime:
        return cmp(a.toTime(), b.toTime());
      case QMetaType::QByteArray:
        return cmp(a.toByteArray(), b.toByteArray());
      default:
        break;
    }
  }
  const bool numA = isIntegral(ta) || isFloating(ta) || ta == QMetaType::Bool;
  const bool numB = isIntegral(tb) || isFloating(tb) || tb == QMetaType::Bool;
  if (numA && numB) {
    if (isIntegral(ta) && isIntegral(tb)) return cmp(a.toLongLong(), b.toLongLong());
    return cmp(toDouble(a), toDouble(b));
  }
  const int c = QString::compare(textOf(a), textOf(b),
                                 caseInsensitive ? Qt::CaseInsensitive : Qt::CaseSensitive);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool matches(const QVariant& stored, const QVariant& wanted, LocateOptions options) {
  const bool ci = options & loCaseInsensitive;
  if ((options & loPartialKey) && !isNullValue(stored) && !isNullValue(wanted) &&
      stored.typeId() == QMetaType::QString && wanted.typeId() == QMetaType::QString) {
    return stored.toString().startsWith(wanted.toString(),
                                        ci ? Qt::CaseInsensitive : Qt::CaseSensitive);
  }
  return compareValues(stored, wanted, ci) == 0;
}

QStringList splitNames(const QString& names) {
  QStringList out;
  for (const QString& part : names.split(QLatin1Char(';'))) {
    const QString n = part.trimmed();
    if (!n.isEmpty()) out.push_back(n);
  }
  return out;
}

[[noreturn]] void fieldNotFound(const QString& name) {
  throw EDatabaseError(QStringLiteral("Field '%1' not found").arg(name));
}

// Sets a value and puts the old one back when the scope ends, also on a throw.
template <typename T>
class Restore {
 public:
  Restore(T& var, T value) : var_(var), old_(var) { var_ = std::move(value); }
  ~Restore() { var_ = std::move(old_); }
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

 private:
  T& var_;
  T old_;
};

// ---- CRC-32 (IEEE 802.3, reflected) ----
constexpr std::array<quint32, 256> makeCrcTable() {
  std::array<quint32, 256> t{};
  for (quint32 i = 0; i < 256; ++i) {
    quint32 c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[i] = c;
  }
  return t;
}
constexpr std::array<quint32, 256> kCrcTable = makeCrcTable();

quint32 crc32(const char* data, qsizetype n) {
  quint32 c = 0xFFFFFFFFu;
  for (qsizetype i = 0; i < n; ++i)
    c = kCrcTable[(c ^ static_cast<quint8>(data[i])) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// ---- file format ----
// Little-endian throughout:
//   "VKTB" | u16 version | u16 flags (0) | u64 body length | body | u32 CRC-32
// The CRC covers everything before it. Body:
//   u32 field count; per field: u32 name length, UTF-8 name, u8 kind,
//   i32 data type (ordinal), i32 size, i32 precision;
//   u64 row count; per row: u8 marker (0xA5), then one value per data field.
// A value is a tag byte and its payload (see ValueTag).
constexpr char kMagic[4] = {'V', 'K', 'T', 'B'};
constexpr quint16 kVersion = 1;
constexpr int kHeaderSize = 4 + 2 + 2 + 8;
constexpr quint8 kRowMarker = 0xA5;
constexpr quint32 kMaxFields = 4096;
constexpr int kMaxListDepth = 16;

enum ValueTag : quint8 {
  vtNull = 0,
  vtString = 1,
  vtInt32 = 2,
  vtInt64 = 3,
  vtFalse = 4,
  vtTrue = 5,
  vtDouble = 6,
  vtDateTime = 7,
  vtDate = 8,
  vtTime = 9,
  vtBytes = 10,
  vtList = 11,
  vtText = 12,  // a value of another kind, kept as its text
};

class Writer {
 public:
  QByteArray buf;
  void u8(quint8 v) { buf.append(static_cast<char>(v)); }
  template <typename T>
  void num(T v) {
    char b[sizeof(T)];
    qToLittleEndian(v, b);
    buf.append(b, sizeof(T));
  }
  void bytes(const QByteArray& b) {
    num<quint32>(static_cast<quint32>(b.size()));
    buf.append(b);
  }
  void value(const QVariant& v, int depth = 0) {
    if (isNullValue(v)) return u8(vtNull);
    switch (v.typeId()) {
      case QMetaType::QString:
        u8(vtString);
        return bytes(v.toString().toUtf8());
      case QMetaType::Int:
      case QMetaType::Short:
      case QMetaType::UShort:
      case QMetaType::Char:
      case QMetaType::SChar:
      case QMetaType::UChar:
        u8(vtInt32);
        return num<qint32>(v.toInt());
      case QMetaType::UInt:
      case QMetaType::LongLong:
      case QMetaType::Long:
        u8(vtInt64);
        return num<qint64>(v.toLongLong());
      case QMetaType::Bool:
        return u8(v.toBool() ? vtTrue : vtFalse);
      case QMetaType::Double:
      case QMetaType::Float: {
        u8(vtDouble);
        const double d = v.toDouble();
        quint64 bits;
        std::memcpy(&bits, &d, sizeof bits);
        return num<quint64>(bits);
      }
      case QMetaType::QDateTime: {
        const QDateTime dt = v.toDateTime();
        if (!dt.isValid()) return u8(vtNull);
        // Wall-clock date and time, so that a file read in another time zone
        // shows the same values.
        u8(vtDateTime);
        num<qint64>(dt.date().toJulianDay());
        return num<qint32>(dt.time().msecsSinceStartOfDay());
      }
      case QMetaType::QDate:
        if (!v.toDate().isValid()) return u8(vtNull);
        u8(vtDate);
        return num<qint64>(v.toDate().toJulianDay());
      case QMetaType::QTime:
        if (!v.toTime().isValid()) return u8(vtNull);
        u8(vtTime);
        return num<qint32>(v.toTime().msecsSinceStartOfDay());
      case QMetaType::QByteArray:
        u8(vtBytes);
        return bytes(v.toByteArray());
      case QMetaType::QVariantList: {
        if (depth < kMaxListDepth) {
          const QVariantList list = v.toList();
          u8(vtList);
          num<quint32>(static_cast<quint32>(list.size()));
          for (const QVariant& item : list) value(item, depth + 1);
          return;
        }
        break;
      }
      default:
        if (v.typeId() == QMetaType::ULongLong || v.typeId() == QMetaType::ULong) {
          u8(vtInt64);
          return num<qint64>(static_cast<qint64>(v.toULongLong()));
        }
        break;
    }
    u8(vtText);
    bytes(v.toString().toUtf8());
  }
};

struct LoadFailure {
  QString reason;
};

class Reader {
 public:
  Reader(const char* p, qsizetype n) : p_(p), end_(p + n) {}
  qsizetype left() const { return end_ - p_; }
  const char* take(qsizetype n) {
    if (n < 0 || left() < n)
      throw LoadFailure{QStringLiteral("is damaged (a length runs past the end)")};
    const char* r = p_;
    p_ += n;
    return r;
  }
  quint8 u8() { return static_cast<quint8>(*take(1)); }
  template <typename T>
  T num() {
    return qFromLittleEndian<T>(take(sizeof(T)));
  }
  QByteArray bytes() {
    const quint32 n = num<quint32>();
    const char* d = take(static_cast<qsizetype>(n));
    return QByteArray(d, static_cast<qsizetype>(n));
  }
  QVariant value(int depth = 0) {
    const quint8 tag = u8();
    switch (tag) {
      case vtNull:
        return QVariant();
      case vtString:
      case vtText:
        return QString::fromUtf8(bytes());
      case vtInt32:
        return QVariant(static_cast<int>(num<qint32>()));
      case vtInt64:
        return QVariant(static_cast<qlonglong>(num<qint64>()));
      case vtFalse:
        return QVariant(false);
      case vtTrue:
        return QVariant(true);
      case vtDouble: {
        const quint64 bits = num<quint64>();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return QVariant(d);
      }
      case vtDateTime: {
        const QDate date = julian(num<qint64>());
        const QTime time = msecs(num<qint32>());
        return QVariant(QDateTime(date, time));
      }
      case vtDate:
        return QVariant(julian(num<qint64>()));
      case vtTime:
        return QVariant(msecs(num<qint32>()));
      case vtBytes:
        return QVariant(bytes());
      case vtList: {
        if (depth >= kMaxListDepth)
          throw LoadFailure{QStringLiteral("is damaged (lists nested too deep)")};
        const quint32 n = num<quint32>();
        if (n > static_cast<quint64>(left()))
          throw LoadFailure{QStringLiteral("is damaged (a length runs past the end)")};
        QVariantList list;
        list.reserve(static_cast<qsizetype>(n));
        for (quint32 i = 0; i < n; ++i) list.push_back(value(depth + 1));
        return list;
      }
      default:
        throw LoadFailure{QStringLiteral("is damaged (unknown value tag %1)").arg(tag)};
    }
  }

 private:
  static QDate julian(qint64 jd) {
    // Beyond any date a table can hold; also keeps QDate's arithmetic in range.
    if (jd < -100000000 || jd > 100000000)
      throw LoadFailure{QStringLiteral("is damaged (date out of range)")};
    return QDate::fromJulianDay(jd);
  }
  static QTime msecs(qint32 ms) {
    if (ms < 0 || ms >= 86400000)
      throw LoadFailure{QStringLiteral("is damaged (time out of range)")};
    return QTime::fromMSecsSinceStartOfDay(ms);
  }
  const char* p_;
  const char* end_;
};

QByteArray readAllFrom(QIODevice& in) {
  QByteArray data = in.readAll();
  return data;
}

}  // namespace

// ---------------------------------------------------------------------------
// type mapping

int storageTypeOf(TFieldType t) {
  switch (t) {
    case ftString:
    case ftMemo:
    case ftFmtMemo:
    case ftFixedChar:
    case ftWideString:
    case ftFixedWideChar:
    case ftWideMemo:
    case ftGuid:
    case ftOraClob:
      return QMetaType::QString;
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftShortint:
    case ftByte:
      return QMetaType::Int;
    case ftLargeint:
    case ftLongWord:
      return QMetaType::LongLong;
    case ftBoolean:
      return QMetaType::Bool;
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftFMTBcd:
    case ftExtended:
    case ftSingle:
      return QMetaType::Double;
    case ftDate:
      return QMetaType::QDate;
    case ftTime:
      return QMetaType::QTime;
    case ftDateTime:
    case ftTimeStamp:
    case ftOraTimeStamp:
    case ftTimeStampOffset:
      return QMetaType::QDateTime;
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
    case ftOraBlob:
    case ftParadoxOle:
    case ftDBaseOle:
      return QMetaType::QByteArray;
    default:
      return QMetaType::UnknownType;
  }
}

QVariant convertToFieldType(TFieldType t, const QVariant& v) {
  if (isNullValue(v)) return QVariant();
  const int storage = storageTypeOf(t);
  if (keepsAnyValue(storage) || v.typeId() == storage) return v;
  switch (storage) {
    case QMetaType::QString:
      return textOf(v);
    case QMetaType::Int: {
      const qint64 r = toInt64(v, "integer value");
      if (r < std::numeric_limits<qint32>::min() || r > std::numeric_limits<qint32>::max())
        badValue(textOf(v), "integer value");
      return QVariant(static_cast<int>(r));
    }
    case QMetaType::LongLong:
      return QVariant(static_cast<qlonglong>(toInt64(v, "integer value")));
    case QMetaType::Bool:
      return QVariant(toBool(v));
    case QMetaType::Double:
      return QVariant(toDouble(v));
    case QMetaType::QDateTime:
      return QVariant(toDateTime(v));
    case QMetaType::QDate:
      return QVariant(toDateTime(v).date());
    case QMetaType::QTime:
      return QVariant(toDateTime(v).time());
    case QMetaType::QByteArray:
      return QVariant(toAnsi(textOf(v)));
    default:
      return v;
  }
}

// ---------------------------------------------------------------------------
// Field

const QVariant& Field::Value() const {
  return table_->readValue(index_);
}

QString Field::AsString() const {
  const QVariant& v = Value();
  return isNullValue(v) ? QString() : textOf(v);
}

int Field::AsInteger() const {
  const QVariant& v = Value();
  if (isNullValue(v)) return 0;
  if (v.typeId() == QMetaType::Int) return *static_cast<const int*>(v.constData());
  return convertToFieldType(ftInteger, v).toInt();
}

qint64 Field::AsLargeInt() const {
  const QVariant& v = Value();
  return isNullValue(v) ? 0 : toInt64(v, "integer value");
}

double Field::AsFloat() const {
  const QVariant& v = Value();
  return isNullValue(v) ? 0.0 : toDouble(v);
}

bool Field::AsBoolean() const {
  const QVariant& v = Value();
  return isNullValue(v) ? false : toBool(v);
}

QDateTime Field::AsDateTime() const {
  const QVariant& v = Value();
  return isNullValue(v) ? QDateTime() : toDateTime(v);
}

QByteArray Field::AsBytes() const {
  const QVariant& v = Value();
  if (isNullValue(v)) return QByteArray();
  if (v.typeId() == QMetaType::QByteArray) return v.toByteArray();
  return toAnsi(textOf(v));
}

void Field::SetValue(const QVariant& v) {
  table_->writeValue(*this, v);
}
void Field::SetAsString(const QString& v) {
  table_->writeValue(*this, QVariant(v));
}
void Field::SetAsInteger(int v) {
  table_->writeValue(*this, QVariant(v));
}
void Field::SetAsLargeInt(qint64 v) {
  table_->writeValue(*this, QVariant(static_cast<qlonglong>(v)));
}
void Field::SetAsFloat(double v) {
  table_->writeValue(*this, QVariant(v));
}
void Field::SetAsBoolean(bool v) {
  table_->writeValue(*this, QVariant(v));
}
void Field::SetAsDateTime(const QDateTime& v) {
  table_->writeValue(*this, v.isValid() ? QVariant(v) : QVariant());
}
void Field::SetAsBytes(const QByteArray& v) {
  table_->writeValue(*this, QVariant(v));
}

// ---------------------------------------------------------------------------
// MemTable: structure

MemTable::MemTable() = default;

MemTable::~MemTable() {
  detachFromMaster();
  for (MemTable* d : details_) {
    d->master_ = nullptr;
    if (d->Active() && d->state_ == dsBrowse) d->rebuildView(0);
  }
}

void MemTable::checkActive() const {
  if (state_ == dsInactive)
    throw EDatabaseError(QStringLiteral("Cannot perform this operation on a closed dataset"));
}

void MemTable::checkInactive(const char*) const {
  if (state_ != dsInactive)
    throw EDatabaseError(QStringLiteral("Cannot perform this operation on an open dataset"));
}

Field* MemTable::AddField(const QString& name, TFieldType type, int size, int precision,
                          FieldKind kind) {
  checkInactive("AddField");
  if (FindField(name)) throw EDatabaseError(QStringLiteral("Duplicate field name '%1'").arg(name));
  FieldDef def{name, type, size, precision, kind};
  fields_.push_back(std::unique_ptr<Field>(new Field(this, std::move(def), FieldCount())));
  if (kind == fkCalculated) ++calcFieldCount_;
  return fields_.back().get();
}

void MemTable::ClearFields() {
  checkInactive("ClearFields");
  while (!fields_.empty()) fields_.pop_back();
  calcFieldCount_ = 0;
  sortKeys_.clear();
}

std::vector<FieldDef> MemTable::FieldDefs() const {
  std::vector<FieldDef> out;
  out.reserve(fields_.size());
  for (const auto& f : fields_) out.push_back(f->Def());
  return out;
}

Field* MemTable::FieldByIndex(int i) const {
  if (i < 0 || i >= FieldCount()) throw EDatabaseError(QStringLiteral("Field index out of range"));
  return fields_[static_cast<size_t>(i)].get();
}

Field* MemTable::FindField(const QString& name) const {
  for (const auto& f : fields_)
    if (f->FieldName().compare(name, Qt::CaseInsensitive) == 0) return f.get();
  return nullptr;
}

Field* MemTable::FieldByName(const QString& name) const {
  Field* f = FindField(name);
  if (!f) fieldNotFound(name);
  return f;
}

void MemTable::CopyStructure(const MemTable& src) {
  if (&src == this) return;
  const std::vector<FieldDef> defs = src.FieldDefs();
  Close();
  ClearFields();
  for (const FieldDef& d : defs) AddFieldDef(d);
  Open();
}

std::vector<int> MemTable::parseNames(const QString& names, bool throwOnMissing) const {
  std::vector<int> out;
  for (const QString& n : splitNames(names)) {
    Field* f = FindField(n);
    if (!f) {
      if (throwOnMissing) fieldNotFound(n);
      continue;
    }
    out.push_back(f->Index());
  }
  return out;
}

void MemTable::parseSortKeys() {
  std::vector<SortKey> keys;
  for (const QString& part : splitNames(indexFieldNames_)) {
    QString name = part;
    bool desc = false, ci = false;
    // Options after a colon: D descending, A ascending, N case-insensitive.
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
      const QString opts = name.mid(colon + 1).toUpper();
      name = name.left(colon).trimmed();
      desc = opts.contains(QLatin1Char('D'));
      ci = opts.contains(QLatin1Char('N'));
    }
    Field* f = FindField(name);
    if (!f) fieldNotFound(name);
    keys.push_back(SortKey{f->Index(), desc, ci});
  }
  sortKeys_ = std::move(keys);
}

// ---------------------------------------------------------------------------
// open / close

void MemTable::Open() {
  if (Active()) return;
  try {
    DoBeforeOpen();
    openNoHooks();
  } catch (...) {
    // Rows installed by a load belong to the failed open.
    vals_.clear();
    slotId_.clear();
    freeSlots_.clear();
    order_.clear();
    view_.clear();
    throw;
  }
  DoAfterOpen();
  if (!view_.empty()) DoAfterScroll();
}

void MemTable::openNoHooks() {
  parseSortKeys();
  if (master_) {
    linkDetail_ = parseNames(detailFields_, true);
    linkMaster_ =
        master_->parseNames(masterFields_.isEmpty() ? detailFields_ : masterFields_, true);
  }
  state_ = dsBrowse;
  modified_ = false;
  if (hasCalcFields())
    for (int slot : order_) calcSlot(slot);
  rebuildView(0);
  cur_ = view_.empty() ? -1 : 0;
  bof_ = true;
  eof_ = view_.empty();
  notifyDetails();
}

void MemTable::Close() {
  if (!Active()) return;
  DoBeforeClose();
  state_ = dsInactive;
  vals_.clear();
  slotId_.clear();
  freeSlots_.clear();
  order_.clear();
  view_.clear();
  buf_.clear();
  cur_ = -1;
  bof_ = eof_ = true;
  modified_ = false;
  DoAfterClose();
  notifyDetails();
}

void MemTable::EmptyDataSet() {
  checkActive();
  state_ = dsBrowse;
  buf_.clear();
  modified_ = false;
  vals_.clear();
  slotId_.clear();
  freeSlots_.clear();
  order_.clear();
  view_.clear();
  cur_ = -1;
  bof_ = eof_ = true;
  notifyDetails();
}

// ---------------------------------------------------------------------------
// values

const QVariant& MemTable::readValue(int field) const {
  const size_t nf = fields_.size();
  if (evalSlot_ >= 0)
    return vals_[static_cast<size_t>(evalSlot_) * nf + static_cast<size_t>(field)];
  if (evalBuffer_ || state_ == dsEdit || state_ == dsInsert) {
    if (static_cast<size_t>(field) < buf_.size()) return buf_[static_cast<size_t>(field)];
    return kNull;
  }
  if (state_ != dsInactive && cur_ >= 0)
    return vals_[static_cast<size_t>(view_[static_cast<size_t>(cur_)]) * nf +
                 static_cast<size_t>(field)];
  return kNull;
}

void MemTable::writeValue(Field& f, QVariant v) {
  const size_t i = static_cast<size_t>(f.Index());
  if (state_ == dsCalcFields) {
    if (f.Kind() != fkCalculated)
      throw EDatabaseError(QStringLiteral("Field '%1' cannot be modified").arg(f.FieldName()));
    QVariant c = convertToFieldType(f.DataType(), v);
    if (evalBuffer_)
      buf_[i] = std::move(c);
    else
      slotValues(evalSlot_)[i] = std::move(c);
    return;
  }
  if (state_ != dsEdit && state_ != dsInsert)
    throw EDatabaseError(QStringLiteral("Dataset not in edit or insert mode"));
  if (f.Kind() == fkCalculated)
    throw EDatabaseError(QStringLiteral("Field '%1' cannot be modified").arg(f.FieldName()));
  const int storage = storageTypeOf(f.DataType());
  if (!v.isValid() || keepsAnyValue(storage) || v.typeId() == storage)
    buf_[i] = v.isNull() ? QVariant() : std::move(v);
  else
    buf_[i] = convertToFieldType(f.DataType(), v);
  modified_ = true;
  if (hasCalcFields()) calcBuffer();
  if (f.OnChange) f.OnChange(f);
  if (!details_.empty()) linkChangedFor(f.Index());
}

void MemTable::calcSlot(int slot) {
  if (!hasCalcFields()) return;
  QVariant* vals = slotValues(slot);
  for (const auto& f : fields_)
    if (f->Kind() == fkCalculated) vals[f->Index()] = QVariant();
  Restore<int> e(evalSlot_, slot);
  Restore<DataSetState> s(state_, dsCalcFields);
  DoOnCalcFields();
}

void MemTable::calcBuffer() {
  if (!hasCalcFields() || evalBuffer_) return;
  for (const auto& f : fields_)
    if (f->Kind() == fkCalculated) buf_[static_cast<size_t>(f->Index())] = QVariant();
  Restore<bool> e(evalBuffer_, true);
  Restore<int> slot(evalSlot_, -1);
  Restore<DataSetState> s(state_, dsCalcFields);
  DoOnCalcFields();
}

// ---------------------------------------------------------------------------
// rows

int MemTable::newSlot() {
  const size_t nf = fields_.size();
  int slot;
  if (!freeSlots_.empty()) {
    slot = freeSlots_.back();
    freeSlots_.pop_back();
  } else {
    slot = static_cast<int>(slotId_.size());
    slotId_.push_back(0);
    vals_.resize(vals_.size() + nf);
  }
  slotId_[static_cast<size_t>(slot)] = nextId_++;
  return slot;
}

void MemTable::freeSlot(int slot) {
  QVariant* v = slotValues(slot);
  for (size_t i = 0; i < fields_.size(); ++i) v[i] = QVariant();
  slotId_[static_cast<size_t>(slot)] = 0;
  freeSlots_.push_back(slot);
}

void MemTable::CheckBrowseMode() {
  checkActive();
  if (state_ == dsEdit || state_ == dsInsert) {
    if (modified_)
      Post();
    else
      Cancel();
  }
}

void MemTable::Append() {
  checkActive();
  CheckBrowseMode();
  DoBeforeInsert();
  DoBeforeScroll();
  buf_.assign(fields_.size(), QVariant());
  // A new detail row belongs to the master's current row.
  if (master_ && !linkDetail_.empty() && linkDetail_.size() == linkMaster_.size()) {
    for (size_t i = 0; i < linkDetail_.size(); ++i) {
      const QVariant& mv = master_->readValue(linkMaster_[i]);
      Field* f = fields_[static_cast<size_t>(linkDetail_[i])].get();
      try {
        buf_[static_cast<size_t>(linkDetail_[i])] = convertToFieldType(f->DataType(), mv);
      } catch (const EConvertError&) {
        // Left Null: the master's value does not fit this field.
      }
    }
  }
  state_ = dsInsert;
  bof_ = eof_ = false;
  DoOnNewRecord();
  modified_ = false;
  calcBuffer();
  notifyDetails();
  DoAfterInsert();
  DoAfterScroll();
}

void MemTable::Edit() {
  checkActive();
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (view_.empty() || cur_ < 0) {
    Append();
    return;
  }
  DoBeforeEdit();
  const QVariant* v = slotValues(slotOfPos(cur_));
  buf_.assign(v, v + fields_.size());
  state_ = dsEdit;
  modified_ = false;
  DoAfterEdit();
}

void MemTable::Post() {
  checkActive();
  if (state_ != dsEdit && state_ != dsInsert) return;
  DoBeforePost();
  if (state_ != dsEdit && state_ != dsInsert) return;  // a hook posted or cancelled
  int slot;
  if (state_ == dsInsert) {
    slot = newSlot();
    std::move(buf_.begin(), buf_.end(), slotValues(slot));
    order_.push_back(slot);
    state_ = dsBrowse;
    placeInView(slot);
  } else {
    slot = slotOfPos(cur_);
    std::move(buf_.begin(), buf_.end(), slotValues(slot));
    state_ = dsBrowse;
    if (sorted() || filtered_ || (master_ && !linkDetail_.empty())) {
      view_.erase(view_.begin() + cur_);
      placeInView(slot);
    }
  }
  modified_ = false;
  bof_ = eof_ = false;
  if (view_.empty()) bof_ = eof_ = true;
  notifyDetails();
  DoAfterPost();
}

void MemTable::placeInView(int slot) {
  if (!isShown(slot)) {
    // A row that the filter or the master link hides leaves the view; the
    // cursor stays at the same place.
    if (view_.empty())
      cur_ = -1;
    else
      cur_ = std::clamp(cur_, 0, static_cast<int>(view_.size()) - 1);
    return;
  }
  std::vector<int>::iterator at;
  if (sorted()) {
    at = std::lower_bound(view_.begin(), view_.end(), slot,
                          [this](int a, int b) { return lessThan(a, b); });
  } else if (slotId_[static_cast<size_t>(slot)] == nextId_ - 1 && order_.back() == slot) {
    at = view_.end();  // a new row goes last
  } else {
    // An edited row keeps its place in the order of insertion.
    at = std::lower_bound(view_.begin(), view_.end(), slot, [this](int a, int b) {
      return slotId_[static_cast<size_t>(a)] < slotId_[static_cast<size_t>(b)];
    });
  }
  const auto placed = view_.insert(at, slot);  // may reallocate: take begin() after
  cur_ = static_cast<int>(placed - view_.begin());
}

void MemTable::Cancel() {
  checkActive();
  if (state_ != dsEdit && state_ != dsInsert) return;
  DoBeforeCancel();
  state_ = dsBrowse;
  buf_.clear();
  modified_ = false;
  if (view_.empty()) {
    cur_ = -1;
    bof_ = eof_ = true;
  }
  notifyDetails();
  DoAfterCancel();
}

void MemTable::Delete() {
  checkActive();
  if (state_ == dsInsert) {
    Cancel();
    return;
  }
  if (view_.empty() || cur_ < 0)
    throw EDatabaseError(QStringLiteral("Cannot perform this operation on an empty dataset"));
  DoBeforeDelete();
  DoBeforeScroll();
  if (view_.empty() || cur_ < 0)  // a hook emptied the table
    throw EDatabaseError(QStringLiteral("Cannot perform this operation on an empty dataset"));
  const int slot = slotOfPos(cur_);
  view_.erase(view_.begin() + cur_);
  order_.erase(std::find(order_.begin(), order_.end(), slot));
  freeSlot(slot);
  state_ = dsBrowse;
  buf_.clear();
  modified_ = false;
  if (view_.empty()) {
    cur_ = -1;
    bof_ = eof_ = true;
  } else {
    cur_ = std::min(cur_, static_cast<int>(view_.size()) - 1);
    bof_ = eof_ = false;
  }
  notifyDetails();
  DoAfterDelete();
  DoAfterScroll();
}

// ---------------------------------------------------------------------------
// loading whole tables

bool MemTable::CanAppendRowsInPlace() const {
  // A subclass may act in its hooks; only the plain table is known to do
  // nothing but call the handlers checked below.
  return typeid(*this) == typeid(MemTable) && state_ == dsBrowse && !hasCalcFields() && !master_ &&
         !(filtered_ && OnFilterRecord) && !OnNewRecord && !BeforeInsert && !AfterInsert &&
         !BeforePost && !AfterPost && !BeforeScroll && !AfterScroll &&
         (details_.empty() || disableCount_ > 0);
}

MemTable::RowAppender::RowAppender(MemTable& table) : t_(table), firstRow_(table.order_.size()) {
  if (!t_.CanAppendRowsInPlace())
    throw EDatabaseError(QStringLiteral("Rows cannot be added in place to this table"));
}

QVariant* MemTable::RowAppender::AddRow() {
  const int slot = static_cast<int>(t_.slotId_.size());
  const size_t need = t_.vals_.size() + t_.fields_.size();
  // Each time the store moves, every value is moved and its old place
  // destroyed: grow it in large steps while a loader fills it.
  if (need > t_.vals_.capacity()) t_.vals_.reserve(std::max(need, 4 * t_.vals_.capacity()));
  t_.vals_.resize(need);
  t_.slotId_.push_back(t_.nextId_++);
  t_.order_.push_back(slot);
  return t_.slotValues(slot);
}

void MemTable::RowAppender::DropLastRow() {
  if (t_.order_.size() <= firstRow_) return;
  t_.order_.pop_back();
  t_.slotId_.pop_back();
  t_.vals_.resize(t_.vals_.size() - t_.fields_.size());
  --t_.nextId_;
}

MemTable::RowAppender::~RowAppender() {
  if (t_.order_.size() == firstRow_) return;
  try {
    t_.rebuildView(static_cast<qint64>(t_.slotId_.back()));
    t_.modified_ = false;
    t_.bof_ = t_.eof_ = t_.view_.empty();
    t_.notifyDetails();
  } catch (...) {
    // Only the order of shown rows is at stake; the rows are stored.
  }
}

// ---------------------------------------------------------------------------
// cursor

void MemTable::scrollTo(int pos) {
  DoBeforeScroll();
  cur_ = pos;
  notifyDetails();
  DoAfterScroll();
}

void MemTable::First() {
  checkActive();
  CheckBrowseMode();
  DoBeforeScroll();
  cur_ = view_.empty() ? -1 : 0;
  bof_ = true;
  eof_ = view_.empty();
  notifyDetails();
  DoAfterScroll();
}

void MemTable::Last() {
  checkActive();
  CheckBrowseMode();
  DoBeforeScroll();
  cur_ = static_cast<int>(view_.size()) - 1;
  eof_ = true;
  bof_ = view_.empty();
  notifyDetails();
  DoAfterScroll();
}

void MemTable::Next() {
  checkActive();
  CheckBrowseMode();
  if (eof_) return;
  DoBeforeScroll();
  if (cur_ + 1 < static_cast<int>(view_.size())) {
    ++cur_;
    bof_ = false;
    notifyDetails();
  } else {
    eof_ = true;
  }
  DoAfterScroll();
}

void MemTable::Prior() {
  checkActive();
  CheckBrowseMode();
  if (bof_) return;
  DoBeforeScroll();
  if (cur_ > 0) {
    --cur_;
    eof_ = false;
    notifyDetails();
  } else {
    bof_ = true;
  }
  DoAfterScroll();
}

int MemTable::RecordCount() const {
  return Active() ? static_cast<int>(view_.size()) : 0;
}

int MemTable::RecNo() const {
  if (!Active() || state_ == dsInsert || cur_ < 0) return 0;
  return cur_ + 1;
}

qint64 MemTable::currentRowId() const {
  const Bookmark bm = GetBookmark();
  return bm.isEmpty() ? 0 : qint64(qFromLittleEndian<quint64>(bm.constData()));
}

void MemTable::Refresh() {
  checkActive();
  CheckBrowseMode();
  DoBeforeRefresh();
  rebuildView(currentRowId());
  bof_ = eof_ = view_.empty();
  notifyDetails();
  DoAfterRefresh();
}

bool MemTable::Locate(const QString& fieldNames, const QVariant& values, LocateOptions options) {
  checkActive();
  CheckBrowseMode();
  const std::vector<int> idx = parseNames(fieldNames, true);
  if (idx.empty()) return false;
  QVariantList wanted;
  if (idx.size() == 1) {
    wanted.push_back(values);
  } else {
    wanted = values.toList();
    if (wanted.size() != static_cast<qsizetype>(idx.size()))
      throw EDatabaseError(QStringLiteral("Locate needs one value per field"));
  }
  for (size_t k = 0; k < idx.size(); ++k) {
    const TFieldType t = fields_[static_cast<size_t>(idx[k])]->DataType();
    try {
      wanted[static_cast<qsizetype>(k)] = convertToFieldType(t, wanted[static_cast<qsizetype>(k)]);
    } catch (const EConvertError&) {
      return false;  // no row can hold a value of the wrong kind
    }
  }
  for (size_t pos = 0; pos < view_.size(); ++pos) {
    const QVariant* row = slotValues(view_[pos]);
    bool ok = true;
    for (size_t k = 0; k < idx.size() && ok; ++k)
      ok = matches(row[idx[k]], wanted[static_cast<qsizetype>(k)], options);
    if (ok) {
      bof_ = eof_ = false;
      scrollTo(static_cast<int>(pos));
      return true;
    }
  }
  return false;
}

Bookmark MemTable::GetBookmark() const {
  if (!Active() || state_ == dsInsert || cur_ < 0) return Bookmark();
  Bookmark bm(sizeof(quint64), Qt::Uninitialized);
  qToLittleEndian(slotId_[static_cast<size_t>(slotOfPos(cur_))], bm.data());
  return bm;
}

bool MemTable::BookmarkValid(const Bookmark& bm) const {
  if (!Active() || bm.size() != static_cast<qsizetype>(sizeof(quint64))) return false;
  const quint64 id = qFromLittleEndian<quint64>(bm.constData());
  for (int slot : view_)
    if (slotId_[static_cast<size_t>(slot)] == id) return true;
  return false;
}

void MemTable::GotoBookmark(const Bookmark& bm) {
  checkActive();
  CheckBrowseMode();
  if (bm.size() == static_cast<qsizetype>(sizeof(quint64))) {
    const quint64 id = qFromLittleEndian<quint64>(bm.constData());
    for (size_t pos = 0; pos < view_.size(); ++pos) {
      if (slotId_[static_cast<size_t>(view_[pos])] == id) {
        bof_ = eof_ = false;
        scrollTo(static_cast<int>(pos));
        return;
      }
    }
  }
  throw EDatabaseError(QStringLiteral("Record not found"));
}

void MemTable::EnableControls() {
  if (disableCount_ > 0) --disableCount_;
  if (disableCount_ == 0 && masterMovedWhileDisabled_) {
    masterMovedWhileDisabled_ = false;
    notifyDetails();
  }
}

// ---------------------------------------------------------------------------
// view: filter, sort, master link

bool MemTable::isShown(int slot) {
  if (master_ && !linkDetail_.empty()) {
    if (!master_->Active()) return false;
    if (master_->cur_ < 0 && master_->state_ != dsInsert) return false;
    const QVariant* row = slotValues(slot);
    for (size_t i = 0; i < linkDetail_.size() && i < linkMaster_.size(); ++i) {
      const QVariant& mv = master_->readValue(linkMaster_[i]);
      const QVariant& dv = row[linkDetail_[i]];
      if (isNullValue(mv) || isNullValue(dv) || compareValues(dv, mv, false) != 0) return false;
    }
  }
  if (filtered_ && OnFilterRecord) {
    Restore<int> e(evalSlot_, slot);
    Restore<DataSetState> s(state_, dsFilter);
    if (!OnFilterRecord(*this)) return false;
  }
  return true;
}

bool MemTable::lessThan(int a, int b) const {
  const QVariant* ra = slotValues(a);
  const QVariant* rb = slotValues(b);
  for (const SortKey& k : sortKeys_) {
    const int c = compareValues(ra[k.field], rb[k.field], k.caseInsensitive);
    if (c != 0) return k.descending ? c > 0 : c < 0;
  }
  return slotId_[static_cast<size_t>(a)] < slotId_[static_cast<size_t>(b)];
}

void MemTable::rebuildView(qint64 keepId) {
  view_.clear();
  const bool linked = master_ && !linkDetail_.empty();
  if (!linked && !(filtered_ && OnFilterRecord)) {
    view_ = order_;
  } else {
    view_.reserve(order_.size());
    for (int slot : order_)
      if (isShown(slot)) view_.push_back(slot);
  }
  if (sorted())
    std::sort(view_.begin(), view_.end(), [this](int a, int b) { return lessThan(a, b); });
  cur_ = view_.empty() ? -1 : 0;
  if (keepId != 0) {
    for (size_t pos = 0; pos < view_.size(); ++pos) {
      if (slotId_[static_cast<size_t>(view_[pos])] == static_cast<quint64>(keepId)) {
        cur_ = static_cast<int>(pos);
        break;
      }
    }
  }
}

void MemTable::SetFiltered(bool on) {
  if (filtered_ == on) return;
  if (!Active()) {
    filtered_ = on;
    return;
  }
  CheckBrowseMode();
  const qint64 keep = currentRowId();
  filtered_ = on;
  rebuildView(keep);
  bof_ = eof_ = view_.empty();
  notifyDetails();
}

void MemTable::SetIndexFieldNames(const QString& names) {
  if (!Active()) {
    indexFieldNames_ = names;
    return;
  }
  CheckBrowseMode();
  const QString old = indexFieldNames_;
  indexFieldNames_ = names;
  try {
    parseSortKeys();
  } catch (...) {
    indexFieldNames_ = old;
    throw;
  }
  rebuildView(currentRowId());
}

void MemTable::SetIndexesActive(bool on) {
  if (indexesActive_ == on) return;
  if (!Active()) {
    indexesActive_ = on;
    return;
  }
  CheckBrowseMode();
  const qint64 keep = currentRowId();
  indexesActive_ = on;
  rebuildView(keep);
}

void MemTable::detachFromMaster() {
  if (!master_) return;
  auto& d = master_->details_;
  d.erase(std::remove(d.begin(), d.end(), this), d.end());
  master_ = nullptr;
  linkDetail_.clear();
  linkMaster_.clear();
}

void MemTable::SetMasterSource(MemTable* master) {
  if (master == master_) return;
  for (MemTable* m = master; m; m = m->master_)
    if (m == this) throw EDatabaseError(QStringLiteral("Circular datalinks are not allowed"));
  if (Active()) CheckBrowseMode();
  detachFromMaster();
  master_ = master;
  if (master_) master_->details_.push_back(this);
  masterChanged();
}

void MemTable::SetMasterFields(const QString& names) {
  masterFields_ = names;
  if (master_) masterChanged();
}

void MemTable::SetDetailFields(const QString& names) {
  detailFields_ = names;
  if (master_) masterChanged();
}

// The master moved, changed a link value, opened or closed: show the rows of
// its current row and go to the first.
void MemTable::masterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  linkDetail_.clear();
  linkMaster_.clear();
  if (master_) {
    linkDetail_ = parseNames(detailFields_, true);
    if (master_->FieldCount() > 0 || !linkDetail_.empty())
      linkMaster_ =
          master_->parseNames(masterFields_.isEmpty() ? detailFields_ : masterFields_, true);
    if (linkMaster_.size() != linkDetail_.size())
      throw EDatabaseError(QStringLiteral("Master and detail fields do not match"));
  }
  DoBeforeScroll();
  rebuildView(0);
  bof_ = true;
  eof_ = view_.empty();
  notifyDetails();
  DoAfterScroll();
}

void MemTable::notifyDetails() {
  if (details_.empty()) return;
  if (disableCount_ > 0) {
    masterMovedWhileDisabled_ = true;
    return;
  }
  const std::vector<MemTable*> copy = details_;
  for (MemTable* d : copy) d->masterChanged();
}

void MemTable::linkChangedFor(int field) {
  for (MemTable* d : std::vector<MemTable*>(details_)) {
    if (!d->Active()) continue;
    if (std::find(d->linkMaster_.begin(), d->linkMaster_.end(), field) == d->linkMaster_.end())
      continue;
    if (disableCount_ > 0) {
      masterMovedWhileDisabled_ = true;
      continue;
    }
    d->masterChanged();
  }
}

// ---------------------------------------------------------------------------
// files

struct MemTable::LoadedTable {
  std::vector<FieldDef> defs;
  std::vector<QVariant> vals;
  quint64 rows = 0;
};

QByteArray MemTable::SaveToBytes() const {
  checkActive();
  Writer w;
  w.buf.reserve(kHeaderSize + 64 + static_cast<qsizetype>(order_.size() * fields_.size() * 8));
  w.buf.append(kMagic, 4);
  w.num<quint16>(kVersion);
  w.num<quint16>(0);
  w.num<quint64>(0);  // body length, filled in below
  w.num<quint32>(static_cast<quint32>(fields_.size()));
  std::vector<int> dataFields;
  for (const auto& f : fields_) {
    w.bytes(f->FieldName().toUtf8());
    w.u8(static_cast<quint8>(f->Kind()));
    w.num<qint32>(f->DataType());
    w.num<qint32>(f->Size());
    w.num<qint32>(f->Precision());
    if (f->Kind() == fkData) dataFields.push_back(f->Index());
  }
  w.num<quint64>(static_cast<quint64>(order_.size()));
  for (int slot : order_) {
    w.u8(kRowMarker);
    const QVariant* row = slotValues(slot);
    for (int i : dataFields) w.value(row[i]);
  }
  qToLittleEndian<quint64>(static_cast<quint64>(w.buf.size() - kHeaderSize), w.buf.data() + 8);
  w.num<quint32>(crc32(w.buf.constData(), w.buf.size()));
  return w.buf;
}

void MemTable::SaveToStream(QIODevice& out) const {
  const QByteArray data = SaveToBytes();
  if (out.write(data) != data.size())
    throw EFileError(QStringLiteral("Stream write error: %1").arg(out.errorString()));
}

void MemTable::SaveToFile(const QString& path) const {
  const QByteArray data = SaveToBytes();
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly))
    throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, f.errorString()));
  if (f.write(data) != data.size() || !f.commit())
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2").arg(path, f.errorString()));
}

void MemTable::LoadFromBytes(const QByteArray& data) {
  LoadedTable t;
  try {
    if (data.size() < 4 || std::memcmp(data.constData(), kMagic, 4) != 0) {
      if (data.size() < 4 && QByteArray(kMagic, 4).startsWith(data))
        throw LoadFailure{QStringLiteral("is truncated")};
      throw LoadFailure{QStringLiteral("is not a table file")};
    }
    if (data.size() < kHeaderSize) throw LoadFailure{QStringLiteral("is truncated")};
    const quint16 version = qFromLittleEndian<quint16>(data.constData() + 4);
    if (version != kVersion)
      throw LoadFailure{QStringLiteral("has unsupported version %1").arg(version)};
    const quint64 bodyLen = qFromLittleEndian<quint64>(data.constData() + 8);
    const quint64 avail = static_cast<quint64>(data.size() - kHeaderSize);
    if (avail < 4 || bodyLen > avail - 4) throw LoadFailure{QStringLiteral("is truncated")};
    if (bodyLen != avail - 4) throw LoadFailure{QStringLiteral("is damaged (data after the end)")};
    const qsizetype crcAt = kHeaderSize + static_cast<qsizetype>(bodyLen);
    if (crc32(data.constData(), crcAt) != qFromLittleEndian<quint32>(data.constData() + crcAt))
      throw LoadFailure{QStringLiteral("is damaged (checksum mismatch)")};

    Reader r(data.constData() + kHeaderSize, static_cast<qsizetype>(bodyLen));
    const quint32 nf = r.num<quint32>();
    if (nf > kMaxFields) throw LoadFailure{QStringLiteral("is damaged (%1 fields)").arg(nf)};
    std::vector<int> dataFields;
    for (quint32 i = 0; i < nf; ++i) {
      FieldDef d;
      d.name = QString::fromUtf8(r.bytes());
      const quint8 kind = r.u8();
      const qint32 type = r.num<qint32>();
      d.size = r.num<qint32>();
      d.precision = r.num<qint32>();
      if (kind > fkCalculated || type < 0 || type >= kFieldTypeCount || d.size < 0 ||
          d.precision < 0)
        throw LoadFailure{QStringLiteral("is damaged (field %1)").arg(i + 1)};
      for (const FieldDef& other : t.defs)
        if (other.name.compare(d.name, Qt::CaseInsensitive) == 0)
          throw LoadFailure{QStringLiteral("is damaged (duplicate field name '%1')").arg(d.name)};
      d.kind = static_cast<FieldKind>(kind);
      d.dataType = static_cast<TFieldType>(type);
      if (d.kind == fkData) dataFields.push_back(static_cast<int>(i));
      t.defs.push_back(std::move(d));
    }
    const quint64 rows = r.num<quint64>();
    // Each row takes at least its marker byte and a tag byte per stored
    // value: a count the data cannot hold is refused before anything is
    // allocated for it.
    if (rows > static_cast<quint64>(r.left()) / (1 + dataFields.size()))
      throw LoadFailure{QStringLiteral("is damaged (%1 rows)").arg(rows)};
    t.rows = rows;
    t.vals.resize(static_cast<size_t>(rows) * nf);
    size_t at = 0;
    for (quint64 row = 0; row < rows; ++row) {
      if (r.u8() != kRowMarker)
        throw LoadFailure{QStringLiteral("is damaged (row %1)").arg(row + 1)};
      for (int i : dataFields) {
        const FieldDef& d = t.defs[static_cast<size_t>(i)];
        QVariant v = r.value();
        const int storage = storageTypeOf(d.dataType);
        if (!v.isValid() || keepsAnyValue(storage) || v.typeId() == storage)
          t.vals[at + static_cast<size_t>(i)] = std::move(v);
        else
          throw LoadFailure{
              QStringLiteral("is damaged (row %1, field '%2')").arg(row + 1).arg(d.name)};
      }
      at += nf;
    }
    if (r.left() != 0) throw LoadFailure{QStringLiteral("is damaged (data after the rows)")};
  } catch (const LoadFailure& f) {
    throw EDatabaseError(QStringLiteral("Table data %1.").arg(f.reason));
  }
  installLoaded(std::move(t));
}

void MemTable::installLoaded(LoadedTable&& t) {
  Close();
  ClearFields();
  for (const FieldDef& d : t.defs) AddFieldDef(d);
  vals_ = std::move(t.vals);
  const size_t n = static_cast<size_t>(t.rows);
  slotId_.resize(n);
  order_.resize(n);
  freeSlots_.clear();
  for (size_t i = 0; i < n; ++i) {
    slotId_[i] = nextId_++;
    order_[i] = static_cast<int>(i);
  }
  Open();
}

void MemTable::LoadFromStream(QIODevice& in) {
  LoadFromBytes(readAllFrom(in));
}

void MemTable::LoadFromFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, f.errorString()));
  // Far beyond any table the kiosk keeps; refuses to read a huge file whole.
  constexpr qint64 kMaxFile = qint64(1) << 30;
  if (f.size() > kMaxFile)
    throw EDatabaseError(QStringLiteral("Table file \"%1\" is too large.").arg(path));
  const QByteArray data = f.readAll();
  try {
    LoadFromBytes(data);
  } catch (const EDatabaseError& e) {
    QString msg = e.message();
    if (msg.startsWith(QLatin1String("Table data ")))
      msg = QStringLiteral("Table file \"%1\" ").arg(path) + msg.mid(11);
    throw EDatabaseError(msg);
  }
}

// ---------------------------------------------------------------------------
// hooks

#define VEKTA_HOOK(Do, Handler)  \
  void MemTable::Do() {          \
    if (Handler) Handler(*this); \
  }
VEKTA_HOOK(DoBeforeOpen, BeforeOpen)
VEKTA_HOOK(DoAfterOpen, AfterOpen)
VEKTA_HOOK(DoBeforeClose, BeforeClose)
VEKTA_HOOK(DoAfterClose, AfterClose)
VEKTA_HOOK(DoBeforeInsert, BeforeInsert)
VEKTA_HOOK(DoAfterInsert, AfterInsert)
VEKTA_HOOK(DoBeforeEdit, BeforeEdit)
VEKTA_HOOK(DoAfterEdit, AfterEdit)
VEKTA_HOOK(DoBeforePost, BeforePost)
VEKTA_HOOK(DoAfterPost, AfterPost)
VEKTA_HOOK(DoBeforeCancel, BeforeCancel)
VEKTA_HOOK(DoAfterCancel, AfterCancel)
VEKTA_HOOK(DoBeforeDelete, BeforeDelete)
VEKTA_HOOK(DoAfterDelete, AfterDelete)
VEKTA_HOOK(DoBeforeScroll, BeforeScroll)
VEKTA_HOOK(DoAfterScroll, AfterScroll)
VEKTA_HOOK(DoBeforeRefresh, BeforeRefresh)
VEKTA_HOOK(DoAfterRefresh, AfterRefresh)
VEKTA_HOOK(DoOnCalcFields, OnCalcFields)
VEKTA_HOOK(DoOnNewRecord, OnNewRecord)
#undef VEKTA_HOOK

}  // namespace plat
