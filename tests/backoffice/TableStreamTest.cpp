// A table stream read into a table: every kind of value lands in every kind
// of column as Append, SetValue and Post would store the value that
// decodeValue reads, whether the table is filled in place (a plain table) or
// row by row (a table that may act in its hooks). Date-times stay the same
// local times in zones with and without daylight saving.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDateTime>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <thread>

#include "backoffice/JTransport.h"
#include "backoffice/Scrambler.h"
#include "backoffice/TableStream.h"
#include "backoffice/WireCodec.h"
#include "platform/TcpClient.h"
#include "tests/support/LocalZone.h"

namespace {

// A transport whose peer has already sent `bytes` and closed.
class StreamTransport : public TJTransport {
 public:
  explicit StreamTransport(const QByteArray& bytes) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    const int big = 4 << 20;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    qsizetype at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::send(fds[1], bytes.constData() + at, size_t(bytes.size() - at), 0);
      if (n <= 0) std::abort();
      at += n;
    }
    ::close(fds[1]);
    socket_.adopt(fds[0]);
    fSocket = &socket_;
    setShowProgress(false);
    setReadPollMs(5);
  }
  ~StreamTransport() override {
    disconnect();
    fSocket = nullptr;
  }

 private:
  plat::TcpClient socket_;
};

// A transport whose peer sends `bytes` scrambled with `key`, in pieces of
// `piece` bytes from a thread, so values fall across the reader's buffer ends.
class PiecewiseTransport : public TJTransport {
 public:
  PiecewiseTransport(QByteArray bytes, const QByteArray& key, int piece) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    Scrambler server;
    server.setKey(key);
    server.encode(bytes.data(), size_t(bytes.size()));
    setKeyBoth(key);
    writer_ = std::thread([fd = fds[1], bytes, piece] {
      for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t n =
            ::send(fd, bytes.constData() + at,
                   size_t(std::min<qsizetype>(piece, bytes.size() - at)), MSG_NOSIGNAL);
        if (n <= 0) break;
        at += n;
      }
      ::close(fd);
    });
    socket_.adopt(fds[0]);
    fSocket = &socket_;
    setShowProgress(false);
    setReadPollMs(5);
  }
  ~PiecewiseTransport() override {
    // Closed first, so a writer still sending after a failed read stops.
    disconnect();
    fSocket = nullptr;
    writer_.join();
  }

 private:
  plat::TcpClient socket_;
  std::thread writer_;
};

// A subclass may act in its hooks, so it is filled row by row.
class RowByRowTable : public plat::MemTable {};

struct Column {
  int javaType;
  int size = 0;
};

QByteArray stream(const std::vector<Column>& cols, const std::vector<TVariantArray>& rows,
                  const QByteArray& tail = QByteArray()) {
  // As the server sends it: names in ANSI.
  QByteArray out;
  encodeValue(out, WireValue(int(cols.size())));
  for (size_t i = 0; i < cols.size(); ++i) {
    encodeValue(out, WireValue::ansi(QStringLiteral("c%1").arg(i)));
    encodeValue(out, WireValue(cols[i].javaType));
    encodeValue(out, WireValue(cols[i].size));
    encodeValue(out, WireValue(0));
  }
  for (const auto& r : rows) writeTableRow(out, r);
  if (tail.isEmpty())
    writeTableEnd(out);
  else
    out += tail;
  return out;
}

// What Append, SetValue and Post store for v in a column of type ft: the
// value as decodeValue reads it back, then the field's conversion.
struct Stored {
  QVariant value;
  std::string error;
};
Stored expectedStore(TFieldType ft, const WireValue& sent) {
  BufferSource src(encodeValue(sent));
  const WireValue v = decodeValue(src, 1);
  const QVariant q = ft == ftBytes && !v.isNull() ? QVariant(v.ansiPayload()) : v.toQVariant();
  try {
    return {plat::convertToFieldType(ft, q), {}};
  } catch (const Exception& e) {
    return {{}, e.message().toStdString()};
  }
}

// Same kind, same value, and for texts and date-times the same flavour
// (null or empty text; local time, validity).
::testing::AssertionResult sameValue(const QVariant& a, const QVariant& b) {
  if (a.isValid() != b.isValid() || a.typeId() != b.typeId())
    return ::testing::AssertionFailure()
           << "kinds " << a.typeName() << " and " << b.typeName() << " differ";
  if (!a.isValid()) return ::testing::AssertionSuccess();
  if (a.typeId() == QMetaType::QString && a.toString().isNull() != b.toString().isNull())
    return ::testing::AssertionFailure() << "null and empty text";
  if (a.typeId() == QMetaType::QDateTime) {
    const QDateTime x = a.toDateTime(), y = b.toDateTime();
    if (x.isValid() != y.isValid() || x.timeSpec() != y.timeSpec() || x.date() != y.date() ||
        x.time() != y.time() ||
        (x.isValid() &&
         (x.offsetFromUtc() != y.offsetFromUtc() || x.isDaylightTime() != y.isDaylightTime())))
      return ::testing::AssertionFailure()
             << x.toString(Qt::ISODateWithMs).toStdString() << " against "
             << y.toString(Qt::ISODateWithMs).toStdString();
  }
  if (!(a == b))
    return ::testing::AssertionFailure()
           << a.toString().toStdString() << " against " << b.toString().toStdString();
  return ::testing::AssertionSuccess();
}

// Reads the stream into a table of each kind; gives the failure text, if any.
std::string load(plat::MemTable& t, const QByteArray& bytes) {
  StreamTransport tr(bytes);
  try {
    tr.recvTable(&t, 1);
  } catch (const Exception& e) {
    return e.message().toStdString();
  }
  return {};
}

using testkit::LocalZone;

WireValue at(int y, int m, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return WireValue::dateTime(QDateTime(QDate(y, m, d), QTime(h, mi, s, ms)));
}

TEST(TableStreamDecode, EveryValueLandsInEveryColumnAsAppendAndPostStoreIt) {
  const int javaTypes[] = {4, 5, -5, 12, 6, 16, 93, 92, -3, 2004, 2005, 2003};
  const std::vector<WireValue> values = {
      WireValue::null(),
      WireValue(false),
      WireValue(true),
      WireValue::shortInt(-5),
      WireValue::smallint(-300),
      WireValue(70000),
      WireValue::int64(1LL << 40),
      WireValue::int64(12),
      WireValue(2.5),
      WireValue(-0.0),
      WireValue::single(1.25f),
      WireValue::ansi(QString()),
      WireValue::ansi(QStringLiteral("Чай с лимоном")),
      WireValue::ansi(QStringLiteral("42")),
      WireValue::ansi(QStringLiteral("31.12.2024 10:20:30")),
      WireValue::ansiBytes(QByteArray("\x98\xFF\x00", 3)),
      WireValue::ansiBytes(QByteArray(300, 'x')),
      WireValue(QByteArray("\x01\xFE", 2)),
      at(2024, 5, 6, 7, 8, 9, 10),
      at(1899, 12, 30),
      at(1899, 12, 29, 23, 59, 59, 999),
      WireValue::dateTime(3.5e6),
  };
  for (int jt : javaTypes) {
    const TFieldType ft = TJTransport::javaTypeToFieldType(jt);
    for (const WireValue& v : values) {
      SCOPED_TRACE(QStringLiteral("JDBC %1, %2").arg(jt).arg(v.debugText()).toStdString());
      const Stored want = expectedStore(ft, v);
      const QByteArray bytes = stream({{jt, 300}}, {{v}, {WireValue::null()}});
      plat::MemTable inPlace;
      RowByRowTable byRow;
      const std::string e1 = load(inPlace, bytes), e2 = load(byRow, bytes);
      EXPECT_EQ(e1, want.error);
      EXPECT_EQ(e2, want.error);
      if (!want.error.empty()) {
        // The row that failed on its only value is not kept, in either way.
        EXPECT_EQ(inPlace.RecordCount(), 0);
        EXPECT_EQ(byRow.RecordCount(), 0);
        continue;
      }
      ASSERT_EQ(inPlace.RecordCount(), 2);
      ASSERT_EQ(byRow.RecordCount(), 2);
      inPlace.First();
      byRow.First();
      EXPECT_TRUE(sameValue(inPlace.FieldByIndex(0)->Value(), want.value));
      EXPECT_TRUE(sameValue(byRow.FieldByIndex(0)->Value(), want.value));
    }
  }
}

TEST(TableStreamDecode, DateTimesStayTheSameLocalTimesInEveryZone) {
  // Repeats and returns to an earlier value, as a column of dates does.
  std::vector<WireValue> dates = {
      at(2024, 1, 1),
      at(2024, 1, 1),
      at(2024, 3, 31, 2, 30),   // missing in the daylight-saving zone
      at(2024, 10, 27, 2, 30),  // there twice in the daylight-saving zone
      at(2024, 10, 27, 2, 30),
      at(2024, 1, 1),
      at(2014, 10, 26, 1, 30),  // the last change of the fixed zone's offset
      at(1970, 1, 1),
      at(1969, 12, 31, 23, 59, 59, 999),
      at(1899, 12, 30),
      at(1899, 12, 29, 12, 0),
      at(1, 1, 1),
      at(9999, 12, 31, 23, 59, 59, 999),
      WireValue::dateTime(-693593.25),
      WireValue::dateTime(45000.123456789),
      WireValue::dateTime(-3.1e6),
      WireValue::null(),
      at(2024, 1, 1),
  };
  // Runs of nearby times, as a column of sale times holds them, through the
  // changes of the daylight-saving zones.
  for (const QDateTime& from : {QDateTime(QDate(2024, 3, 30), QTime(22, 0), Qt::UTC),
                                QDateTime(QDate(2024, 10, 26), QTime(22, 0), Qt::UTC),
                                QDateTime(QDate(2024, 3, 9), QTime(22, 0), Qt::UTC),
                                QDateTime(QDate(2024, 11, 2), QTime(22, 0), Qt::UTC)}) {
    for (int s = 0; s < 8 * 3600; s += 97) dates.push_back(WireValue::dateTime(from.addSecs(s)));
  }
  const char* const zones[] = {"UTC0", "MSK-3", "CET-1CEST,M3.5.0,M10.5.0/3",
                               "EST5EDT,M3.2.0,M11.1.0", "<+1030>-10:30"};
  for (const char* zone : zones) {
    SCOPED_TRACE(zone);
    LocalZone z(zone);
    std::vector<TVariantArray> rows;
    for (const WireValue& d : dates) rows.push_back({d, d});
    const QByteArray bytes = stream({{93}, {12, 100}}, rows);
    plat::MemTable inPlace;
    RowByRowTable byRow;
    ASSERT_EQ(load(inPlace, bytes), "");
    ASSERT_EQ(load(byRow, bytes), "");
    inPlace.First();
    byRow.First();
    for (const WireValue& d : dates) {
      SCOPED_TRACE(d.debugText().toStdString());
      const Stored want = expectedStore(ftDateTime, d);
      const Stored wantText = expectedStore(ftString, d);
      EXPECT_TRUE(sameValue(inPlace.FieldByIndex(0)->Value(), want.value));
      EXPECT_TRUE(sameValue(byRow.FieldByIndex(0)->Value(), want.value));
      EXPECT_TRUE(sameValue(inPlace.FieldByIndex(1)->Value(), wantText.value));
      EXPECT_EQ(inPlace.FieldByIndex(0)->AsFloat(), byRow.FieldByIndex(0)->AsFloat());
      inPlace.Next();
      byRow.Next();
    }
  }
}

// A stream that fails inside a row leaves the rows before it, and the
// failing row with the values it got when it got any, both ways alike.
TEST(TableStreamDecode, AFailureInsideARowKeepsWhatAppendAndPostWouldKeep) {
  const QByteArray badTag("\x0E", 1);
  struct Case {
    const char* what;
    QByteArray bytes;
    int rows;
    std::string message;
  };
  const std::vector<Column> cols = {{4}, {12, 20}, {4}};
  const TVariantArray full = {WireValue(1), WireValue::ansi(QStringLiteral("a")), WireValue(2)};
  auto partial = [&](const TVariantArray& vals, const QByteArray& rest) {
    QByteArray tail;
    writeTableRow(tail, vals);
    return stream(cols, {full}, tail + rest);
  };
  const Case cases[] = {
      {"unknown tag at the first value", partial({}, badTag), 1,
       unknownVariantTypeMessage(14).toStdString()},
      {"unknown tag at the second value", partial({WireValue(5)}, badTag), 2,
       unknownVariantTypeMessage(14).toStdString()},
      {"too wide for the column",
       partial({WireValue(5), WireValue::ansi(QStringLiteral("b"))},
               encodeValue(WireValue::int64(1LL << 40))),
       2, "'1099511627776' is not a valid integer value"},
      {"ends inside a value",
       partial({WireValue(5)}, QByteArray("\x01\x05"
                                          "ab",
                                          4)),
       2,
       {}},
      {"error marker after a row",
       stream(cols, {full},
              [] {
                QByteArray b;
                encodeValue(b, WireValue::byte(2));
                encodeValue(b, WireValue::ansi(QStringLiteral("deadlock")));
                return b;
              }()),
       1, "deadlock"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plat::MemTable inPlace;
    RowByRowTable byRow;
    const std::string e1 = load(inPlace, c.bytes), e2 = load(byRow, c.bytes);
    EXPECT_FALSE(e1.empty());
    EXPECT_EQ(e1, e2);
    if (!c.message.empty()) {
      EXPECT_EQ(e1, c.message);
    }
    ASSERT_EQ(inPlace.RecordCount(), c.rows);
    ASSERT_EQ(byRow.RecordCount(), c.rows);
    EXPECT_EQ(inPlace.SaveToBytes(), byRow.SaveToBytes());
  }
}

// A sorted table filled in place shows its rows in order; a table whose rows
// run a handler is still filled row by row, so the handler sees every row.
TEST(TableStreamDecode, TablesWithRowHandlersStillSeeEveryRow) {
  const std::vector<TVariantArray> rows = {{WireValue(3), WireValue::ansi(QStringLiteral("c"))},
                                           {WireValue(1), WireValue::ansi(QStringLiteral("a"))},
                                           {WireValue(2), WireValue::ansi(QStringLiteral("b"))}};
  const QByteArray bytes = stream({{4}, {12, 10}}, rows);
  for (bool sorted : {false, true}) {
    SCOPED_TRACE(sorted);
    plat::MemTable t;
    if (sorted) t.SetIndexFieldNames(QStringLiteral("c1"));
    ASSERT_EQ(load(t, bytes), "");
    EXPECT_EQ(t.RecNo(), 1);
    QStringList order;
    for (t.First(); !t.Eof(); t.Next()) order << t.FieldByIndex(1)->AsString();
    EXPECT_EQ(order.join(u','), sorted ? QStringLiteral("a,b,c") : QStringLiteral("c,a,b"));
  }
  plat::MemTable counted;
  int newRecords = 0;
  counted.OnNewRecord = [&](plat::MemTable&) { ++newRecords; };
  ASSERT_EQ(load(counted, bytes), "");
  EXPECT_EQ(newRecords, 3);
  EXPECT_FALSE(counted.CanAppendRowsInPlace());
}

// A long scrambled table that arrives in pieces: rows that end past the
// buffered bytes, rare kinds of value and failing values among common ones
// load as row by row, and what follows the table is read where it starts.
TEST(TableStreamDecode, ALongScrambledTableArrivingInPiecesLoadsAsRowByRow) {
  std::vector<TVariantArray> rows;
  for (int i = 0; i < 3000; ++i) {
    TVariantArray r = {
        WireValue(i), WireValue::ansi(QStringLiteral("Товар %1").arg(i)), WireValue(0.5 * i),
        WireValue::dateTime(QDateTime(QDate(2024, 3, 31), QTime(0, 0), Qt::UTC).addSecs(7 * i)),
        WireValue::int64(qint64(i) << 20)};
    if (i % 50 == 7) r[2] = WireValue::currency(i + 0.25);                       // rare kind
    if (i % 70 == 9) r[1] = WireValue::ansi(QString(300 + i % 5, QChar(u'ж')));  // long text
    if (i % 90 == 11) r[0] = WireValue::null();
    rows.push_back(r);
  }
  QByteArray after;
  encodeValue(after, WireValue::ansi(QStringLiteral("после")));
  const QByteArray bytes = stream({{4}, {12, 400}, {8}, {93}, {-5}}, rows) + after;
  // The same rows, then a row whose first value is too wide for its column.
  QByteArray failing =
      stream({{4}, {12, 400}, {8}, {93}, {-5}}, rows,
             encodeValue(WireValue::byte(0)) + encodeValue(WireValue::int64(1LL << 40)));

  LocalZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  const QByteArray key = QByteArray::fromHex("a1b2c3d4e5f60718293a");
  RowByRowTable expected;
  {
    PiecewiseTransport tr(bytes, key, 1 << 20);
    tr.recvTable(&expected, 5);
  }
  ASSERT_EQ(expected.RecordCount(), 3000);
  for (int piece : {1, 97, 4093, 70000}) {
    SCOPED_TRACE(piece);
    plat::MemTable inPlace;
    PiecewiseTransport tr(bytes, key, piece);
    tr.recvTable(&inPlace, 5);
    EXPECT_EQ(inPlace.SaveToBytes(), expected.SaveToBytes());
    inPlace.Last();
    expected.Last();
    EXPECT_TRUE(sameValue(inPlace.FieldByIndex(3)->Value(), expected.FieldByIndex(3)->Value()));
    EXPECT_EQ(tr.recvVariant(5).toStringNullEmpty(), QStringLiteral("после"));
  }
  for (int piece : {1, 4093}) {
    SCOPED_TRACE(piece);
    plat::MemTable inPlace;
    RowByRowTable byRow;
    std::string e1, e2;
    {
      PiecewiseTransport tr(failing, key, piece);
      try {
        tr.recvTable(&inPlace, 1);
      } catch (const Exception& e) {
        e1 = e.message().toStdString();
      }
    }
    {
      PiecewiseTransport tr(failing, key, piece);
      try {
        tr.recvTable(&byRow, 1);
      } catch (const Exception& e) {
        e2 = e.message().toStdString();
      }
    }
    EXPECT_EQ(e1, "'1099511627776' is not a valid integer value");
    EXPECT_EQ(e1, e2);
    ASSERT_EQ(inPlace.RecordCount(), 3000);
    EXPECT_EQ(inPlace.SaveToBytes(), byRow.SaveToBytes());
  }
}

}  // namespace
