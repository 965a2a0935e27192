// The stand-in back office's database: the kiosk's own SQL texts must run
// and return the columns the kiosk reads, record writes must keep the
// messages the kiosk depends on, and the business state must move as the
// payment screens expect.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "testbed/SimDatabase.h"

using namespace sim;

namespace {

QString quoted(const QString& s) {
  QString q = s;
  q.replace(QLatin1Char('\''), QLatin1String("''"));
  return QLatin1Char('\'') + q + QLatin1Char('\'');
}

QStringList columnNames(const ResultSet& rs) {
  QStringList out;
  for (const Column& c : rs.columns) out << c.name;
  return out;
}

int columnIndex(const ResultSet& rs, const char* name) {
  return int(columnNames(rs).indexOf(QString::fromLatin1(name)));
}

// Fields of a kiosk insert: the names after the key, with values.
QList<FieldValue> fields(const QStringList& names, const QVariantList& values) {
  QList<FieldValue> out;
  for (int i = 0; i < names.size(); ++i) out.append({names[i], jdbcOther, values.value(i)});
  return out;
}

class SimDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    db = std::make_unique<SimDatabase>(dir.filePath(QStringLiteral("sim.db")));
  }
  template <class F>
  QString refusal(F&& f) {
    try {
      f();
    } catch (const ESimRefused& e) {
      return e.message();
    }
    return QStringLiteral("<no refusal>");
  }

  QTemporaryDir dir;
  std::unique_ptr<SimDatabase> db;
};

}  // namespace

TEST(SimDialect, RewritesTheKioskDialect) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"select first 1 id from tbVmModel where isTrevalo = 1",
       "select id from tbVmModel where isTrevalo = 1 limit 1"},
      {"SELECT FIRST 5 SKIP 10 a FROM t ORDER BY a",
       "SELECT a FROM t ORDER BY a limit 5 offset 10"},
      {"select x from (select first 2 id from t order by id) q where x > 0",
       "select x from (select id from t order by id limit 2) q where x > 0"},
      {"select first 3 a from t;", "select a from t limit 3;"},
      {"select 'select first 1 x' from t", "select 'select first 1 x' from t"},
      {"select a from t where b = ?bee and c = ?1 and d = '?x'",
       "select a from t where b = ? and c = ? and d = '?x'"},
      {"select first_name from t", "select first_name from t"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(SimDatabase::rewriteSql(QString::fromUtf8(c.in)).simplified(),
              QString::fromUtf8(c.out))
        << c.in;
  EXPECT_TRUE(SimDatabase::rewriteSql(QStringLiteral("update t set d = current_timestamp"))
                  .contains(QLatin1String("localtime")));
}

// The first start of a kiosk against the demo back office, with the kiosk's
// own SQL texts, ends with an assortment and a settings row.
TEST_F(SimDatabaseTest, KioskRegistrationAndConfigurationQueriesRun) {
  db->seedDemo();
  const QString serial = QStringLiteral("001");
  ResultSet found = db->select(QStringLiteral("select Main.id from tbVM Main inner join tbVmModel "
                                              "Model on Model.id = Main.vmModel_id where "
                                              "protocolSerialNumber = ") +
                               quoted(QStringLiteral("NVQ") + serial) +
                               QStringLiteral(" and Model.isTrevalo = 1"));
  EXPECT_TRUE(found.rows.isEmpty());

  ResultSet model =
      db->select(QStringLiteral("select first 1 id from tbVmModel where isTrevalo = 1"));
  ASSERT_EQ(model.rows.size(), 1);
  ResultSet numbers = db->select(QStringLiteral(
      "select protocolSerialNumber from tbVM Main inner join tbVmModel Model on Model.id = "
      "Main.vmModel_id where Model.isTrevalo = 1"));
  EXPECT_EQ(columnNames(numbers), QStringList{QStringLiteral("protocolSerialNumber")});

  const qint64 vm = db->insertRecord(
      QStringLiteral("tbVm"), QStringLiteral("id"),
      fields({"vmModel_id", "protocolSerialNumber", "serialNumber", "vmProtocol_id"},
             {model.rows[0][0], QStringLiteral("NVQ") + serial, serial, 3}));
  ASSERT_GT(vm, 0);
  ResultSet terminal =
      db->select(QStringLiteral("select terminal_id from tbVM where id = %1").arg(vm));
  ASSERT_EQ(terminal.rows.size(), 1);
  EXPECT_TRUE(terminal.rows[0][0].isNull());
  const QString imei = QStringLiteral("trevalo-") + serial;
  EXPECT_TRUE(db->select(QStringLiteral("select id from tbTerminal where imei = ") + quoted(imei))
                  .rows.isEmpty());
  const qint64 term = db->insertRecord(QStringLiteral("tbTerminal"), QStringLiteral("id"),
                                       fields({"imei"}, {imei}));
  EXPECT_EQ(
      db->exec(QStringLiteral("update tbVM set terminal_id = %1 where id = %2").arg(term).arg(vm)),
      1);
  EXPECT_EQ(db->exec(QStringLiteral("update tbTerminal set  software_version = ") +
                     quoted(QStringLiteral("1.0.64")) + QStringLiteral(", ") +
                     QStringLiteral(" hardware_version = ") + quoted(QStringLiteral("7")) +
                     QStringLiteral(", ") + QStringLiteral(" os_version = ") +
                     quoted(QStringLiteral("Debian 12")) + QStringLiteral(", ") +
                     QStringLiteral(" vekta_refresh_config_dt = current_timestamp, ") +
                     QStringLiteral(" isConnected = 1, ") +
                     QStringLiteral(" connection_tm = current_timestamp ") +
                     QStringLiteral("where id = %1").arg(term)),
            1);
  ResultSet connected =
      db->select(QStringLiteral("select connection_tm from tbTerminal where id = %1").arg(term));
  ASSERT_EQ(connected.rows.size(), 1);
  EXPECT_EQ(connected.columns[0].jdbcType, jdbcTimestamp);
  EXPECT_LT(std::abs(connected.rows[0][0].toDateTime().secsTo(QDateTime::currentDateTime())), 60);

  const QString blanks(8, QLatin1Char(' '));
  ResultSet sale = db->select(
      QStringLiteral(
          "select Sale.cell, coalesce(Sale.isSnack, 0) as isSnack, coalesce(new_card_price, "
          "new_normal_price) as price,") +
      blanks +
      QStringLiteral(
          "N.id as nomenclature_id, N.name as nomenclature, coalesce(N.fullName, N.name) as "
          "nomenclature_full_name,") +
      blanks +
      QStringLiteral(
          "cast(N.barcode as blob) as barcode from tbVM Main inner join tbDocVmService Doc on "
          "Doc.id = "
          "Main.last_docVmService_id inner join tbDocVmServiceSale Sale on Sale.docVmService_id = "
          "Main.last_docVmService_id inner join tbNomenclature N on N.id = "
          "Sale.new_nomenclature_id "
          "where Main.id = ") +
      QString::number(vm) + QStringLiteral(" and coalesce(Sale.disconnected, 0) = 0 ") +
      QStringLiteral("order by 1, 2"));
  EXPECT_EQ(columnNames(sale), (QStringList{"cell", "isSnack", "price", "nomenclature_id",
                                            "nomenclature", "nomenclature_full_name", "barcode"}));
  ASSERT_EQ(sale.rows.size(), 20);
  EXPECT_EQ(sale.columns[2].jdbcType, jdbcDouble);
  EXPECT_EQ(sale.columns[6].jdbcType, jdbcBlob);
  int snacks = 0;
  for (int i = 0; i < sale.rows.size(); ++i) {
    const QVariantList& r = sale.rows[i];
    snacks += r[1].toInt();
    EXPECT_GT(r[2].toDouble(), 0.0);
    EXPECT_GE(r[6].toByteArray().size(), 13);
    if (i > 0) {
      EXPECT_LE(sale.rows[i - 1][0].toInt(), r[0].toInt());
    }
  }
  EXPECT_EQ(snacks, 10);

  const QString s = blanks;
  ResultSet settings = db->select(
      QStringLiteral("select Main.serialNumber,") + s +
      QStringLiteral("S.timetable, S.vekta_max_drinks_per_page, "
                     "S.vekta_service_password,") +
      s + QStringLiteral("T.pm_mdb_cshls1Fiscal as create_checks,") + s +
      QStringLiteral("S.vekta_drink_after_payment,") + s +
      QStringLiteral("S.vekta_carimali_machine,") + s + QStringLiteral("S.vekta_manual_barcodes,") +
      s + QStringLiteral("S.vekta_support_phone,") + s +
      QStringLiteral("coalesce(S.vekta_qr_code_delay, 10) as vekta_qr_code_delay,") + s +
      QStringLiteral(
          "coalesce(S.vekta_recycle_warning_delay, 180) as vekta_recycle_warning_delay,") +
      s +
      QStringLiteral("coalesce(S.vekta_recycle_reset_delay, 60) as vekta_recycle_reset_delay,") +
      s + QStringLiteral("S.vekta_bar_code_delay,") + s +
      QStringLiteral("S.vekta_wallpaper_period,") + s + QStringLiteral("S.vekta_wallpaper_delay,") +
      s + QStringLiteral("S.vekta_wallpaper_files,") + s + QStringLiteral("T.pm_QRP_SBP,") + s +
      QStringLiteral("T.yandex_badge,") + s + QStringLiteral("T.cardProject_id,") + s +
      QStringLiteral("S.vekta_loyaltySystem_id,") + s +
      QStringLiteral(
          "LoyaltySystem.card_mask as loyalty_system_card_mask from tbVm Main left join "
          "tbVmSettings S on "
          "S.id = Main.vmSettings_id left join tbTerminal T on T.id = Main.terminal_id left join "
          "tbLoyaltySystem LoyaltySystem on LoyaltySystem.id = S.vekta_loyaltySystem_id where "
          "Main.id = ") +
      QString::number(vm));
  ASSERT_EQ(settings.rows.size(), 1);
  const QVariantList& row = settings.rows[0];
  EXPECT_EQ(row[columnIndex(settings, "serialNumber")].toString(), serial);
  EXPECT_TRUE(row[columnIndex(settings, "timetable")].toString().contains(QLatin1String("<hhmm>")));
  EXPECT_EQ(row[columnIndex(settings, "create_checks")].toInt(), 1);
  EXPECT_EQ(row[columnIndex(settings, "pm_QRP_SBP")].toInt(), 1);
  EXPECT_EQ(row[columnIndex(settings, "vekta_qr_code_delay")].toInt(), 10);
  EXPECT_GT(row[columnIndex(settings, "vekta_loyaltySystem_id")].toInt(), 0);
  EXPECT_EQ(row[columnIndex(settings, "loyalty_system_card_mask")].toString(),
            QStringLiteral("777*"));
  EXPECT_EQ(settings.columns.size(), 21);

  EXPECT_EQ(columnNames(db->select(
                QStringLiteral("select cell from tbCarimaliRecipe where vm_id = %1").arg(vm))),
            QStringList{QStringLiteral("cell")});
  EXPECT_FALSE(
      db->select(QStringLiteral("select last_docVmService_id from tbVM where id = %1").arg(vm))
          .rows[0][0]
          .isNull());
  EXPECT_EQ(db->select(QStringLiteral("select id from tbNomenclature where name = ") +
                       quoted(QStringLiteral("Напитки")) +
                       QStringLiteral(" and isFolder = 1 and parent_id is null"))
                .rows.size(),
            1);
  EXPECT_EQ(db->select(QStringLiteral("select id from tbManufacturer where eva_code = 'NVQ'"))
                .rows.size(),
            1);
}

// Every record the kiosk inserts names columns that must exist.
TEST_F(SimDatabaseTest, KioskInsertsFindTheirColumns) {
  const QDateTime now = QDateTime::currentDateTime();
  struct Case {
    const char* table;
    QStringList names;
    QVariantList values;
  } cases[] = {
      {"tbManufacturer", {"name", "eva_code"}, {QStringLiteral("Norvane"), QStringLiteral("NVQ")}},
      {"tbVmModel",
       {"name", "vmKind_id", "manufacturer_id", "isTrevalo", "eva_code", "eva_pricelist_card",
        "eva_pricelist_price1", "drink_prefix", "snack_prefix", "snack_shelf", "snack_spiral",
        "min_snack_cell", "drink_count", "min_drink_cell"},
       {QStringLiteral("Люмекат"), 3, 1, 1, QStringLiteral("trevalo"), 3, 1, QStringLiteral("d"),
        QStringLiteral("s"), 1, 100000, 11, 100000, 1}},
      {"tbCarimaliRecipe",
       {"vm_id", "cell", "recipe", "recipe_descr", "loaded_to_vm"},
       {1, 3, QStringLiteral("\x01\x02"), QStringLiteral("Эспрессо"), 1}},
      {"tbNomenclature",
       {"name", "parent_id", "nomenclatureType_id", "base_okei_id"},
       {QStringLiteral("Капучино"), QVariant(), 1, 1}},
      {"tbTerminalLog",
       {"vm_id", "terminal_id", "event_dt", "event_id", "event_no", "event_descr",
        "creditSource_id", "amount", "cell", "nomenclature_id", "cardProject_id", "card_no",
        "loyaltySystem_id", "loayalty_card_no", "discount"},
       {1, 2, now, 46, 17u, QStringLiteral("Продажа"), 2, 45.5, 3, 12, QVariant(), QVariant(), 1,
        QStringLiteral("7770000000017"), 2.5}},
      {"tbVmAudit",
       {"vm_id", "terminal_id", "prgName", "audit_dt", "auditReason_id", "audit_file", "status"},
       {1, 2, QStringLiteral("List 2"), now, 1, QStringLiteral("DXS*...\r\n"), 1}},
  };
  for (const Case& c : cases) {
    QStringList names = c.names;
    const qint64 key = db->insertRecord(QString::fromLatin1(c.table), QStringLiteral("id"),
                                        fields(names, c.values));
    EXPECT_GT(key, 0) << c.table;
  }
  ResultSet log =
      db->select(QStringLiteral("select event_dt, event_no, amount from tbTerminalLog"));
  ASSERT_EQ(log.rows.size(), 1);
  EXPECT_EQ(log.rows[0][0].toDateTime(), now);
  EXPECT_EQ(log.rows[0][1].toLongLong(), 17);
  EXPECT_DOUBLE_EQ(log.rows[0][2].toDouble(), 45.5);
}

TEST_F(SimDatabaseTest, DuplicateTerminalLogRowNamesTheConstraint) {
  const QStringList names{"vm_id", "terminal_id", "event_id", "event_no"};
  db->insertRecord(QStringLiteral("tbTerminalLog"), QStringLiteral("id"),
                   fields(names, {1, 2, 46, 5}));
  db->insertRecord(QStringLiteral("tbTerminalLog"), QStringLiteral("id"),
                   fields(names, {1, 3, 46, 5}));
  const QString msg = refusal([&] {
    db->insertRecord(QStringLiteral("tbTerminalLog"), QStringLiteral("id"),
                     fields(names, {1, 2, 46, 5}));
  });
  EXPECT_TRUE(msg.contains(QLatin1String("UNTBTERMINALLOG"))) << msg.toStdString();
  EXPECT_EQ(db->select(QStringLiteral("select count(*) from tbTerminalLog")).rows[0][0].toInt(), 2);
}

TEST_F(SimDatabaseTest, RecordWritesAndRefusals) {
  const qint64 id = db->insertRecord(QStringLiteral("tbTerminal"), QStringLiteral("id"),
                                     fields({"imei", "isConnected"}, {QStringLiteral("x"), 1}));
  EXPECT_EQ(db->updateRecord(QStringLiteral("tbTerminal"), QStringLiteral("id"), id,
                             fields({"isConnected"}, {0})),
            1);
  EXPECT_EQ(db->updateRecord(QStringLiteral("tbTerminal"), QStringLiteral("id"), id + 100,
                             fields({"isConnected"}, {0})),
            0);
  EXPECT_EQ(db->select(QStringLiteral("select isConnected from tbTerminal where id = ?"), {id})
                .rows[0][0]
                .toInt(),
            0);
  // Names go into the statement, so anything but a plain identifier is refused.
  EXPECT_TRUE(refusal([&] {
                db->insertRecord(QStringLiteral("tbTerminal"), QStringLiteral("id"),
                                 fields({"imei) values ('a'); drop table tbVm; --"}, {1}));
              }).contains(QStringLiteral("Недопустимое имя")));
  EXPECT_TRUE(refusal([&] {
                db->insertRecord(QStringLiteral("tbNoSuchTable"), QStringLiteral("id"),
                                 fields({"a"}, {1}));
              }).contains(QLatin1String("tbNoSuchTable")));
  EXPECT_TRUE(refusal([&] {
                db->select(QStringLiteral("select ? from tbVm"));
              }).contains(QLatin1String("(0)")));
  EXPECT_EQ(db->deleteRecord(QStringLiteral("tbTerminal"), QStringLiteral("id"), id), 1);
}

TEST_F(SimDatabaseTest, ColumnTypesFollowDeclarationsAndValues) {
  db->exec(QStringLiteral("insert into tbVmAudit(vm_id, audit_file, prgName) values (1, ?, 'p')"),
           {QString(9000, QLatin1Char('x'))});
  struct Case {
    const char* sql;
    int jdbc;
  } cases[] = {
      {"select id from tbVmAudit", jdbcInteger},
      {"select prgName from tbVmAudit", jdbcVarchar},
      {"select audit_file from tbVmAudit", jdbcClob},
      {"select substr(audit_file, 1, 9000) as t from tbVmAudit", jdbcClob},
      {"select substr(audit_file, 1, 10) as t from tbVmAudit", jdbcVarchar},
      {"select 5000000000 as big", jdbcBigint},
      {"select 1.5 as f", jdbcDouble},
      {"select audit_dt from tbVmAudit", jdbcTimestamp},
      {"select null as empty_col", jdbcVarchar},
  };
  for (const Case& c : cases) {
    ResultSet rs = db->select(QString::fromLatin1(c.sql));
    ASSERT_EQ(rs.columns.size(), 1) << c.sql;
    EXPECT_EQ(rs.columns[0].jdbcType, c.jdbc) << c.sql;
    if (rs.columns[0].jdbcType == jdbcVarchar) {
      EXPECT_GE(rs.columns[0].size, 1) << c.sql;
      EXPECT_LE(rs.columns[0].size, kMaxStringSize) << c.sql;
    }
  }
}

TEST_F(SimDatabaseTest, LoginNeedsTheSeededUser) {
  qint32 id = 0;
  QString name;
  EXPECT_FALSE(db->checkLogin(QStringLiteral("demo"), QStringLiteral("demo"), &id, &name));
  db->seedDemo();
  db->seedDemo();  // a second seed adds nothing
  EXPECT_TRUE(db->checkLogin(QStringLiteral("demo"), QStringLiteral("demo"), &id, &name));
  EXPECT_GT(id, 0);
  EXPECT_FALSE(db->checkLogin(QStringLiteral("demo"), QStringLiteral("Demo"), nullptr, nullptr));
  EXPECT_FALSE(db->checkLogin(QStringLiteral("other"), QStringLiteral("demo"), nullptr, nullptr));
  EXPECT_EQ(db->select(QStringLiteral("select count(*) from tbNomenclature where isFolder = 0"))
                .rows[0][0]
                .toInt(),
            20);
  EXPECT_EQ(db->constValue(1002), QStringLiteral("1"));
}

TEST_F(SimDatabaseTest, SbpSessionIsPaidAfterTheConfiguredPolls) {
  db->setOption(QStringLiteral("sbp_polls"), 2);
  const SbpSession s = db->sbpCreateSession(1, 140.0);
  EXPECT_GT(s.sessionId, qint64(0xFFFFFFFF) >> 1);
  EXPECT_TRUE(s.qrCode.contains(QLatin1String("sum=14000")));
  std::vector<int> seen;
  for (int i = 0; i < 4; ++i) seen.push_back(db->sbpSessionStatus(s.sessionId));
  EXPECT_EQ(seen, (std::vector<int>{0, 0, 1, 1}));

  db->setOption(QStringLiteral("sbp_polls"), 0);
  db->setOption(QStringLiteral("sbp_result"), 2);
  EXPECT_EQ(db->sbpSessionStatus(db->sbpCreateSession(1, 10.0).sessionId), 2);
  EXPECT_TRUE(refusal([&] { db->sbpSessionStatus(42); }).contains(QLatin1String("42")));
  EXPECT_FALSE(refusal([&] { db->sbpCreateSession(1, 0.0); }).isEmpty());
}

TEST_F(SimDatabaseTest, IdentityCardBalanceDecreasesOnlyWhenItCovers) {
  db->seedDemo();
  struct Step {
    double amount;
    bool done;
    double before, after;
  } steps[] = {{120.0, false, 50.0, 50.0},
               {30.1, true, 50.0, 19.9},
               {19.9, true, 19.9, 0.0},
               {0.01, false, 0.0, 0.0}};
  for (const Step& st : steps) {
    const IdentityCardResult r = db->identityCardPayment(1, QStringLiteral("1000002"), st.amount);
    EXPECT_EQ(r.paymentDone, st.done) << st.amount;
    EXPECT_DOUBLE_EQ(r.initialBalance, st.before) << st.amount;
    EXPECT_DOUBLE_EQ(r.finalBalance, st.after) << st.amount;
  }
  EXPECT_TRUE(refusal([&] {
                db->identityCardPayment(1, QStringLiteral("999"), 1.0);
              }).contains(QLatin1String("999")));
}

TEST_F(SimDatabaseTest, LoyaltyCardLookupOperationWriteOffAndSubmit) {
  db->seedDemo();
  const QString card = QStringLiteral("7770000000017");
  const LoyaltyCard info = db->loyaltyCardInfo(1, card);
  EXPECT_EQ(info.barcode, card);
  EXPECT_EQ(info.firstName, QStringLiteral("Иван"));
  EXPECT_DOUBLE_EQ(info.existedSumm, 150.0);
  EXPECT_DOUBLE_EQ(info.discountPercent, 5.0);
  EXPECT_EQ(info.operationId, 0);
  EXPECT_TRUE(refusal([&] {
                db->loyaltyCardInfo(1, QStringLiteral("7779"));
              }).contains(QLatin1String("7779")));

  const LoyaltyCard op =
      db->loyaltyCardOperation(1, card, 200.0, {{QStringLiteral("Кола"), 2, 100.0}});
  EXPECT_GT(op.operationId, 0);
  EXPECT_DOUBLE_EQ(op.allowedSumm, 100.0);  // half of the purchase, within the 150 points
  EXPECT_DOUBLE_EQ(op.willAdd, 6.0);
  EXPECT_DOUBLE_EQ(op.discountSumm, 10.0);

  db->loyaltyCardWriteOff(1, op, 60.0);
  EXPECT_FALSE(refusal([&] { db->loyaltyCardWriteOff(1, op, 40.01); }).isEmpty());
  LoyaltyCard stranger = op;
  stranger.userId += 1;
  EXPECT_FALSE(refusal([&] { db->loyaltyCardSubmit(1, stranger); }).isEmpty());
  db->loyaltyCardSubmit(1, op);
  EXPECT_DOUBLE_EQ(db->loyaltyCardInfo(1, card).existedSumm, 150.0 - 60.0 + 6.0);
  EXPECT_TRUE(
      refusal([&] { db->loyaltyCardSubmit(1, op); }).contains(QStringLiteral("уже проведена")));
}

TEST_F(SimDatabaseTest, SaleReportMakesOneCheckPerSale) {
  SaleReport r;
  r.dt = QDateTime(QDate(2024, 1, 31), QTime(14, 2, 5, 250));
  r.pmVmId = QStringLiteral("7");
  r.firmId = 1;
  r.cashlessKop = 14000;
  r.goods = {{12, QStringLiteral("Кола"), 5292, 1},
             {13, QStringLiteral("Чипсы"), 3415, 1},
             {12, QStringLiteral("Кола"), 5293, 1}};

  SaleReport wrong = r;
  wrong.cashlessKop = 13999;
  EXPECT_TRUE(refusal([&] { db->saleReport(wrong); }).contains(QLatin1String("140.00")));

  db->setOption(QStringLiteral("fiscal_fd_delay"), 1);
  const FiscalCheck first = db->saleReport(r);
  EXPECT_GT(first.id, 0);
  EXPECT_EQ(first.fdNumber, 0u);  // fiscal data not there yet
  const FiscalCheck again = db->saleReport(r);
  EXPECT_EQ(again.id, first.id);
  EXPECT_GT(again.fdNumber, 0u);
  EXPECT_GT(again.fp, 0u);
  EXPECT_FALSE(again.fnSerialNumber.isEmpty());

  db->setOption(QStringLiteral("fiscal_fd_delay"), 0);
  SaleReport next = r;
  next.dt = r.dt.addSecs(60);
  const FiscalCheck second = db->saleReport(next);
  EXPECT_NE(second.id, first.id);
  EXPECT_EQ(second.fdNumber, again.fdNumber + 1);
  EXPECT_EQ(second.shiftNo, again.shiftNo);
  EXPECT_EQ(second.checkNumberInShift, again.checkNumberInShift + 1);
}

TEST_F(SimDatabaseTest, ServiceDocumentBecomesTheMachinesAssortment) {
  db->seedDemo();
  const qint64 vm = db->insertRecord(QStringLiteral("tbVm"), QStringLiteral("id"),
                                     fields({"protocolSerialNumber"}, {QStringLiteral("NVQ009")}));
  const QVariant product =
      db->select(QStringLiteral("select id from tbNomenclature where isFolder = 0 order by id"))
          .rows[0][0];
  const QString xml =
      QStringLiteral(
          "<?xml version=\"1.0\" encoding=\"windows-1251\"?><root><docDt>31.01.2024 "
          "14:02:00</docDt><new_currency_id>1</new_currency_id><new_currencyRate>1</"
          "new_currencyRate>"
          "<vm_id>%1</vm_id><vmServiceKind_id>5</vmServiceKind_id><firm_id>1</firm_id>"
          "<tbDocVmServiceSale><row><cell>1</cell><isSnack>0</isSnack><new_nomenclature_id>%2"
          "</new_nomenclature_id></row><row><cell>2</cell><isSnack>0</"
          "isSnack><new_nomenclature_id>%2"
          "</new_nomenclature_id></row></tbDocVmServiceSale></root>")
          .arg(vm)
          .arg(product.toLongLong());
  const qint32 doc = db->sendDocument(QStringLiteral("tbDocVmService"), xml);
  EXPECT_EQ(db->select(QStringLiteral("select last_docVmService_id from tbVm where id = ?"), {vm})
                .rows[0][0]
                .toInt(),
            doc);
  ResultSet rows =
      db->select(QStringLiteral("select cell, new_normal_price from tbDocVmServiceSale where "
                                "docVmService_id = ? order by cell"),
                 {doc});
  ASSERT_EQ(rows.rows.size(), 2);
  EXPECT_GT(rows.rows[0][1].toDouble(), 0.0);
  EXPECT_FALSE(refusal([&] {
                 db->sendDocument(QStringLiteral("tbDocVmService"),
                                  QStringLiteral("<root><vm_id>"));
               }).isEmpty());
  EXPECT_FALSE(refusal([&] { db->sendDocument(QStringLiteral("tbOther"), xml); }).isEmpty());
}

TEST_F(SimDatabaseTest, BadgePaymentTimesOutAsScripted) {
  db->setOption(QStringLiteral("badge_timeouts"), 2);
  const QList<ProductPosition> cart{{QStringLiteral("Кола"), 1, 99.0}};
  for (int i = 0; i < 2; ++i)
    EXPECT_TRUE(refusal([&] {
                  db->badgePayment(1, cart);
                }).contains(QStringLiteral("Истекло время ожидания платежной карты")));
  db->badgePayment(1, cart);
  EXPECT_EQ(db->select(QStringLiteral("select count(*) from tbBadgePayment")).rows[0][0].toInt(),
            1);
}
