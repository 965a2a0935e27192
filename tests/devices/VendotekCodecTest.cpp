#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTimeZone>
#include <cmath>
#include <functional>

#include "devices/CRC16.h"
#include "devices/Vendotek.h"
#include "testbed/VendotekSim.h"

namespace {

QByteArray bytes(std::initializer_list<uint8_t> b) {
  QByteArray out;
  for (uint8_t x : b) out += char(x);
  return out;
}

QString messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message();
  }
  return QStringLiteral("<no exception>");
}

QByteArray idleBody() {
  TVendotekMessage m;
  m.add(vtMessageName, "IDL");
  return m.toString();
}

}  // namespace

TEST(VendotekTlv, LengthsEncodeAndParseBack) {
  struct Case {
    qsizetype n;
    QByteArray encoded;
  } cases[] = {
      {1, bytes({0x01})},
      {127, bytes({0x7F})},
      {128, bytes({0x81, 0x80})},
      {200, bytes({0x81, 0xC8})},
      {255, bytes({0x81, 0xFF})},
      {256, bytes({0x82, 0x01, 0x00})},
      {300, bytes({0x82, 0x01, 0x2C})},
      {65535, bytes({0x82, 0xFF, 0xFF})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    EXPECT_EQ(encodeTlvLength(c.n), c.encoded);
    TVendotekMessage m;
    QByteArray value(c.n, 'v');
    value[0] = '\0';
    m.add(vtSimpleDataBlock, value);
    m.add(vtMessageName, "DAT");
    const QByteArray body = m.toString();
    EXPECT_EQ(body.mid(1, c.encoded.size()), c.encoded);
    TVendotekMessage back;
    back.parse(body);
    ASSERT_EQ(back.tags.size(), 2);
    EXPECT_EQ(back.getValue(vtSimpleDataBlock), value);
    EXPECT_EQ(back.getValue(vtMessageName), "DAT");
  }
  EXPECT_EQ(messageOf([] { encodeTlvLength(0); }), QStringLiteral("Length is too small."));
  TVendotekMessage empty;
  empty.add(vtPinCode, QByteArray());
  EXPECT_EQ(messageOf([&] { empty.toString(); }), QStringLiteral("Length is too small."));
  EXPECT_EQ(messageOf([] { encodeTlvLength(65536); }), QStringLiteral("Length is too big"));
}

// Bodies from the line are never trusted: nothing is read past their end.
TEST(VendotekTlv, ParsingTakesWhatTheBodyHolds) {
  struct Case {
    const char* what;
    QByteArray body;
    QList<QByteArray> values;  // per entry
    QString error;
  } cases[] = {
      {"two entries", bytes({1, 3, 'I', 'D', 'L', 3, 1, '7'}), {"IDL", "7"}, {}},
      {"repeated tag", bytes({3, 1, '1', 3, 1, '2'}), {"1", "2"}, {}},
      {"value cut short", bytes({13, 5, 'a', 'b'}), {"ab"}, {}},
      {"one trailing byte", bytes({1, 1, 'X', 9}), {"X"}, {}},
      {"0x81 without its byte", bytes({1, 1, 'X', 13, 0x81}), {"X"}, {}},
      {"0x82 with one byte", bytes({13, 0x82, 0x01}), {}, {}},
      {"zero length", bytes({1, 0, 'X'}), {}, "Zero length"},
      {"0x83", bytes({1, 0x83, 0, 0, 1, 'X'}), {}, "Length is too big"},
      {"0x80", bytes({1, 0x80, 'X'}), {}, "Length is too big"},
      {"empty", QByteArray(), {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TVendotekMessage m;
    m.add(vtHMAC, "stale");
    const QString error = messageOf([&] { m.parse(c.body); });
    if (!c.error.isEmpty()) {
      EXPECT_EQ(error, c.error);
      continue;
    }
    QList<QByteArray> values;
    for (const auto& t : m.tags) values.append(t.value);
    EXPECT_EQ(values, c.values);
  }
}

TEST(VendotekTlv, DescriptionNamesTagsAndMasksBytes) {
  TVendotekMessage m;
  m.add(vtMessageName, "VRP");
  m.add(vtAmountMinorCurrency, "12345");
  m.add(30, bytes({'a', ' ', 0x00, 0xC8, 'Z'}));
  EXPECT_EQ(m.getDescription(),
            QStringLiteral(
                "MessageName: VRP\r\nAmountMinorCurrency: 12345\r\nUnknown tag 30: a...Z\r\n"));
  EXPECT_EQ(TVendotekMessage::getTagDescr(29), QStringLiteral("HMAC"));
  EXPECT_EQ(TVendotekMessage::getTagDescr(0), QStringLiteral("Unknown tag 0"));
}

TEST(VendotekFrame, LayoutAndByteOrder) {
  const QByteArray body = idleBody();
  const QByteArray f = vendotekFrame(body, kVendotekToTerminal);
  ASSERT_EQ(f.size(), body.size() + 7);
  EXPECT_EQ(f.left(5), bytes({0x1F, 0x00, uint8_t(body.size() + 2), 0x96, 0xFB}));
  EXPECT_EQ(f.mid(5, body.size()), body);
  const uint16_t crc = crc16Ccitt(f.left(f.size() - 2));
  EXPECT_EQ(f.right(2), bytes({uint8_t(crc >> 8), uint8_t(crc & 0xFF)}));  // high byte first
  EXPECT_EQ(vendotekFrame(body, kVendotekFromTerminal).mid(3, 2), bytes({0x97, 0xFB}));
  EXPECT_ANY_THROW(vendotekFrame(QByteArray(kVendotekMaxBody + 1, 'x'), kVendotekToTerminal));
}

namespace {

struct FrameCase {
  const char* what;
  QByteArray input;
  QList<QByteArray> bodies;  // what a reader hands out, in order
};

// Input from the terminal to the kiosk; every spoiled frame is followed by a
// good one, which must still be found.
QList<FrameCase> frameCases() {
  const QByteArray body = idleBody();
  const QByteArray good = vendotekFrame(body, kVendotekFromTerminal);
  QByteArray swapped = good;
  std::swap(swapped[swapped.size() - 1], swapped[swapped.size() - 2]);
  QByteArray badCrc = good;
  badCrc[badCrc.size() - 1] = char(badCrc[badCrc.size() - 1] ^ 1);
  QByteArray badBody = good;
  badBody[6] = char(badBody[6] ^ 0x20);
  const QByteArray otherWay = vendotekFrame(body, kVendotekToTerminal);
  // L = 3: a one-byte body with a correct CRC.
  const QByteArray shortBody = vendotekFrame(QByteArray(1, '\x01'), kVendotekFromTerminal);
  TVendotekMessage big;
  big.add(vtSimpleDataBlock, QByteArray(3000, '\x1F'));
  const QByteArray bigFrame = vendotekFrame(big.toString(), kVendotekFromTerminal);
  return {
      {"good frame", good, {body}},
      {"noise before", bytes({0x00, 0xFF, 0x97}) + good, {body}},
      {"two frames", good + bigFrame, {body, big.toString()}},
      {"CRC bytes swapped", swapped + good, {body}},
      {"CRC off by a bit", badCrc + good, {body}},
      {"body spoiled", badBody + good, {body}},
      {"other direction", otherWay + good, {body}},
      {"L = 2", bytes({0x1F, 0x00, 0x02, 0x97, 0xFB}) + good, {body}},
      {"L = 0", bytes({0x1F, 0x00, 0x00, 0x97, 0xFB}) + good, {body}},
      {"L = 3", shortBody + good, {body}},
  };
}

}  // namespace

// The simulator's stream reader, fed whole and one byte at a time (a frame
// split anywhere).
TEST(VendotekFrame, StreamReaderTable) {
  for (const auto& c : frameCases()) {
    SCOPED_TRACE(c.what);
    for (bool byteWise : {false, true}) {
      QByteArray buf;
      QList<QByteArray> got;
      QByteArray body;
      const qsizetype step = byteWise ? 1 : c.input.size();
      for (qsizetype i = 0; i < c.input.size(); i += step) {
        buf += c.input.mid(i, step);
        while (takeVendotekFrame(buf, kVendotekFromTerminal, &body)) got.append(body);
      }
      EXPECT_EQ(got, c.bodies);
    }
    QByteArray tail = c.input.left(c.input.size() - 1);
    QByteArray body;
    int whole = 0;
    while (takeVendotekFrame(tail, kVendotekFromTerminal, &body)) ++whole;
    EXPECT_EQ(whole, c.bodies.size() - 1);  // the last frame is not yet complete
  }
}

// The driver's line reader, on a pseudo-terminal, the input split in two
// writes with a pause between them.
TEST(VendotekFrame, LineReaderTable) {
  QTemporaryDir dir;
  qputenv("VEKTA_PORTS_DIR", dir.path().toLocal8Bit());
  SimPort line(dir.path(), 1);
  TComDevice dev;
  dev.connect("COM1", 115200, 8, 0, 0, false, false);
  for (const auto& c : frameCases()) {
    SCOPED_TRACE(c.what);
    const qsizetype half = c.input.size() / 2;
    std::thread writer([&] {
      line.write(c.input.left(half));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      line.write(c.input.mid(half));
    });
    QList<QByteArray> got;
    int bytesSeen = 0;
    for (qsizetype i = 0; i < c.bodies.size(); ++i) {
      got.append(readVendotekFrame(dev, 2000, kVendotekFromTerminal, [&] { ++bytesSeen; }));
    }
    writer.join();
    EXPECT_EQ(got, c.bodies);
    EXPECT_GT(bytesSeen, 0);
    EXPECT_EQ(dev.recvPacket(20), QByteArray());  // nothing left over
  }
  EXPECT_EQ(messageOf([&] { readVendotekFrame(dev, 20, kVendotekFromTerminal); }),
            QStringLiteral("Timeout during operation."));
  qunsetenv("VEKTA_PORTS_DIR");
}

TEST(VendotekValues, LocalTimeAndKopecks) {
  const QDateTime t(QDate(2024, 12, 31), QTime(23, 59, 59));
  struct {
    int offsetSecs;
    const char* text;
  } zones[] = {{3 * 3600, "20241231T235959+0300"},
               {0, "20241231T235959+0000"},
               {-330 * 60, "20241231T235959-0530"},
               {330 * 60, "20241231T235959+0530"}};
  for (const auto& z : zones) EXPECT_EQ(vendotekLocalTime(t, z.offsetSecs), z.text);
  EXPECT_EQ(vendotekLocalTime(QDateTime(QDate(2025, 3, 5), QTime(7, 8, 9)), 0),
            "20250305T070809+0000");

  EXPECT_EQ(vendotekKopecks(123.45), "12345");
  EXPECT_EQ(vendotekKopecks(0.125), "12");  // 12.5 kopecks: half to even
  EXPECT_EQ(vendotekKopecks(0.135), "14");
  EXPECT_EQ(vendotekKopecks(1e6), "100000000");
  for (double bad : {-1.0, std::nan(""), double(INFINITY)}) {
    EXPECT_EQ(messageOf([&] { vendotekKopecks(bad); }), QStringLiteral("Неверная сумма платежа."));
  }
}
