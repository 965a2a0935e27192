#include "backoffice/WireCodec.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/TextCodec.h"

void putU16(QByteArray& out, uint16_t v) {
  char b[2];
  qToBigEndian(v, b);
  out.append(b, 2);
}
void putU32(QByteArray& out, uint32_t v) {
  char b[4];
  qToBigEndian(v, b);
  out.append(b, 4);
}
void putU64(QByteArray& out, uint64_t v) {
  char b[8];
  qToBigEndian(v, b);
  out.append(b, 8);
}
uint16_t getU16(const char* p) {
  return qFromBigEndian<uint16_t>(p);
}
uint32_t getU32(const char* p) {
  return qFromBigEndian<uint32_t>(p);
}
uint64_t getU64(const char* p) {
  return qFromBigEndian<uint64_t>(p);
}

namespace {

// windows-1251 decoding by table: building a platform decoder per value
// costs more than the rest of a table row.
struct AnsiTable {
  char16_t high[128];
  AnsiTable() {
    QByteArray all(128, Qt::Uninitialized);
    for (int i = 0; i < 128; ++i) all[i] = char(0x80 + i);
    QString text = plat::fromAnsi(all);
    for (int i = 0; i < 128; ++i) high[i] = i < text.size() ? text[i].unicode() : u'\uFFFD';
  }
};

}  // namespace

QString ansiToString(const char* p, qsizetype n) {
  static const AnsiTable table;
  QString s(n, Qt::Uninitialized);
  QChar* d = s.data();
  for (qsizetype i = 0; i < n; ++i) {
    const auto b = uint8_t(p[i]);
    d[i] = QChar(b < 0x80 ? char16_t(b) : table.high[b - 0x80]);
  }
  return s;
}

namespace {

void putSmallestInt(QByteArray& out, qint64 v) {
  if (v >= -128 && v <= 127) {
    putU8(out, wtInt8);
    putU8(out, uint8_t(int8_t(v)));
  } else if (v >= -32768 && v <= 32767) {
    putU8(out, wtInt16);
    putU16(out, uint16_t(int16_t(v)));
  } else {
    putU8(out, wtInt32);
    putU32(out, uint32_t(int32_t(v)));
  }
}

void putDouble(QByteArray& out, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  putU64(out, bits);
}

void putAnsi(QByteArray& out, const QByteArray& bytes) {
  // The prefix counts bytes: encode first, then pick the tag by byte count.
  if (bytes.size() > 255) {
    putU8(out, wtBytes);
    putU32(out, uint32_t(bytes.size()));
  } else {
    putU8(out, wtShortString);
    putU8(out, uint8_t(bytes.size()));
  }
  out.append(bytes);
}

}  // namespace

void encodeValue(QByteArray& out, const WireValue& v) {
  switch (v.type()) {
    case VarType::Empty:
    case VarType::Null:
      putU8(out, wtNull);
      return;
    case VarType::ShortInt:
    case VarType::Smallint:
    case VarType::Integer:
    case VarType::Byte:
    case VarType::Word:
      putSmallestInt(out, v.rawInt());
      return;
    case VarType::Single: {
      float f = float(v.rawDouble());
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      putU8(out, wtSingle);
      putU32(out, bits);
      return;
    }
    case VarType::Double:
    case VarType::Currency:
      putU8(out, wtDouble);
      putDouble(out, v.rawDouble());
      return;
    case VarType::Date: {
      double ms = std::nearbyint((v.rawDouble() - 25569.0) * 86400000.0);
      if (!std::isfinite(ms) || std::fabs(ms) > 9e18) break;
      putU8(out, wtDateTime);
      putU64(out, uint64_t(int64_t(ms)));
      return;
    }
    case VarType::OleStr:
    case VarType::String:
      putAnsi(out, v.ansiPayload());
      return;
    case VarType::Boolean:
      putU8(out, v.rawInt() ? wtTrue : wtFalse);
      return;
    case VarType::LongWord:
    case VarType::Int64:
      putU8(out, wtInt64);
      putU64(out, uint64_t(v.rawInt()));
      return;
    case VarType::UString: {
      const QString& s = v.rawText();
      putU8(out, wtUnicodeString);
      putU32(out, uint32_t(s.size() * 2));
      qsizetype at = out.size();
      out.resize(at + s.size() * 2);
      char* p = out.data() + at;
      for (QChar c : s) {
        *p++ = char(c.unicode() & 0xFF);
        *p++ = char(c.unicode() >> 8);
      }
      return;
    }
    case VarType::ByteArray:
      putU8(out, wtBytes);
      putU32(out, uint32_t(v.rawBytes().size()));
      out.append(v.rawBytes());
      return;
    default:
      break;
  }
  throw EAbstractError(
      QStringLiteral("Unknown varType %1(TJTransport.sendVariant).").arg(v.typeCode()));
}

QString unknownVariantTypeMessage(int tag) {
  return QStringLiteral("Unknown variant type %1(TJTransport.recvVariant).").arg(tag);
}

namespace {

// Reads a length-prefixed payload in pieces, growing the buffer only as the
// bytes arrive: a peer that announces a large value and sends nothing costs
// one piece, not the announced size.
QByteArray recvAnnounced(WireSource& src, uint32_t n, int timeoutSec) {
  constexpr qsizetype kPiece = 64 * 1024;
  const auto total = qsizetype(n);
  QByteArray s;
  qsizetype have = 0;
  while (have < total) {
    const qsizetype step = std::min(kPiece, total - have);
    if (s.capacity() < have + step)
      s.reserve(std::min(total, std::max(have + step, 2 * s.capacity())));
    s.resize(have + step);
    src.recvExact(s.data() + have, int(step), timeoutSec);
    have += step;
  }
  return s;
}

}  // namespace

WireValue decodeValue(WireSource& src, int timeoutSec, bool allowUnicode) {
  char t;
  src.recvExact(&t, 1, timeoutSec);
  return decodeTaggedValue(src, uint8_t(t), timeoutSec, allowUnicode);
}

WireValue decodeTaggedValue(WireSource& src, int tag, int timeoutSec, bool allowUnicode) {
  char b[8];
  switch (tag) {
    case wtNull:
      return WireValue::null();
    case wtFalse:
      return WireValue(false);
    case wtTrue:
      return WireValue(true);
    case wtShortString: {
      src.recvExact(b, 1, timeoutSec);
      int n = uint8_t(b[0]);
      char s[256];
      src.recvExact(s, n, timeoutSec);
      return WireValue(ansiToString(s, n));
    }
    case wtBytes:
    case wtBytesAlt: {
      src.recvExact(b, 4, timeoutSec);
      uint32_t n = getU32(b);
      if (n > kMaxWireBlock) src.badLength();
      return WireValue(recvAnnounced(src, n, timeoutSec));
    }
    case wtDateTime: {
      src.recvExact(b, 8, timeoutSec);
      int64_t ms = int64_t(getU64(b));
      return WireValue::dateTime(double(ms) / 86400000.0 + 25569.0);
    }
    case wtDouble: {
      src.recvExact(b, 8, timeoutSec);
      uint64_t bits = getU64(b);
      double d;
      std::memcpy(&d, &bits, 8);
      return WireValue(d);
    }
    case wtSingle: {
      src.recvExact(b, 4, timeoutSec);
      uint32_t bits = getU32(b);
      float f;
      std::memcpy(&f, &bits, 4);
      return WireValue::single(f);
    }
    case wtInt8:
      src.recvExact(b, 1, timeoutSec);
      return WireValue::shortInt(int8_t(b[0]));
    case wtInt16:
      src.recvExact(b, 2, timeoutSec);
      return WireValue::smallint(int16_t(getU16(b)));
    case wtInt32:
      src.recvExact(b, 4, timeoutSec);
      return WireValue(int(int32_t(getU32(b))));
    case wtInt64:
      src.recvExact(b, 8, timeoutSec);
      return WireValue::int64(int64_t(getU64(b)));
    case wtUnicodeString:
      if (allowUnicode) {
        src.recvExact(b, 4, timeoutSec);
        uint32_t n = getU32(b);
        if (n > kMaxWireBlock || n % 2 != 0) src.badLength();
        const QByteArray raw = recvAnnounced(src, n, timeoutSec);
        QString s(qsizetype(n / 2), Qt::Uninitialized);
        const auto* p = reinterpret_cast<const uint8_t*>(raw.constData());
        for (qsizetype i = 0; i < s.size(); ++i)
          s[i] = QChar(char16_t(p[2 * i] | (p[2 * i + 1] << 8)));
        return WireValue(s);
      }
      [[fallthrough]];
    default:
      src.unknownTag(tag);
  }
  return WireValue();
}

void BufferSource::recvExact(char* dst, int n, int) {
  if (n < 0 || n > remaining()) throw EAbstractError(QStringLiteral("Unexpected end of data."));
  std::memcpy(dst, data_.constData() + pos_, size_t(n));
  pos_ += n;
}

void BufferSource::badLength() {
  throw EAbstractError(QStringLiteral("Value too large."));
}

void BufferSource::unknownTag(int tag) {
  throw EAbstractError(unknownVariantTypeMessage(tag));
}
