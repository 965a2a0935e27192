#include <gtest/gtest.h>

#include <algorithm>

#include "backoffice/Request.h"
#include "backoffice/Scrambler.h"
#include "backoffice/WireCodec.h"

namespace {

QByteArray hex(const char* h) {
  return QByteArray::fromHex(QByteArray(h).replace(' ', ""));
}

struct EncodeCase {
  const char* what;
  WireValue value;
  const char* wire;
};

TEST(WireCodec, EncodesGoldenBytes) {
  const EncodeCase cases[] = {
      {"null", WireValue::null(), "00"},
      {"empty", WireValue(), "00"},
      {"true", WireValue(true), "0B"},
      {"false", WireValue(false), "0A"},
      {"int 127", WireValue(127), "04 7F"},
      {"int -128", WireValue(-128), "04 80"},
      {"int 128", WireValue(128), "09 00 80"},
      {"int -129", WireValue(-129), "09 FF 7F"},
      {"int 32767", WireValue(32767), "09 7F FF"},
      {"int 32768", WireValue(32768), "07 00 00 80 00"},
      {"int -32769", WireValue(-32769), "07 FF FF 7F FF"},
      {"byte 200 takes the 16-bit tag", WireValue::byte(200), "09 00 C8"},
      {"word 65535", WireValue::word(65535), "07 00 00 FF FF"},
      {"int64 5 keeps 8 bytes", WireValue::int64(5), "08 00 00 00 00 00 00 00 05"},
      {"longword 1", WireValue::longWord(1), "08 00 00 00 00 00 00 00 01"},
      {"double 1.0", WireValue(1.0), "05 3F F0 00 00 00 00 00 00"},
      {"currency 10.5", WireValue::currency(10.5), "05 40 25 00 00 00 00 00 00"},
      {"single 1.0", WireValue::single(1.0f), "06 3F 80 00 00"},
      {"unicode abc", WireValue(QStringLiteral("abc")), "0D 00 00 00 06 61 00 62 00 63 00"},
      {"unicode empty", WireValue(QString()), "0D 00 00 00 00"},
      {"unicode cyrillic", WireValue(QStringLiteral("Я")), "0D 00 00 00 02 2F 04"},
      {"ansi cyrillic", WireValue::ansi(QStringLiteral("Яд")), "01 02 DF E4"},
      {"bytes", WireValue(QByteArray("\x01\x02", 2)), "02 00 00 00 02 01 02"},
      {"epoch", WireValue::dateTime(QDateTime(QDate(1970, 1, 1), QTime(0, 0))),
       "03 00 00 00 00 00 00 00 00"},
      {"date-time 2024-03-01 12:30:15.250",
       WireValue::dateTime(QDateTime(QDate(2024, 3, 1), QTime(12, 30, 15, 250))),
       "03 00 00 01 8D F9 FE 64 D2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encodeValue(c.value).toHex(' '), hex(c.wire).toHex(' ')) << c.what;
  }
}

TEST(WireCodec, AnsiTextChoosesTagByEncodedByteCount) {
  QByteArray s255 = encodeValue(WireValue::ansi(QString(255, u'x')));
  EXPECT_EQ(s255.left(2), hex("01 FF"));
  EXPECT_EQ(s255.size(), 2 + 255);
  QByteArray s256 = encodeValue(WireValue::ansi(QString(256, u'x')));
  EXPECT_EQ(s256.left(5), hex("02 00 00 01 00"));
  EXPECT_EQ(s256.size(), 5 + 256);
  // A surrogate pair is two code units but one replacement byte: the prefix
  // must count the bytes actually written.
  QString withPair = QString(255, u'x') + QString::fromUcs4(U"\U0001F600");
  QByteArray enc = encodeValue(WireValue::ansi(withPair));
  BufferSource src(enc);
  WireValue back = decodeValue(src, 1);
  EXPECT_EQ(src.remaining(), 0);
  EXPECT_EQ(back.toString().left(255), QString(255, u'x'));
}

TEST(WireCodec, RefusesKindsTheWireCannotCarry) {
  QByteArray out("x");
  try {
    encodeValue(out, WireValue::uint64(1));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Unknown varType 21(TJTransport.sendVariant)."));
  }
  EXPECT_EQ(out, QByteArray("x"));  // nothing of the value was written
  EXPECT_THROW(encodeValue(out, WireValue(TVariantArray{WireValue(1)})), EAbstractError);
}

struct DecodeCase {
  const char* wire;
  WireValue value;
};

TEST(WireCodec, DecodesEveryTag) {
  const DecodeCase cases[] = {
      {"00", WireValue::null()},
      {"0A", WireValue(false)},
      {"0B", WireValue(true)},
      {"01 03 61 62 63", WireValue(QStringLiteral("abc"))},
      {"01 01 DF", WireValue(QStringLiteral("Я"))},
      {"02 00 00 00 01 FF", WireValue(QByteArray("\xFF", 1))},
      {"0C 00 00 00 01 FF", WireValue(QByteArray("\xFF", 1))},
      {"04 FF", WireValue::shortInt(-1)},
      {"09 FF 7F", WireValue::smallint(-129)},
      {"07 00 00 80 00", WireValue(32768)},
      {"08 FF FF FF FF FF FF FF FE", WireValue::int64(-2)},
      {"05 3F F0 00 00 00 00 00 00", WireValue(1.0)},
      {"06 3F 80 00 00", WireValue::single(1.0f)},
      {"03 00 00 00 00 00 00 00 00", WireValue::dateTime(25569.0)},
  };
  for (const auto& c : cases) {
    BufferSource src(hex(c.wire));
    EXPECT_EQ(decodeValue(src, 1), c.value) << c.wire;
    EXPECT_EQ(src.remaining(), 0) << c.wire;
  }
}

TEST(WireCodec, RefusesUnknownTagsAndHugeLengths) {
  for (const char* w : {"0D 00 00 00 00", "0E", "FF"}) {
    BufferSource src(hex(w));
    try {
      decodeValue(src, 1);
      FAIL() << w;
    } catch (const Exception& e) {
      EXPECT_EQ(e.message(), QStringLiteral("Unknown variant type %1(TJTransport.recvVariant).")
                                 .arg(uint8_t(hex(w)[0])));
    }
  }
  BufferSource huge(hex("02 7F FF FF FF"));
  EXPECT_THROW(decodeValue(huge, 1), EAbstractError);
}

// A source that hands out its bytes and notes the largest piece asked for.
class CountingSource : public BufferSource {
 public:
  using BufferSource::BufferSource;
  void recvExact(char* dst, int n, int timeoutSec) override {
    largestAsk = std::max(largestAsk, n);
    BufferSource::recvExact(dst, n, timeoutSec);
  }
  int largestAsk = 0;
};

// The buffer of a long value grows with the bytes that came: a peer that
// announces 64 MiB and sends five bytes cannot make the reader set 64 MiB
// aside. Values that do arrive whole come out the same.
TEST(WireCodec, LongValuesAreReadAsTheirBytesArrive) {
  struct Case {
    const char* head;
    qsizetype sent;
    bool whole;
  };
  const Case cases[] = {
      {"02 04 00 00 00", 5, false},     {"0C 04 00 00 00", 0, false},
      {"0D 04 00 00 00", 6, false},     {"02 00 03 0D 41", 200001, true},
      {"0D 00 03 0D 40", 200000, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    QByteArray wire = hex(c.head);
    QByteArray payload(c.sent, Qt::Uninitialized);
    for (qsizetype i = 0; i < payload.size(); ++i) payload[i] = char(i * 7);
    CountingSource src(wire + payload);
    if (!c.whole) {
      EXPECT_THROW(decodeValue(src, 1, true), EAbstractError);
    } else {
      const WireValue v = decodeValue(src, 1, true);
      if (wire[0] == char(wtUnicodeString))
        EXPECT_EQ(v.rawText().size(), payload.size() / 2);
      else
        EXPECT_EQ(v.rawBytes(), payload);
      EXPECT_EQ(src.remaining(), 0);
    }
    EXPECT_LE(src.largestAsk, 64 * 1024);
  }
}

TEST(WireCodec, DateTimeRoundTripsToTheMillisecond) {
  QDateTime t(QDate(2031, 12, 31), QTime(23, 59, 59, 999));
  BufferSource src(encodeValue(WireValue::dateTime(t)));
  EXPECT_EQ(decodeValue(src, 1).toQDateTime(), t);
}

TEST(Scrambler, GoldenKeyStream) {
  Scrambler s;
  s.setKey(hex("01 02 03"));
  QByteArray b = hex("51 01 00 00");
  s.encode(b.data(), size_t(b.size()));
  EXPECT_EQ(b, hex("54 57 70 15"));
  EXPECT_EQ(s.index(), 1);
  EXPECT_EQ(s.last(), 0x15);

  Scrambler r;
  r.setKey(hex("01 02 03"));
  r.decode(b.data(), 2);  // in pieces: the state carries over
  r.decode(b.data() + 2, 2);
  EXPECT_EQ(b, hex("51 01 00 00"));
}

TEST(Scrambler, EmptyKeyPassesBytesAndKeepsState) {
  Scrambler s;
  QByteArray b = hex("51 01");
  s.encode(b.data(), 2);
  EXPECT_EQ(b, hex("51 01"));
  EXPECT_EQ(s.index(), 0);
  EXPECT_EQ(s.last(), 0);
}

TEST(Request, LimitsAndCursors) {
  TRequest r;
  r.params.resize(kMaxBatchItems);
  try {
    r.addParam(WireValue(1));
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(),
              QStringLiteral("Number of params in the requests exceeds maximal value (65535)."));
  }
  EXPECT_EQ(r.inputParamCount(), kMaxBatchItems);

  TRequest q;
  q.addResult(WireValue(5));
  EXPECT_THROW(q.inputParam(0), EAbstractError);
  EXPECT_EQ(q.nextResultParam(), WireValue(5));
  try {
    q.nextResultParam();
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Index is out of bounds (1, TRequest.nextResultParam)."));
  }
  EXPECT_EQ(q.resultParamIndex, 1);  // the cursor stays
  EXPECT_THROW(q.resultParam(1), EAbstractError);
}

TEST(WireValue, ConversionsFollowTheVariantRules) {
  EXPECT_THROW(WireValue::null().toString(), EVariantError);
  EXPECT_EQ(WireValue::null().toStringNullEmpty(), QString());
  EXPECT_EQ(WireValue(QStringLiteral("42")).toInt(), 42);
  EXPECT_THROW(WireValue(QStringLiteral("4x")).toInt(), EVariantError);
  EXPECT_EQ(WireValue::int64(7).toString(), QStringLiteral("7"));
  EXPECT_EQ(WireValue(2.5).toString(), QStringLiteral("2.5"));
  EXPECT_EQ(WireValue::smallint(-3).toInt64(), -3);
  EXPECT_TRUE(WireValue(QStringLiteral("true")).toBool());
  EXPECT_THROW(WireValue::null().toInt(), EVariantError);
}

}  // namespace
