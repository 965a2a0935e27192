// The stand-in back office's request handlers, called directly with the
// parameter layouts the client library sends: each request must read its
// parameters as laid out and answer with the kinds the client converts.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "backoffice/WireCodec.h"
#include "platform/TextCodec.h"
#include "testbed/SimHandlers.h"

using namespace sim;

namespace {

class SimHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    db = std::make_unique<SimDatabase>(dir.filePath(QStringLiteral("sim.db")));
    db->seedDemo();
    handlers = std::make_unique<SimHandlers>(*db, dir.filePath(QStringLiteral("files")));
  }

  ServerReply run(uint16_t code, TVariantArray params, int connection = 1) {
    ServerRequest r;
    r.connectionId = connection;
    r.code = code;
    r.params = std::move(params);
    ServerReply reply;
    try {
      handlers->handle(r, reply);
    } catch (const Exception& e) {
      // The protocol server turns a raised error into a refusal with code 1.
      reply.refuse(e.message());
    }
    return reply;
  }

  QTemporaryDir dir;
  std::unique_ptr<SimDatabase> db;
  std::unique_ptr<SimHandlers> handlers;
};

WireValue ansiGood(qint32 id, const QString& name) {
  QByteArray b(4, '\0');
  for (int i = 0; i < 4; ++i) b[i] = char((quint32(id) >> (8 * i)) & 0xFF);
  return WireValue::ansiBytes(b + plat::toOem(name));
}

}  // namespace

TEST_F(SimHandlersTest, LoginAcceptsOnlyTheDemoUser) {
  struct Case {
    const char *login, *password;
    int status;
  } cases[] = {{"demo", "demo", 0}, {"demo", "wrong", 1}, {"admin", "demo", 1}, {"", "", 1}};
  for (const Case& c : cases) {
    LoginAttempt a;
    a.login = QString::fromLatin1(c.login);
    a.password = QString::fromLatin1(c.password);
    const LoginDecision d = handlers->login(a);
    EXPECT_EQ(d.status, c.status) << c.login << "/" << c.password;
    EXPECT_EQ(d.failureText.isEmpty(), d.status != 1);
  }
}

TEST_F(SimHandlersTest, SelectWithTypedParametersFillsOneTable) {
  const ServerReply reply =
      run(1, {WireValue("select id, name, price from tbNomenclature where price > ?p and isFolder "
                        "= ? order by id"),
              WireValue(2), WireValue(6), WireValue(100.0), WireValue(5), WireValue::smallint(0)});
  ASSERT_FALSE(reply.refused) << reply.errorMessage.toStdString();
  ASSERT_EQ(reply.tables.size(), 1u);
  const ServerTable& t = reply.tables[0];
  ASSERT_EQ(t.columns.size(), 3u);
  EXPECT_EQ(t.columns[1].javaType, 12);
  EXPECT_GT(t.columns[1].size, 0);
  EXPECT_EQ(t.columns[2].javaType, 8);
  ASSERT_FALSE(t.rows.empty());
  for (const TVariantArray& row : t.rows) EXPECT_GT(row[2].toDouble(), 100.0);
  // Texts travel as ANSI, which the client reads; wide text it refuses.
  EXPECT_EQ(t.rows[0][1].type(), VarType::String);

  EXPECT_TRUE(
      run(1, {WireValue("select 1"), WireValue(3)}).refused);  // count beyond the parameters
  EXPECT_TRUE(run(1, {WireValue("select * from tbNoSuch"), WireValue(0)}).refused);
}

TEST_F(SimHandlersTest, RecordRequestInsertsAndUpdates) {
  const ServerReply ins =
      run(7, {WireValue("tbTerminal"), WireValue("id"), WireValue(4), WireValue::null(),
              WireValue("imei"), WireValue(12), WireValue("trevalo-001")});
  ASSERT_FALSE(ins.refused) << ins.errorMessage.toStdString();
  ASSERT_EQ(ins.results.size(), 2u);
  EXPECT_EQ(ins.results[0].toInt(), 1);
  const qint64 key = ins.results[1].toInt64();
  EXPECT_GT(key, 0);

  const ServerReply upd =
      run(7, {WireValue("tbTerminal"), WireValue("id"), WireValue(4), WireValue(int(key)),
              WireValue("isConnected"), WireValue(5), WireValue::byte(0)});
  ASSERT_FALSE(upd.refused);
  EXPECT_EQ(upd.results.at(0).toInt(), 1);

  // A date-time field stays a date-time.
  const QDateTime dt(QDate(2024, 1, 31), QTime(14, 2, 3, 456));
  const ServerReply log =
      run(7, {WireValue("tbTerminalLog"), WireValue("id"), WireValue(4), WireValue::null(),
              WireValue("terminal_id"), WireValue(4), WireValue(int(key)), WireValue("event_dt"),
              WireValue(93), WireValue::dateTime(dt), WireValue("event_no"), WireValue(-5),
              WireValue::longWord(7)});
  ASSERT_FALSE(log.refused);
  EXPECT_EQ(
      db->select(QStringLiteral("select event_dt from tbTerminalLog")).rows[0][0].toDateTime(), dt);
  const ServerReply dup =
      run(7, {WireValue("tbTerminalLog"), WireValue("id"), WireValue(4), WireValue::null(),
              WireValue("terminal_id"), WireValue(4), WireValue(int(key)), WireValue("event_no"),
              WireValue(-5), WireValue::longWord(7)});
  EXPECT_TRUE(dup.refused);
  EXPECT_TRUE(dup.errorMessage.contains(QLatin1String("UNTBTERMINALLOG")));

  // A triple cut short is refused, not read past its end.
  EXPECT_TRUE(run(7, {WireValue("tbTerminal"), WireValue("id"), WireValue(4), WireValue::null(),
                      WireValue("imei"), WireValue(12)})
                  .refused);
}

TEST_F(SimHandlersTest, SaleReportDecodesTheGoods) {
  const double day = dateTimeToDays(QDateTime(QDate(2024, 1, 31), QTime(14, 2)));
  const qint32 id = 0x01020304;
  const ServerReply reply =
      run(1068, {WireValue::byte(1), WireValue(day), WireValue::int64(0), WireValue::ansi("7"),
                 WireValue::int64(1), WireValue::int64(0), WireValue::int64(14000), WireValue(2),
                 ansiGood(id, QStringLiteral("Кола")), WireValue::int64(5000), WireValue(2),
                 ansiGood(258, QStringLiteral("Чай")), WireValue::int64(4000), WireValue(1)});
  ASSERT_FALSE(reply.refused) << reply.errorMessage.toStdString();
  ASSERT_EQ(reply.results.size(), 7u);
  EXPECT_GT(reply.results[0].toInt(), 0);
  EXPECT_GT(reply.results[1].toInt64(), 0);
  EXPECT_EQ(reply.results[3].type(), VarType::Date);
  EXPECT_FALSE(reply.results[6].toString().isEmpty());
  ResultSet pos = db->select(
      QStringLiteral("select nomenclature_id, name from tbFiscalCheckPosition order by id"));
  ASSERT_EQ(pos.rows.size(), 2);
  EXPECT_EQ(pos.rows[0][0].toInt(), id);
  EXPECT_EQ(pos.rows[0][1].toString(), QStringLiteral("Кола"));
  EXPECT_EQ(pos.rows[1][0].toInt(), 258);

  // Goods announced but missing.
  EXPECT_TRUE(
      run(1068, {WireValue::byte(1), WireValue(day), WireValue::int64(0), WireValue::ansi("7"),
                 WireValue::int64(1), WireValue::int64(0), WireValue::int64(100), WireValue(1000)})
          .refused);
}

TEST_F(SimHandlersTest, BusinessRequestsAnswerInTheirLayouts) {
  db->setOption(QStringLiteral("sbp_polls"), 0);
  const ServerReply qr = run(1088, {WireValue(1), WireValue(99.0)});
  ASSERT_EQ(qr.results.size(), 2u);
  EXPECT_EQ(qr.results[1].type(), VarType::Int64);
  EXPECT_EQ(run(1089, {WireValue::int64(qr.results[1].toInt64())}).results.at(0).toInt(), 1);

  const ServerReply card = run(1100, {WireValue(1), WireValue("1000001"), WireValue(120.0)});
  ASSERT_EQ(card.results.size(), 3u);
  EXPECT_DOUBLE_EQ(card.results[0].toDouble(), 500.0);
  EXPECT_TRUE(card.results[1].toBool());
  EXPECT_DOUBLE_EQ(card.results[2].toDouble(), 380.0);

  const ServerReply info = run(1101, {WireValue(1), WireValue("7770000000017")});
  ASSERT_EQ(info.results.size(), 15u);
  EXPECT_EQ(info.results[5].toString(), QStringLiteral("7770000000017"));
  const ServerReply op =
      run(1102, {WireValue(1), WireValue("7770000000017"), WireValue(200.0), WireValue(1),
                 WireValue("Кола"), WireValue(2), WireValue(100.0)});
  ASSERT_EQ(op.results.size(), 15u);
  TVariantArray record{WireValue(1)};
  for (int i = 0; i < 7; ++i)
    record.push_back(i < 2 ? WireValue::int64(op.results[size_t(i)].toInt64())
                           : WireValue(op.results[size_t(i)].toString()));
  TVariantArray writeOff = record;
  writeOff.push_back(WireValue(10.0));
  EXPECT_FALSE(run(1104, writeOff).refused);
  EXPECT_FALSE(run(1103, record).refused);

  EXPECT_FALSE(
      run(1097, {WireValue(1), WireValue(1), WireValue("Кола"), WireValue(1), WireValue(99.0)})
          .refused);
  EXPECT_FALSE(run(1081, {WireValue(1), WireValue("ZM1")}).refused);
  EXPECT_FALSE(run(1082, {WireValue(5)}, 9).refused);
  EXPECT_EQ(db->pushChannels(5), QList<qint64>{9});
  EXPECT_EQ(run(53, {WireValue(1002)}).results.at(0).toString(), QStringLiteral("1"));
  const ServerReply info4 = run(4, {});
  ASSERT_EQ(info4.results.size(), 8u);
  EXPECT_EQ(info4.results[6].toString(), handlers->filesDir());

  const ServerReply unknown = run(999, {});
  EXPECT_TRUE(unknown.refused);
  EXPECT_TRUE(unknown.errorMessage.contains(QLatin1String("999")));
  EXPECT_TRUE(run(1100, {WireValue(1)}).refused);  // parameters missing
}

TEST_F(SimHandlersTest, FileNamesStayInsideTheFilesFolder) {
  const QString root = handlers->filesDir();
  struct Case {
    QString name;
    bool inside;
  } cases[] = {
      {QStringLiteral("VektaWallpaper\\a.jpg"), true},
      {root + QStringLiteral("\\VektaWallpaper\\a.jpg"), true},
      {QStringLiteral("vekta_64.exe"), true},
      {QStringLiteral("..\\..\\etc\\passwd"), false},
      {QStringLiteral("/etc/passwd"), false},
      {QStringLiteral("C:\\x.txt"), false},
      {root + QStringLiteral("/../x"), false},
      {QString(), false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(!handlers->resolveFile(c.name).isEmpty(), c.inside) << c.name.toStdString();
}

TEST_F(SimHandlersTest, DownloadStreamsCarryTheFileFromThePosition) {
  QDir().mkpath(handlers->filesDir());
  QFile f(handlers->filesDir() + QStringLiteral("/vekta_64.exe"));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  const QByteArray data = QByteArray("0123456789").repeated(10);
  f.write(data);
  f.close();

  QString error;
  QByteArray update = handlers->updateStream(QStringLiteral("vekta_64.exe"), 40, &error);
  EXPECT_TRUE(error.isEmpty());
  BufferSource head(update);
  EXPECT_EQ(decodeValue(head, 1).toInt64(), 100);
  EXPECT_EQ(update.right(60), data.mid(40));

  BufferSource none(handlers->updateStream(QStringLiteral("missing.exe"), 0, &error));
  EXPECT_EQ(decodeValue(none, 1).toInt64(), 0);

  BufferSource chunks(handlers->readFileStream(QStringLiteral("vekta_64.exe"), 90, &error));
  const int n = decodeValue(chunks, 1).toInt();
  EXPECT_EQ(n, 10);
  QByteArray got(n, '\0');
  chunks.recvExact(got.data(), n, 1);
  EXPECT_EQ(got, data.right(10));
  EXPECT_EQ(decodeValue(chunks, 1).toInt(), 0);

  BufferSource missing(handlers->readFileStream(QStringLiteral("../x"), 0, &error));
  EXPECT_EQ(decodeValue(missing, 1).toInt(), 0);
  EXPECT_FALSE(error.isEmpty());
}
