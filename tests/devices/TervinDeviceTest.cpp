// The payment module's packets: integer parameters, the bytes on the line,
// and the reader's answer to every kind of bad frame.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>

#include "devices/CRC16.h"
#include "devices/TervinDevice.h"
#include "platform/Common.h"

namespace {

QString messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<no exception>");
}

QByteArray hex(const char* text) {
  return QByteArray::fromHex(text);
}

// Hands out the bytes in order and runs dry as a silent line does.
TTervinReader bufferReader(const QByteArray& bytes, qsizetype* used = nullptr) {
  auto pos = std::make_shared<qsizetype>(0);
  return [bytes, pos, used](int, int len) {
    if (bytes.size() - *pos < len) throw ETimeout(QStringLiteral("Timeout during operation."));
    QByteArray out = bytes.mid(*pos, len);
    *pos += len;
    if (used) *used = *pos;
    return out;
  };
}

TEST(TervinPacket, IntegersTakeTheShortestFormAndReadBack) {
  struct Case {
    int64_t value;
    int32_t type;
    const char* bytes;
  };
  const int64_t kMin = std::numeric_limits<int64_t>::min();
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  const Case cases[] = {
      {0, 1, "00"},
      {5, 1, "05"},
      {255, 1, "ff"},
      {256, 1, "0001"},
      {300, 1, "2c01"},
      {65535, 1, "ffff"},
      {65536, 1, "00000100"},
      {4294967295LL, 1, "ffffffff"},
      {4294967296LL, 1, "0000000001000000"},
      {kMax, 1, "ffffffffffffff7f"},
      {-1, 2, "ff"},
      {-128, 2, "80"},
      {-129, 2, "7fff"},
      {-200, 2, "38ff"},
      {-32768, 2, "0080"},
      {-32769, 2, "ff7fffff"},
      {-2147483648LL, 2, "00000080"},
      {-2147483649LL, 2, "ffffff7fffffffff"},
      {kMin, 2, "0000000000000080"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    TPacket p;
    p.addLong(c.value);
    ASSERT_EQ(p.paramCount(), 1);
    EXPECT_EQ(p.paramTypes[0], c.type);
    EXPECT_EQ(p.params[0].toHex(), QByteArray(c.bytes));
    EXPECT_EQ(p.getLong(0), c.value);
  }
}

TEST(TervinPacket, ParametersAsIntegersByTheirType) {
  struct Case {
    int32_t type;
    QByteArray value;
    int64_t expected;
    const char* error;  // nullptr: no error
  };
  const Case cases[] = {
      {1, hex("ff"), 255, nullptr},
      {2, hex("ff"), -1, nullptr},
      {2, hex("7f"), 127, nullptr},
      {2, hex("0080"), -32768, nullptr},
      {1, hex("0080"), 32768, nullptr},
      {2, hex("ffffff"), -1, nullptr},  // a 3-byte value is still a number
      {1, QByteArray(), 0, nullptr},
      {5, "123", 123, nullptr},
      {5, "-7", -7, nullptr},
      {5, "12a", 0, "'12a' is not a valid integer value"},
      {3, hex("01"), 0, "Unknown parameter type 3."},
      {1, hex("010203040506070809"), 0, "Incorrect answer format."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.toHex().constData());
    TPacket p;
    p.addParam(c.value, c.type);
    if (c.error) {
      EXPECT_EQ(messageOf([&] { p.getLong(0); }), QString::fromUtf8(c.error));
    } else {
      EXPECT_EQ(p.getLong(0), c.expected);
    }
  }
}

TEST(TervinPacket, IndexesOutsideTheParametersAndTheReadPosition) {
  TPacket p;
  p.addString("SN-1");
  p.addLong(-5);
  for (int bad : {-1, 2}) {
    EXPECT_EQ(messageOf([&] { p.getLong(bad); }), "Index is out of bounds.");
    EXPECT_EQ(messageOf([&] { p.getString(bad); }), "Index is out of bounds.");
  }
  EXPECT_EQ(p.nextString(), "SN-1");
  EXPECT_EQ(p.nextLong(), -5);
  EXPECT_EQ(messageOf([&] { p.nextLong(); }), "Index is out of bounds.");
  p.init();
  EXPECT_EQ(p.nextString(), "SN-1");
  p.clearParams();
  EXPECT_EQ(p.paramCount(), 0);
}

TEST(TervinCodec, BytesOnTheLine) {
  // A sale of product 5: header, one parameter, end byte.
  TPacket sale;
  sale.packetType = tptRequest;
  sale.packetNum = 0x17;
  sale.code = 2;
  sale.addLong(5);
  const QByteArray head = hex("71170200");
  const QByteArray param = hex("01010005");
  EXPECT_EQ(encodeTervinPacket(sale), head + crc16Arc(head) + param + crc16Arc(param) + hex("00"));

  // An answer without parameters is 7 bytes; the code is little-endian.
  TPacket answer;
  answer.packetType = tptAnswer;
  answer.packetNum = 0xFF;
  answer.code = 0x1234;
  const QByteArray ahead = hex("61ff3412");
  EXPECT_EQ(encodeTervinPacket(answer), ahead + crc16Arc(ahead) + hex("00"));

  // Values the line cannot carry are refused before anything is sent.
  EXPECT_EQ(messageOf([] { tervinParam(QByteArray(65536, 'x'), tpText); }),
            "Parameter is too long.");
  EXPECT_EQ(messageOf([] { tervinParam("x", 0); }), "Parameter type 0 is not allowed.");
  EXPECT_EQ(tervinParam(QByteArray(65535, 'x'), tpText).size(), 1 + 2 + 65535 + 2);
}

TEST(TervinCodec, ReadsBackWhatItWrites) {
  TPacket p;
  p.packetType = tptAnswer;
  p.packetNum = 200;
  p.code = 0xBEEF;
  p.addString("Serial 42");
  p.addLong(-129);
  p.addParam(QByteArray(), tpText);
  p.addParam(QByteArray(300, '\x01'), tpUnsigned);
  const QByteArray bytes = encodeTervinPacket(p) + "tail";

  qsizetype used = 0;
  const TPacket r = readTervinPacket(bufferReader(bytes, &used), 100);
  EXPECT_EQ(used, bytes.size() - 4);  // nothing of the next packet is taken
  EXPECT_EQ(r.packetType, tptAnswer);
  EXPECT_EQ(r.packetNum, 200);
  EXPECT_EQ(r.code, 0xBEEF);
  EXPECT_EQ(r.params, p.params);
  EXPECT_EQ(r.paramTypes, p.paramTypes);
  EXPECT_EQ(r.current_param_index, 0);
}

TEST(TervinCodec, BadFrames) {
  TPacket p;
  p.packetType = tptRequest;
  p.packetNum = 1;
  p.code = 3;
  p.addLong(5);
  const QByteArray good = encodeTervinPacket(p);

  QByteArray wrongType = good;
  wrongType[0] = 'x';
  QByteArray headerCrc = good;
  headerCrc[5] = char(headerCrc[5] ^ 1);
  QByteArray paramCrc = good;
  paramCrc[10] = char(paramCrc[10] ^ 1);

  struct Case {
    const char* name;
    QByteArray bytes;
    QString message;
  };
  const Case cases[] = {
      {"unknown type", wrongType, QStringLiteral("Unknown packet type \"x.")},
      {"header checksum", headerCrc,
       QStringLiteral("Incorrect checksum. header=") + BytesToHex(headerCrc.left(7))},
      {"parameter checksum", paramCrc,
       QStringLiteral("Incorrect checksum. Param=05. CRC=") + BytesToHex(paramCrc.mid(10, 3))},
      {"header cut short", good.left(5), QStringLiteral("Timeout during operation.")},
      {"value cut short", good.left(9), QStringLiteral("Timeout during operation.")},
      {"end byte missing", good.left(good.size() - 1), QStringLiteral("Timeout during operation.")},
      // A length far beyond the bytes that follow waits for them, never reads past.
      {"length beyond the data", good.left(6) + hex("01ffff05"),
       QStringLiteral("Timeout during operation.")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(messageOf([&] { readTervinPacket(bufferReader(c.bytes), 100); }), c.message);
  }
  // A packet cut short is a time-out by type too, so that a caller can tell
  // "nothing more came" from a spoiled packet.
  // A reader that hands out what it has when the line runs dry.
  const QByteArray cut = good.left(9);
  TTervinReader shortReader = [cut, pos = qsizetype(0)](int, int len) mutable {
    const QByteArray out = cut.mid(pos, len);
    pos += out.size();
    return out;
  };
  EXPECT_THROW(readTervinPacket(shortReader, 100), ETimeout);
}

}  // namespace
