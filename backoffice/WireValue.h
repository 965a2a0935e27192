#pragma once
// The value that crosses the back-office wire: a typed variant whose kind
// decides its tagged encoding. Kinds keep the variant type codes the server
// protocol was built around, because the "Unknown varType" message carries
// the code and the encoding depends on the exact kind (an 8-bit unsigned 200
// goes out in a 16-bit tag, a 64-bit 5 in an 8-byte tag).

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Exception.h"
#include "platform/LocalTimes.h"

// A value of one kind read as another it cannot become (Null as text, "abc"
// as a number). Carries the platform's conversion text.
VEKTA_EXCEPTION_CLASS(EVariantError, Exception)

enum class VarType : uint16_t {
  Empty = 0,
  Null = 1,
  Smallint = 2,  // int16
  Integer = 3,   // int32
  Single = 4,
  Double = 5,
  Currency = 6,
  Date = 7,    // days since 1899-12-30, time of day as fraction
  OleStr = 8,  // text that travels as ANSI bytes
  Error = 10,
  Boolean = 11,
  ShortInt = 16,  // int8
  Byte = 17,      // uint8
  Word = 18,      // uint16
  LongWord = 19,  // uint32
  Int64 = 20,
  UInt64 = 21,
  String = 0x100,   // ANSI bytes held as they are
  UString = 0x102,  // native text, travels as UTF-16LE
  Array = 0x200C,   // one-dimensional array of values
  ByteArray = 0x2011,
};

class WireValue;
using TVariantArray = std::vector<WireValue>;

class WireValue {
 public:
  WireValue() = default;  // Empty
  WireValue(bool b) : type_(VarType::Boolean), i_(b) {}
  WireValue(int v) : type_(VarType::Integer), i_(v) {}
  WireValue(qint64 v) : type_(VarType::Int64), i_(v) {}
  WireValue(double v) : type_(VarType::Double), d_(v) {}
  WireValue(const QString& s) : type_(VarType::UString), s_(s) {}
  WireValue(const char* s) : type_(VarType::UString), s_(QString::fromUtf8(s)) {}
  WireValue(const QByteArray& b) : type_(VarType::ByteArray), b_(b) {}
  WireValue(const TVariantArray& a);

  static WireValue null() { return WireValue(VarType::Null); }
  static WireValue shortInt(int8_t v) { return integral(VarType::ShortInt, v); }
  static WireValue smallint(int16_t v) { return integral(VarType::Smallint, v); }
  static WireValue byte(uint8_t v) { return integral(VarType::Byte, v); }
  static WireValue word(uint16_t v) { return integral(VarType::Word, v); }
  static WireValue longWord(uint32_t v) { return integral(VarType::LongWord, v); }
  static WireValue int64(qint64 v) { return integral(VarType::Int64, v); }
  static WireValue uint64(quint64 v) { return integral(VarType::UInt64, qint64(v)); }
  static WireValue single(float v);
  static WireValue currency(double v);
  static WireValue dateTime(double days);
  static WireValue dateTime(const QDateTime& local);
  // Text that travels as ANSI (tags 1 and 2): encoded now, to windows-1251.
  static WireValue ansi(const QString& text);
  // ANSI text given as its bytes, for callers that build the bytes themselves.
  static WireValue ansiBytes(const QByteArray& bytes);
  static WireValue oleStr(const QString& text);
  static WireValue errorCode(int code) { return integral(VarType::Error, code); }

  VarType type() const { return type_; }
  uint16_t typeCode() const { return uint16_t(type_); }
  bool isNull() const { return type_ == VarType::Null; }
  bool isEmpty() const { return type_ == VarType::Empty; }
  bool isNullOrEmpty() const { return isNull() || isEmpty(); }
  bool isArray() const { return type_ == VarType::Array; }
  bool isIntegral() const;
  bool isText() const;

  // Conversions in the manner of the original's implicit variant casts:
  // Null fails, Empty gives zero or "", text is parsed, numbers are
  // formatted. Failures raise EVariantError.
  QString toString() const;
  QString toStringNullEmpty() const { return isNull() ? QString() : toString(); }
  qint32 toInt() const;
  qint64 toInt64() const;
  double toDouble() const;
  bool toBool() const;
  double toDateTime() const;      // day count
  QDateTime toQDateTime() const;  // local time
  QByteArray toBytes() const;
  // The ANSI bytes of a String value as held; other kinds: their text encoded.
  QByteArray ansiPayload() const;

  const TVariantArray& elements() const;
  int count() const { return isArray() ? int(elements().size()) : 1; }

  // The raw payloads, for the codec.
  qint64 rawInt() const { return i_; }
  double rawDouble() const { return d_; }
  const QString& rawText() const { return s_; }
  const QByteArray& rawBytes() const { return b_; }

  // Same kind and same payload.
  bool operator==(const WireValue& o) const;
  bool operator!=(const WireValue& o) const { return !(*this == o); }

  // Name of the kind, for messages ("Null", "Integer", "UnicodeString").
  static QString typeName(VarType t);
  // For logs and tests.
  QString debugText() const;

  QVariant toQVariant() const;
  static WireValue fromQVariant(const QVariant& v);

 private:
  explicit WireValue(VarType t) : type_(t) {}
  static WireValue integral(VarType t, qint64 v) {
    WireValue w(t);
    w.i_ = v;
    return w;
  }
  [[noreturn]] void castError(const char* target) const;

  VarType type_ = VarType::Empty;
  qint64 i_ = 0;
  double d_ = 0;
  QString s_;
  QByteArray b_;
  std::shared_ptr<const TVariantArray> a_;
};

// Day-count date-times (the wire's and the tables' form) and QDateTime.
double dateTimeToDays(const QDateTime& local);
QDateTime daysToDateTime(double days);
// The same, for one of many values: see plat::LocalTimes.
QDateTime daysToDateTime(double days, plat::LocalTimes& zone);

// Wire tags of tagged values.
enum WireTag : uint8_t {
  wtNull = 0,
  wtShortString = 1,
  wtBytes = 2,
  wtDateTime = 3,
  wtInt8 = 4,
  wtDouble = 5,
  wtSingle = 6,
  wtInt32 = 7,
  wtInt64 = 8,
  wtInt16 = 9,
  wtFalse = 10,
  wtTrue = 11,
  wtBytesAlt = 12,
  wtUnicodeString = 13,
};
