// The client library against the stand-in back office with its real SQLite
// state: what the kiosk sends must arrive as the back office stores it, and
// what it stores must come back. The scripted-server tests check the bytes;
// these check that both ends agree on their meaning.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "backoffice/KernelAPI.h"
#include "platform/TcpClient.h"
#include "testbed/SimHandlers.h"
#include "tests/support/ChildProcess.h"

namespace {

void configure(TJClient& c, int port) {
  c.setHost(QStringLiteral("127.0.0.1"));
  c.setPort(port);
  c.setServerType(QStringLiteral("DR"));
  c.setApplicationID(QStringLiteral("vekta"));
  c.setLogin(QStringLiteral("demo"));
  c.setPassword(QStringLiteral("demo"));
  c.setShowProgress(false);
}

class SimClient : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    sim = std::make_unique<sim::BackofficeSim>(dir.filePath(QStringLiteral("office.db")));
    sim->start();
    configure(client, sim->port());
  }
  void TearDown() override {
    client.disconnect();
    sim->stop();
  }
  // One row of the back office's own state.
  QVariantList row(const QString& sql, const QVariantList& params = {}) {
    const sim::ResultSet rs = sim->db().select(sql, params);
    EXPECT_EQ(rs.rows.size(), 1) << sql.toStdString();
    return rs.rows.value(0);
  }
  // A machine as the kiosk's first registration creates it.
  int newVm() {
    return client.insertRec(QStringLiteral("tbVm"), QStringLiteral("id,protocolSerialNumber"),
                            WireValue(QStringLiteral("NVQ009")), 30);
  }

  QTemporaryDir dir;
  std::unique_ptr<sim::BackofficeSim> sim;
  TJClient client;
  TKernelAPI api{&client};
};

}  // namespace

TEST_F(SimClient, InsertAndUpdateRecordsReachTheTables) {
  const int id = client.insertRec(
      QStringLiteral("tbTerminal"), QStringLiteral("id,imei,software_version,isConnected"),
      WireValue(TVariantArray{WireValue(QStringLiteral("867530900")),
                              WireValue(QStringLiteral("1.4.2")), WireValue::byte(1)}),
      30);
  ASSERT_GT(id, 0);
  EXPECT_EQ(row(QStringLiteral("select imei, software_version, isConnected from tbTerminal "
                               "where id = ?"),
                {id}),
            (QVariantList{QStringLiteral("867530900"), QStringLiteral("1.4.2"), 1}));

  const QDateTime seen(QDate(2024, 3, 5), QTime(14, 30, 15));
  EXPECT_EQ(
      client.updateRec(
          QStringLiteral("tbTerminal"), QStringLiteral("id,isConnected,connection_tm"),
          WireValue(TVariantArray{WireValue(id), WireValue::byte(0), WireValue::dateTime(seen)}),
          30),
      1);
  EXPECT_EQ(
      row(QStringLiteral("select isConnected, connection_tm from tbTerminal where id = ?"), {id}),
      (QVariantList{0, seen}));
  // An update of a key that is not there changes nothing and says so.
  EXPECT_EQ(client.updateRec(QStringLiteral("tbTerminal"), QStringLiteral("id,isConnected"),
                             WireValue(TVariantArray{WireValue(id + 100), WireValue::byte(1)}), 30),
            0);
}

TEST_F(SimClient, SevenColumnTableWithParametersLoadsSavesAndLoadsBackEqual) {
  TJTable tb;
  tb.SetJClient(&client);
  tb.SetSQLText(
      QStringLiteral("select first 10 id, name, fullName, barcode, price, parent_id, isFolder from "
                     "tbNomenclature where isFolder = ? and price >= ? order by id"));
  tb.addParam(WireValue(0), ftInteger);
  tb.addParam(WireValue(60.0), ftFloat);
  tb.selectFromDB(30);

  const sim::ResultSet expected = sim->db().select(
      QStringLiteral("select id, name, fullName, barcode, price, parent_id, isFolder from "
                     "tbNomenclature where isFolder = 0 and price >= 60 order by id limit 10"));
  ASSERT_GT(expected.rows.size(), 1);
  ASSERT_EQ(tb.FieldCount(), 7);
  ASSERT_EQ(tb.RecordCount(), expected.rows.size());
  tb.First();
  for (const QVariantList& r : expected.rows) {
    EXPECT_EQ(tb.FieldByName(QStringLiteral("id"))->AsInteger(), r[0].toInt());
    EXPECT_EQ(tb.FieldByName(QStringLiteral("name"))->AsString(), r[1].toString());
    EXPECT_EQ(tb.FieldByName(QStringLiteral("barcode"))->AsString(), r[3].toString());
    EXPECT_DOUBLE_EQ(tb.FieldByName(QStringLiteral("price"))->AsFloat(), r[4].toDouble());
    EXPECT_GE(tb.FieldByName(QStringLiteral("price"))->AsFloat(), 60.0);
    tb.Next();
  }

  const QString path = dir.filePath(QStringLiteral("tbNomenclature"));
  tb.SaveToFile(path);
  TJTable back;
  back.LoadFromFile(path);
  ASSERT_EQ(back.FieldCount(), tb.FieldCount());
  ASSERT_EQ(back.RecordCount(), tb.RecordCount());
  for (tb.First(), back.First(); !tb.Eof(); tb.Next(), back.Next())
    for (int i = 0; i < tb.FieldCount(); ++i) {
      EXPECT_EQ(back.FieldByIndex(i)->FieldName(), tb.FieldByIndex(i)->FieldName());
      EXPECT_EQ(back.FieldByIndex(i)->DataType(), tb.FieldByIndex(i)->DataType());
      EXPECT_EQ(back.FieldByIndex(i)->Value(), tb.FieldByIndex(i)->Value());
    }
}

TEST_F(SimClient, SaleReportBecomesAFiscalCheckWithItsGoods) {
  const QVariantList water = row(
      QStringLiteral("select id, name from tbNomenclature where isFolder = 0 order by id limit 1"));
  const std::vector<TSaleReportPosition> goods = {
      {water[0].toInt(), QStringLiteral("Вода питьевая"), 45.5, 2},
      {258, QStringLiteral("Сок яблочный"), 99.9, 1},
  };
  const double dt = 45356.5;  // 2024-03-05 12:00
  const TCheckInfo check = api.sendSaleReportToCashRegister(
      true, dt, 4000000001u, QStringLiteral("NVQ009"), 9000000000LL, 0, 190.9, goods, 30);

  const QVariantList stored =
      row(QStringLiteral("select pmVmId, firm_id, sale_no, isOnline, cash_kop, cashless_kop, "
                         "fdNumber, fp, fnSerialNumber, shiftNo, checkNumberInShift "
                         "from tbFiscalCheck where id = ?"),
          {check.id});
  EXPECT_EQ(stored.mid(0, 6),
            (QVariantList{QStringLiteral("NVQ009"), 9000000000LL, 4000000001LL, 1, 0, 19090}));
  EXPECT_EQ(check.fdNumber, stored[6].toUInt());
  EXPECT_GT(check.fdNumber, 0u);
  EXPECT_EQ(check.fp, stored[7].toUInt());
  EXPECT_EQ(check.fnSerialNumber, stored[8].toString());
  EXPECT_EQ(check.shiftNo, stored[9].toInt());
  EXPECT_EQ(check.checkNumberInShift, stored[10].toInt());

  const sim::ResultSet lines =
      sim->db().select(QStringLiteral("select nomenclature_id, name, price_kop, quantity from "
                                      "tbFiscalCheckPosition where check_id = ? order by id"),
                       {check.id});
  ASSERT_EQ(lines.rows.size(), 2);
  EXPECT_EQ(lines.rows[0],
            (QVariantList{water[0].toInt(), QStringLiteral("Вода питьевая"), 4550, 2}));
  EXPECT_EQ(lines.rows[1], (QVariantList{258, QStringLiteral("Сок яблочный"), 9990, 1}));

  // The kiosk asks again while it waits for the fiscal data: same check.
  EXPECT_EQ(api.sendSaleReportToCashRegister(true, dt, 4000000001u, QStringLiteral("NVQ009"),
                                             9000000000LL, 0, 190.9, goods, 30)
                .id,
            check.id);
}

TEST_F(SimClient, MachineStateAndServiceDocumentReachTheMachine) {
  const int vm = newVm();
  api.vekta_vm_state(vm, QStringLiteral("ZM1\rZM3_12"), 180);
  EXPECT_EQ(row(QStringLiteral("select eva_err_codes from tbVm where id = ?"), {vm}),
            QVariantList{QStringLiteral("ZM1\rZM3_12")});
  EXPECT_EQ(row(QStringLiteral("select vm_id, eva_err_codes from tbVmStateLog")),
            (QVariantList{vm, QStringLiteral("ZM1\rZM3_12")}));

  const int product =
      row(QStringLiteral("select id from tbNomenclature where isFolder = 0 order by id limit 1"))[0]
          .toInt();
  const QString xml =
      QStringLiteral(
          "<?xml version=\"1.0\" encoding=\"windows-1251\"?><root><docDt>31.01.2024 "
          "14:02:00</docDt><vm_id>%1</vm_id><vmServiceKind_id>5</vmServiceKind_id>"
          "<tbDocVmServiceSale><row><cell>7</cell><isSnack>1</isSnack><new_nomenclature_id>%2"
          "</new_nomenclature_id></row></tbDocVmServiceSale></root>")
          .arg(vm)
          .arg(product);
  const int doc = api.sendDocument(QStringLiteral("tbDocVmService"), xml, 180);
  EXPECT_EQ(row(QStringLiteral("select last_docVmService_id from tbVm where id = ?"), {vm})[0],
            doc);
  EXPECT_EQ(row(QStringLiteral("select cell, isSnack, new_nomenclature_id from "
                               "tbDocVmServiceSale where docVmService_id = ?"),
                {doc}),
            (QVariantList{7, 1, product}));
}

TEST_F(SimClient, SbpSessionIsPaidAfterTheConfiguredPolls) {
  const int vm = newVm();
  sim->db().setOption(QStringLiteral("sbp_polls"), 2);
  QString qr;
  int64_t session = 0;
  api.sbpGenerateQrCode(vm, 123.45, qr, session, 180);
  EXPECT_GT(session, int64_t(0xFFFFFFFF));  // survives as a 64-bit id both ways
  EXPECT_EQ(row(QStringLiteral("select vm_id, amount, qr_code from tbSbpSession where id = ?"),
                {qlonglong(session)}),
            (QVariantList{vm, 123.45, qr}));
  EXPECT_EQ(api.sbpGetSessionStatus(session, 180), 0);
  EXPECT_EQ(api.sbpGetSessionStatus(session, 180), 0);
  EXPECT_EQ(api.sbpGetSessionStatus(session, 180), 1);
  try {
    api.sbpGetSessionStatus(session + 1, 180);
    ADD_FAILURE() << "an unknown session answered";
  } catch (const Exception& e) {
    EXPECT_EQ(e.message(), QStringLiteral("Платёжная сессия %1 не найдена.").arg(session + 1));
  }
}

TEST_F(SimClient, BadgeAndIdentityCardPaymentsMoveTheStoredState) {
  const int vm = newVm();
  api.yandexBadgePayment(vm, {{QStringLiteral("Кофе"), 2, 120.5}, {QStringLiteral("Вода"), 1, 45}},
                         30);
  EXPECT_EQ(row(QStringLiteral("select vm_id, amount, positions from tbBadgePayment")),
            (QVariantList{vm, 286.0, QStringLiteral("Кофе x2 120.50\nВода x1 45.00")}));

  struct Case {
    double amount;
    bool done;
    double initial, final;
  } cases[] = {{30.5, true, 50, 19.5}, {100, false, 19.5, 19.5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.amount);
    const TIdentityCardPayment p =
        api.identityCardPayment(vm, QStringLiteral("1000002"), c.amount, 30);
    EXPECT_EQ(p.payment_done, c.done);
    EXPECT_DOUBLE_EQ(p.initial_balance, c.initial);
    EXPECT_DOUBLE_EQ(p.final_balance, c.final);
    EXPECT_EQ(row(QStringLiteral("select balance from tbIdentityCard where card_no = '1000002'"))
                  .value(0)
                  .toDouble(),
              c.final);
  }
  EXPECT_EQ(row(QStringLiteral("select count(*), sum(payment_done) from tbIdentityCardPayment "
                               "where vm_id = ?"),
                {vm}),
            (QVariantList{2, 1}));
}

TEST_F(SimClient, LoyaltyCardLookupOperationWriteOffAndSubmit) {
  const int vm = newVm();
  const QString barcode = QStringLiteral("7770000000017");
  const TLoyalityCardInfo card = api.getLoyalityCardInfo(vm, barcode, 3);
  EXPECT_TRUE(card.isActive);
  EXPECT_EQ(card.user.user_id, 100001);
  EXPECT_EQ(card.user.first_name, QStringLiteral("Иван"));
  EXPECT_EQ(card.user.barcode, barcode);
  EXPECT_DOUBLE_EQ(card.cashback.existed_summ, 150);
  EXPECT_DOUBLE_EQ(card.discount.percent, 5);
  EXPECT_EQ(card.cashback.loyalty_level, QStringLiteral("Серебряный"));

  const TLoyalityCardInfo op =
      api.loyalityCardOperation(vm, barcode, 200, {{QStringLiteral("Кофе"), 2, 100}}, 30);
  ASSERT_GT(op.user.operation_id, 0);
  EXPECT_DOUBLE_EQ(op.cashback.allowed_summ, 100);  // half of the purchase
  EXPECT_DOUBLE_EQ(op.cashback.will_add, 6);
  EXPECT_DOUBLE_EQ(op.discount.summ, 10);
  EXPECT_EQ(row(QStringLiteral("select vm_id, amount, positions, submitted from "
                               "tbLoyaltyOperation where id = ?"),
                {qlonglong(op.user.operation_id)}),
            (QVariantList{vm, 200.0, QStringLiteral("Кофе x2 100.00"), 0}));

  api.loyalityCardBonusWriteOff(vm, op, 40, 30);
  api.loyalityCardSubmitOperation(vm, op, 30);
  EXPECT_EQ(
      row(QStringLiteral("select written_off, submitted from tbLoyaltyOperation where id = ?"),
          {qlonglong(op.user.operation_id)}),
      (QVariantList{40.0, 1}));
  EXPECT_DOUBLE_EQ(
      row(QStringLiteral("select points from tbLoyaltyCard where barcode = ?"), {barcode})
          .value(0)
          .toDouble(),
      150 - 40 + 6);

  // The card record goes back as sent: another user's record is refused.
  TLoyalityCardInfo stranger = op;
  stranger.user.user_id = 100002;
  EXPECT_THROW(api.loyalityCardSubmitOperation(vm, stranger, 30), Exception);
}

// The push registration gets no reply: the kiosk reads only what the server
// pushes on that connection, so a reply would be taken for a pushed batch.
TEST_F(SimClient, PushRegistrationIsStoredAndAnsweredWithSilence) {
  const int vm = newVm();
  client.clearBatch();
  client.addRequest(1082).addParam(WireValue(vm));
  client.sendBatch();
  for (int i = 0; i < 200 && sim->db().pushChannels(vm).isEmpty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(sim->db().pushChannels(vm).size(), 1);
  EXPECT_FALSE(client.socket()->hasData(200));
  EXPECT_TRUE(client.connected());
}

// ---------------------------------------------------------------------------
// the program itself

namespace {

class SimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    files = dir.filePath(QStringLiteral("files"));
    ASSERT_TRUE(QDir().mkpath(files + QStringLiteral("/VektaWallpaper")));
    const QString bin = qEnvironmentVariable("VEKTA_TEST_BIN_DIR");
    ASSERT_FALSE(bin.isEmpty());
    ASSERT_TRUE(
        sim.start(bin + QStringLiteral("/backoffice-sim"),
                  QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--db"),
                              dir.filePath(QStringLiteral("office.db")), QStringLiteral("--seed"),
                              QStringLiteral("demo"), QStringLiteral("--files"), files} +
                      extraArguments,
                  testkit::ChildProcess::Output::Capture));
    const QByteArray line = sim.readLine(10000);
    const auto m = QRegularExpression(QStringLiteral("^listening on (\\d+)\n$"))
                       .match(QString::fromLatin1(line));
    ASSERT_TRUE(m.hasMatch()) << line.toStdString();
    configure(client, m.captured(1).toInt());
  }
  void TearDown() override {
    client.disconnect();
    sim.terminate();
    if (!sim.waitFinished(5000)) sim.kill();
  }

  QStringList extraArguments;  // set before SetUp
  QTemporaryDir dir;
  QString files;
  testkit::ChildProcess sim;
  TJClient client;
};

void put(const QString& path, const QByteArray& data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(data);
}

QByteArray get(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

// What the kiosk's wallpaper and update threads do, against the program: the
// server's working folder, a wallpaper under it, the program update.
TEST_F(SimProgram, ServesTheWallpaperAndTheUpdateFromItsFilesFolder) {
  QByteArray wallpaper(20000, Qt::Uninitialized);
  for (int i = 0; i < wallpaper.size(); ++i) wallpaper[i] = char(i * 7);
  put(files + QStringLiteral("/VektaWallpaper/a.jpg"), wallpaper);
  put(files + QStringLiteral("/vekta_64.exe"), QByteArray("MZ") + wallpaper.left(9000));

  TAppServerInfo info;
  client.getAppServerInfo(info, 30);
  const QString dest = dir.filePath(QStringLiteral("a.jpg"));
  client.readFile(info.workingFolder + QStringLiteral("\\VektaWallpaper\\a.jpg"), dest, 4, false,
                  {}, 30);
  EXPECT_EQ(get(dest), wallpaper);

  const QString update = dir.filePath(QStringLiteral("vekta.new"));
  EXPECT_TRUE(client.getSoftwareUpdateII(update, QStringLiteral("vekta_64.exe"), {}, 30));
  EXPECT_EQ(get(update), QByteArray("MZ") + wallpaper.left(9000));

  // A missing wallpaper is refused with a text, and the connection goes on.
  EXPECT_THROW(client.readFile(QStringLiteral("VektaWallpaper\\none.jpg"),
                               dir.filePath(QStringLiteral("none.jpg")), 4, false, {}, 30),
               Exception);
  EXPECT_EQ(client.selectValue(QStringLiteral("select 1002"), 30).toInt(), 1002);
}

// A reply cut by the program's fault option: that call fails, the next one
// connects again and is answered in full.
class SimProgramCut : public SimProgram {
 protected:
  void SetUp() override {
    extraArguments = {QStringLiteral("--close-after"), QStringLiteral("6")};
    SimProgram::SetUp();
  }
};

TEST_F(SimProgramCut, CutsTheNextReplyOnce) {
  EXPECT_THROW(client.selectValue(QStringLiteral("select 1002"), 30), std::exception);
  EXPECT_EQ(client.selectValue(QStringLiteral("select 1002"), 30).toInt(), 1002);
  EXPECT_EQ(client.selectValue(QStringLiteral("select 1003"), 30).toInt(), 1003);
}
