#include "platform/Common.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "platform/AppPaths.h"
#include "platform/AtomicFile.h"
#include "platform/NetAdapters.h"
#include "platform/TextCodec.h"

#ifndef VEKTA_VERSION
#define VEKTA_VERSION "0.0"
#endif

namespace {

// The Russian regional format of the kiosk's home system.
constexpr QChar kDecimalSep = u',';
constexpr QChar kThousandSep = u'\u00A0';
const char16_t kCurrency[] = u"\u20BD";

enum class ArgKind { Integer, Float, Text, Other };

bool isIntegerType(int id) {
  switch (id) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::SChar:
    case QMetaType::UChar:
      return true;
    default:
      return false;
  }
}

ArgKind argKind(const QVariant& v) {
  const int id = v.typeId();
  if (isIntegerType(id)) return ArgKind::Integer;
  if (id == QMetaType::Double || id == QMetaType::Float) return ArgKind::Float;
  if (id == QMetaType::Bool || id == QMetaType::VoidStar || id == QMetaType::QObjectStar)
    return ArgKind::Other;
  // Strings, characters and anything else a variant can hold format as text.
  return ArgKind::Text;
}

[[noreturn]] void badFormat(const QString& pattern) {
  throw EConvertError(
      QStringLiteral("Format '%1' invalid or incompatible with argument").arg(pattern));
}

[[noreturn]] void noArgument(const QString& pattern) {
  throw EConvertError(QStringLiteral("No argument for format '%1'").arg(pattern));
}

// Significant digits of |v| rounded to `precision` digits, and the decimal
// exponent of the first one (v = d.ddd x 10^exp). Uses Qt's locale-free
// shortest-exact conversion, never the C library's locale.
struct DecimalDigits {
  QString digits;
  int exp = 0;
};

DecimalDigits toDigits(double v, int precision) {
  const QString e = QString::number(std::fabs(v), 'e', std::max(precision, 1) - 1);
  const qsizetype ePos = e.indexOf(u'e');
  DecimalDigits d;
  d.digits = e.left(ePos).remove(u'.');
  d.exp = e.mid(ePos + 1).toInt();
  return d;
}

QString groupThousands(const QString& intPart) {
  QString out;
  const qsizetype n = intPart.size();
  for (qsizetype i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += kThousandSep;
    out += intPart[i];
  }
  return out;
}

QString nonFinite(double v) {
  if (std::isnan(v)) return QStringLiteral("NAN");
  return v < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
}

QString fixedText(double v, int decimals, bool thousands) {
  if (!std::isfinite(v)) return nonFinite(v);
  QString t = QString::number(std::fabs(v), 'f', decimals);
  const qsizetype dot = t.indexOf(u'.');
  QString intPart = dot < 0 ? t : t.left(dot);
  QString frac = dot < 0 ? QString() : t.mid(dot + 1);
  if (thousands) intPart = groupThousands(intPart);
  QString out = intPart;
  if (!frac.isEmpty()) out += kDecimalSep + frac;
  const bool zero =
      std::none_of(t.cbegin(), t.cend(), [](QChar c) { return c >= u'1' && c <= u'9'; });
  return (v < 0 && !zero) ? QLatin1Char('-') + out : out;
}

// Scientific "d.ddd E+ddd": `precision` significant digits, at least three exponent digits.
QString exponentText(double v, int precision) {
  if (!std::isfinite(v)) return nonFinite(v);
  const DecimalDigits d = toDigits(v, precision);
  QString out = d.digits.left(1);
  if (d.digits.size() > 1) out += kDecimalSep + d.digits.mid(1);
  out += QLatin1String(d.exp < 0 ? "E-" : "E+") +
         QStringLiteral("%1").arg(std::abs(d.exp), 3, 10, QLatin1Char('0'));
  return (v < 0 ? QStringLiteral("-") : QString()) + out;
}

// Shortest of fixed and scientific with `precision` significant digits,
// trailing zeros removed: fixed while the integer part has at most
// `precision` digits and the value is at least 0.00001.
QString generalText(double v, int precision) {
  if (!std::isfinite(v)) return nonFinite(v);
  if (v == 0) return QStringLiteral("0");
  DecimalDigits d = toDigits(v, precision);
  while (d.digits.size() > 1 && d.digits.endsWith(u'0')) d.digits.chop(1);
  QString out;
  if (d.exp >= precision || d.exp < -5) {
    out = d.digits.left(1);
    if (d.digits.size() > 1) out += kDecimalSep + d.digits.mid(1);
    out += QLatin1Char('E') + QString::number(d.exp);
  } else if (d.exp >= 0) {
    QString digits = d.digits;
    while (digits.size() < d.exp + 1) digits += u'0';
    out = digits.left(d.exp + 1);
    if (digits.size() > d.exp + 1) out += kDecimalSep + digits.mid(d.exp + 1);
  } else {
    out = QStringLiteral("0") + kDecimalSep + QString(-d.exp - 1, u'0') + d.digits;
  }
  return (v < 0 ? QStringLiteral("-") : QString()) + out;
}

QString integerText(const QVariant& v, int precision) {
  const bool unsignedType = v.typeId() == QMetaType::ULongLong || v.typeId() == QMetaType::ULong;
  QString digits;
  bool negative = false;
  if (unsignedType) {
    digits = QString::number(v.toULongLong());
  } else {
    const qlonglong n = v.toLongLong();
    negative = n < 0;
    digits = negative ? QString::number(0 - qulonglong(n)) : QString::number(n);
  }
  if (precision > digits.size()) digits = QString(precision - digits.size(), u'0') + digits;
  return negative ? QLatin1Char('-') + digits : digits;
}

// Two's complement of the argument at its own width, as %u and %x show it.
qulonglong unsignedValue(const QVariant& v) {
  switch (v.typeId()) {
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
      return v.toULongLong();
    default:
      return quint32(v.toLongLong());
  }
}

}  // namespace

QString Translate(const QString& text) {
  return text;
}

QString FormatText(const QString& pattern, const QVariantList& args) {
  QString out;
  qsizetype next = 0;  // the argument the next specifier takes
  const qsizetype n = pattern.size();
  qsizetype i = 0;
  auto takeArg = [&]() -> const QVariant& {
    if (next >= args.size()) noArgument(pattern);
    return args[next++];
  };
  // A number of the specifier or "*" (taken from the arguments); -1 when absent.
  auto readNumber = [&]() -> int {
    if (i < n && pattern[i] == u'*') {
      ++i;
      const QVariant& a = takeArg();
      if (argKind(a) != ArgKind::Integer) badFormat(pattern);
      return int(a.toLongLong());
    }
    if (i >= n || !pattern[i].isDigit()) return -1;
    qlonglong value = 0;
    while (i < n && pattern[i].isDigit()) {
      value = value * 10 + pattern[i].digitValue();
      if (value > 100000) badFormat(pattern);
      ++i;
    }
    return int(value);
  };

  while (i < n) {
    const QChar c = pattern[i++];
    if (c != u'%') {
      out += c;
      continue;
    }
    if (i >= n) badFormat(pattern);
    if (pattern[i] == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    // "%" [index ":"] ["-"] [width] ["." precision] type
    int number = readNumber();
    if (i < n && pattern[i] == u':') {
      ++i;
      if (number < 0) badFormat(pattern);
      next = number;
      number = -1;
    }
    bool left = false;
    int width = number;
    if (width < 0) {
      if (i < n && pattern[i] == u'-') {
        left = true;
        ++i;
      }
      width = readNumber();
    }
    int precision = -1;
    if (i < n && pattern[i] == u'.') {
      ++i;
      precision = readNumber();
      if (precision < 0) precision = 0;
    }
    if (i >= n) badFormat(pattern);
    const QChar type = pattern[i++].toLower();
    QString text;
    if (type == u'd' || type == u'u' || type == u'x') {
      const QVariant& a = takeArg();
      if (argKind(a) != ArgKind::Integer) badFormat(pattern);
      if (type == u'd') {
        text = integerText(a, precision);
      } else {
        text = type == u'u' ? QString::number(unsignedValue(a))
                            : QString::number(unsignedValue(a), 16).toUpper();
        if (precision > text.size()) text = QString(precision - text.size(), u'0') + text;
      }
    } else if (type == u'e' || type == u'f' || type == u'g' || type == u'n' || type == u'm') {
      const QVariant& a = takeArg();
      if (argKind(a) != ArgKind::Float) badFormat(pattern);
      const double v = a.toDouble();
      if (type == u'e') {
        text = exponentText(v, precision < 0 || precision > 18 ? 15 : std::max(precision, 1));
      } else if (type == u'g') {
        text = generalText(v, precision < 0 || precision > 18 ? 15 : std::max(precision, 1));
      } else if (type == u'f' || type == u'n') {
        text = fixedText(v, precision < 0 ? 2 : std::min(precision, 18), type == u'n');
      } else {
        // Russian money: "-1 234,56 ₽" (the sign only when something non-zero shows).
        text = fixedText(v, precision < 0 ? 2 : std::min(precision, 18), true) + QLatin1Char(' ') +
               QString::fromUtf16(kCurrency);
      }
    } else if (type == u's') {
      const QVariant& a = takeArg();
      if (argKind(a) != ArgKind::Text) badFormat(pattern);
      text =
          a.typeId() == QMetaType::QByteArray ? plat::fromAnsi(a.toByteArray()) : VariantToText(a);
      if (precision >= 0 && precision < text.size()) text.truncate(precision);
    } else if (type == u'p') {
      const QVariant& a = takeArg();
      if (a.typeId() != QMetaType::VoidStar && a.typeId() != QMetaType::QObjectStar)
        badFormat(pattern);
      const auto value =
          quintptr(a.typeId() == QMetaType::VoidStar ? a.value<void*>() : a.value<QObject*>());
      text = QStringLiteral("%1")
                 .arg(qulonglong(value), int(sizeof(void*) * 2), 16, QLatin1Char('0'))
                 .toUpper();
    } else {
      badFormat(pattern);
    }
    if (width > text.size())
      text = left ? text + QString(width - text.size(), u' ')
                  : QString(width - text.size(), u' ') + text;
    out += text;
  }
  return out;
}

QString SafeFormat(const QString& pattern, const QVariantList& args) {
  static const QString kSpecStart = QStringLiteral("*0123456789defgmnpsux");
  QString patched = Translate(pattern);
  qsizetype counter = 0;
  for (qsizetype i = 0; i < patched.size(); ++i) {
    if (patched[i] != u'%') continue;
    if (i + 1 < patched.size() && kSpecStart.contains(patched[i + 1])) continue;
    if (counter < args.size()) {
      switch (argKind(args[counter])) {
        case ArgKind::Integer:
          patched.insert(i + 1, u'd');
          ++i;
          break;
        case ArgKind::Float:
          patched.insert(i + 1, u'f');
          ++i;
          break;
        case ArgKind::Text:
          patched.insert(i + 1, u's');
          ++i;
          break;
        case ArgKind::Other:
          break;
      }
    }
    ++counter;
  }
  try {
    return FormatText(patched, args);
  } catch (const Exception&) {
    return patched;
  }
}

void RaiseError(const QString& message) {
  throw Exception(Translate(message));
}

void RaiseErrorFmt(const QString& pattern, const QVariantList& args) {
  throw Exception(SafeFormat(pattern, args));
}

QString BytesToHex(const QByteArray& bytes) {
  return QString::fromLatin1(bytes.toHex().toUpper());
}

QByteArray HexToBytes(const QString& hex) {
  const QString text = hex.size() % 2 ? QLatin1Char('0') + hex : hex;
  auto digit = [](QChar c) -> int {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') return u - u'0';
    if (u >= u'a' && u <= u'f') return u - u'a' + 10;
    if (u >= u'A' && u <= u'F') return u - u'A' + 10;
    return -1;
  };
  QByteArray out;
  out.reserve(text.size() / 2);
  for (qsizetype i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0)
      throw EConvertError(
          QStringLiteral("'%1' is not a valid hexadecimal value").arg(text.mid(i, 2)));
    out.append(char(hi * 16 + lo));
  }
  return out;
}

QString Base64EncodeGroup(const QByteArray& group) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (group.isEmpty() || group.size() > 3)
    throw EConvertError(QStringLiteral("Base64 group of %1 bytes").arg(group.size()));
  const auto b = [&](int i) { return i < group.size() ? quint8(group[i]) : 0u; };
  const quint32 v = (b(0) << 16) | (b(1) << 8) | b(2);
  QString out(4, u'=');
  out[0] = QLatin1Char(kAlphabet[(v >> 18) & 63]);
  out[1] = QLatin1Char(kAlphabet[(v >> 12) & 63]);
  if (group.size() > 1) out[2] = QLatin1Char(kAlphabet[(v >> 6) & 63]);
  if (group.size() > 2) out[3] = QLatin1Char(kAlphabet[v & 63]);
  return out;
}

QString Base64Encode(const QByteArray& bytes) {
  QString out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (qsizetype i = 0; i < bytes.size(); i += 3) out += Base64EncodeGroup(bytes.mid(i, 3));
  return out;
}

namespace {

// The key byte for position i (1-based), shared by both directions.
quint8 scrambleKeyByte(const QByteArray& key, qsizetype length, qsizetype i) {
  if (key.isEmpty()) return quint8(i);
  const qsizetype k = key.size();
  // 1-based position ((3L - 2i) mod K) + 1; 3L - 2i >= L > 0 since i <= L.
  return quint8(key[(3 * length - 2 * i) % k]);
}

quint8 keySum(const QByteArray& key) {
  quint8 s = 0;
  for (char c : key) s = quint8(s + quint8(c));
  return s;
}

}  // namespace

QByteArray ScrambleText(const QByteArray& text, const QByteArray& key) {
  const qsizetype L = text.size();
  const quint8 S = keySum(key);
  quint8 prev = 18;
  QByteArray out(L, '\0');
  for (qsizetype i = 1; i <= L; ++i) {
    const quint8 k = scrambleKeyByte(key, L, i);
    const quint8 o = quint8(quint8(quint8(text[i - 1]) - prev - quint8(L)) ^ quint8(9 * i) ^ S ^ k);
    out[i - 1] = char(o);
    prev = o;
  }
  return out;
}

QByteArray UnscrambleText(const QByteArray& scrambled, const QByteArray& key) {
  const qsizetype L = scrambled.size();
  const quint8 S = keySum(key);
  quint8 prev = 18;
  QByteArray out(L, '\0');
  for (qsizetype i = 1; i <= L; ++i) {
    const quint8 k = scrambleKeyByte(key, L, i);
    const quint8 s = quint8(scrambled[i - 1]);
    out[i - 1] = char(quint8((s ^ quint8(9 * i) ^ S ^ k) + prev + quint8(L)));
    prev = s;
  }
  return out;
}

namespace {
const QByteArray kPasswordKey = QByteArrayLiteral("tumobre");
}

QString encodeStoredPassword(const QString& password) {
  return BytesToHex(ScrambleText(plat::toAnsi(password), kPasswordKey));
}

QString decodeStoredPassword(const QString& hex, const QString& fallback) {
  try {
    const QString clear = plat::fromAnsi(UnscrambleText(HexToBytes(hex), kPasswordKey));
    return clear.isEmpty() ? fallback : clear;
  } catch (const Exception&) {
    return fallback;
  }
}

QString CutVersionText(const QString& version) {
  const qsizetype first = version.indexOf(u'.');
  if (first < 0) return version;
  const qsizetype second = version.indexOf(u'.', first + 1);
  return second < 0 ? version : version.left(second);
}

QString GetFileVersionText(const QString& path) {
  // Only our own programs carry a version (the build's); nothing else has one.
  const QFileInfo file(path);
  if (!file.exists()) return QString();
  const QString own = QFileInfo(plat::programFilePath()).canonicalFilePath();
  if (own.isEmpty() || file.canonicalFilePath() != own) return QString();
  return CutVersionText(QStringLiteral(VEKTA_VERSION));
}

QString GetAppVersion() {
  return CutVersionText(QStringLiteral(VEKTA_VERSION));
}

QString LoadTextFromFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, f.errorString()));
  const QByteArray bytes = f.readAll();
  if (f.error() != QFileDevice::NoError)
    throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(path, f.errorString()));
  return plat::fromAnsi(bytes);
}

void SaveTextToFile(const QString& path, const QString& text) {
  plat::writeFileAtomic(path, plat::toAnsi(text));
}

qint64 FileSizeOf(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, f.errorString()));
  return f.size();
}

QString MonthNameGenitive(int month) {
  static const char16_t* const kNames[] = {u"Января",   u"Февраля", u"Марта",  u"Апреля",
                                           u"Мая",      u"Июня",    u"Июля",   u"Августа",
                                           u"Сентября", u"Октября", u"Ноября", u"Декабря"};
  if (month < 1 || month > 12) return QString();
  return Translate(QString::fromUtf16(kNames[month - 1]).toLower());
}

QString DayOfWeekName(int day) {
  static const char16_t* const kNames[] = {u"Понедельник", u"Вторник", u"Среда",      u"Четверг",
                                           u"Пятница",     u"Суббота", u"Воскресенье"};
  if (day < 1 || day > 7) return QString();
  return Translate(QString::fromUtf16(kNames[day - 1]));
}

QString GetCommonDataFolder() {
  return plat::dataFolder();
}

bool ListNetworkAdapters(QStringList& descriptions, QStringList& macAddresses) {
  for (const plat::NetAdapter& a : plat::networkAdapters()) {
    descriptions << a.name;
    macAddresses << a.mac;
  }
  return true;
}

QString GetMacAddress() {
  QStringList names, macs;
  ListNetworkAdapters(names, macs);
  for (const QString& m : macs)
    if (!m.trimmed().isEmpty()) return m;
  return QStringLiteral("00-00-00-00-00-00");
}

QString FloatToStrRegional(double value) {
  return generalText(value, 15);
}

QString DateTimeToStrRegional(const QDateTime& value) {
  return value.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

QDateTime StrToDateTimeRegional(const QString& text) {
  const QString t = text.trimmed();
  for (const char* format : {"dd.MM.yyyy hh:mm:ss", "dd.MM.yyyy h:mm:ss", "dd.MM.yyyy hh:mm",
                             "dd.MM.yyyy h:mm", "dd.MM.yyyy"}) {
    const QDateTime dt = QDateTime::fromString(t, QLatin1String(format));
    if (dt.isValid()) return dt;
  }
  throw EConvertError(QStringLiteral("'%1' is not a valid date and time").arg(text));
}

QString VariantToText(const QVariant& value) {
  if (!value.isValid() || value.isNull()) {
    // A null string is still text ("" either way); other nulls give empty text too.
    return QString();
  }
  const int id = value.typeId();
  if (isIntegerType(id))
    return value.typeId() == QMetaType::ULongLong || id == QMetaType::ULong
               ? QString::number(value.toULongLong())
               : QString::number(value.toLongLong());
  switch (id) {
    case QMetaType::QString:
      return value.toString();
    case QMetaType::QChar:
      return QString(value.toChar());
    case QMetaType::Char:
      return plat::fromAnsi(QByteArray(1, value.value<char>()));
    case QMetaType::QByteArray:
      return plat::fromAnsi(value.toByteArray());
    case QMetaType::Bool:
      return value.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    case QMetaType::Double:
    case QMetaType::Float:
      return FloatToStrRegional(value.toDouble());
    case QMetaType::QDateTime:
      return DateTimeToStrRegional(value.toDateTime());
    case QMetaType::QDate:
      return value.toDate().toString(QStringLiteral("dd.MM.yyyy"));
    case QMetaType::QTime:
      return value.toTime().toString(QStringLiteral("hh:mm:ss"));
    default:
      break;
  }
  throw EConvertError(QStringLiteral("Could not convert variant of type (%1) into type (String)")
                          .arg(QString::fromLatin1(value.metaType().name())));
}
