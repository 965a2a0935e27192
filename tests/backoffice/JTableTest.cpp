// The server-filled table: loading through the client from the in-process
// stand-in server, parameters, previous values, bulk updates, saved
// positions and the file round trip.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "testbed/ProtocolServer.h"

namespace {

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.message().toStdString();
  }
  return "<no error>";
}

// The assortment's seven columns.
ServerTable assortment() {
  ServerTable t;
  t.columns = {{"id", 4, 0, 0},
               {"cell", 4, 0, 0},
               {"isSnack", 5, 0, 0},
               {"price", 3, 15, 2},
               {"nomenclature", 12, 100, 0},
               {"", 12, 200, 0},
               {"barcode", 2004, 0, 0}};
  for (int i = 1; i <= 50; ++i) {
    t.rows.push_back({WireValue(i), WireValue(100 + i), WireValue::smallint(int16_t(i % 2)),
                      WireValue(i * 10.5), WireValue(QStringLiteral("Товар %1").arg(i)),
                      i % 5 ? WireValue(QStringLiteral("Полное имя %1").arg(i)) : WireValue::null(),
                      WireValue(QByteArray::number(4600000000000LL + i))});
  }
  return t;
}

class JTableServer : public ::testing::Test {
 protected:
  void SetUp() override {
    server.setRequestHandler([this](const ServerRequest& r, ServerReply& rep) {
      if (refusal.isEmpty())
        rep.tables.push_back(reply);
      else
        rep.refuse(refusal);
      (void)r;
    });
    server.start();
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(server.port());
    client.setLogin(QStringLiteral("demo"));
    client.setPassword(QStringLiteral("demo"));
    client.setServerType(QStringLiteral("DR"));
    client.setApplicationID(QStringLiteral("vekta"));
    client.setShowProgress(false);
    client.setReadPollMs(10);
    tb.SetJClient(&client);
  }
  void TearDown() override {
    client.disconnect();
    server.stop();
  }

  ProtocolServer server;
  TJClient client;
  TJTable tb;
  ServerTable reply = assortment();
  QString refusal;
};

}  // namespace

TEST_F(JTableServer, SelectFromDBSendsStatementAndTypedParametersAndFillsTheTable) {
  tb.SetSQLText(QStringLiteral("select * from tbDocVmServiceSale\nwhere vm_id = ? and cell > ?"));
  tb.addParam(WireValue::int64(7), ftLargeint);
  tb.addParam(QVariant(QStringLiteral("x")));
  tb.selectFromDB(30);

  const auto reqs = server.requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].code, 1);
  const TVariantArray expected = {
      WireValue(
          QStringLiteral("select * from tbDocVmServiceSale\r\nwhere vm_id = ? and cell > ?\r\n")),
      WireValue(2),
      WireValue(-5),
      WireValue(7),
      WireValue(12),
      WireValue(QStringLiteral("x"))};
  ASSERT_EQ(reqs[0].params.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(reqs[0].params[i].toString(), expected[i].toString()) << i;

  EXPECT_TRUE(tb.Active());
  EXPECT_EQ(tb.RecordCount(), 50);
  EXPECT_EQ(tb.FieldCount(), 7);
  EXPECT_EQ(tb.FieldByIndex(5)->FieldName(), "fld_6");
  EXPECT_EQ(tb.FieldByName("price")->DataType(), ftFloat);
  EXPECT_EQ(tb.FieldByName("price")->Precision(), 15);
  EXPECT_EQ(tb.FieldByName("barcode")->DataType(), ftBlob);
  ASSERT_TRUE(tb.Locate("barcode", QStringLiteral("4600000000007")));
  EXPECT_EQ(tb.FieldByName("nomenclature")->AsString(), QStringLiteral("Товар 7"));
  EXPECT_DOUBLE_EQ(tb.FieldByName("price")->AsFloat(), 73.5);
  EXPECT_GT(tb.last_refresh_tm, 40000.0);
}

TEST_F(JTableServer, ReloadKeepsTheCurrentIdAndNeverTracksLoadedRows) {
  tb.SetSQLText("select 1");
  tb.selectFromDB(30);
  tb.Locate("id", 42);
  tb.setListenerActive(true);
  tb.selectFromDB(30);
  EXPECT_EQ(tb.FieldByName("id")->AsInteger(), 42);
  EXPECT_TRUE(tb.listener().active);
  EXPECT_FALSE(tb.dataChanged());

  reply.rows.resize(10);  // id 42 is gone: the first row
  tb.setListenerActive(false);
  tb.selectFromDB(30);
  EXPECT_EQ(tb.FieldByName("id")->AsInteger(), 1);
  EXPECT_FALSE(tb.listener().active);
}

TEST_F(JTableServer, RefusalRaisesTheServersTextAndRestoresTheListener) {
  tb.SetSQLText("select broken");
  refusal = QStringLiteral("Таблица не найдена");
  EXPECT_EQ(messageOf([&] { tb.selectFromDB(30); }), refusal.toStdString());
  EXPECT_TRUE(tb.listener().active);
  EXPECT_EQ(tb.last_refresh_tm, 0.0);
  EXPECT_EQ(client.batch(), nullptr);
}

TEST_F(JTableServer, SqlHistoryRecordsStatementParametersAndTime) {
  client.logSQLRequestsHistory = true;
  tb.SetSQLText("select 1");
  tb.selectFromDB(30);
  tb.addParam(QVariant(5));
  tb.addParam(WireValue::dateTime(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 6))));
  tb.selectFromDB(30);
  const QStringList& h = client.sqlRequestsHistory;
  ASSERT_EQ(h.size(), 5 + 8);
  EXPECT_EQ(h[3], "select 1\r\n");
  EXPECT_TRUE(h[4].startsWith("Execution time: 00:")) << h[4].toStdString();  // no blank line
  EXPECT_EQ(h[9], "");
  EXPECT_EQ(h[10], "Parameter 0: 5");
  EXPECT_EQ(h[11], "Parameter 1: 02.01.2024 03:04:05.006");
}

TEST_F(JTableServer, LoadedTableSavedToAFileLoadsBackEqual) {
  QTemporaryDir dir;
  tb.SetSQLText("select 1");
  tb.selectFromDB(30);
  const QString path = dir.filePath("tbDocVmServiceSale");
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

// ---------------------------------------------------------------------------
// without a server

TEST(JTable, OperationsWithoutAClientRaiseAndSendNothing) {
  TJTable t;
  EXPECT_EQ(messageOf([&] { t.selectFromDB(30); }),
            "Property JClient is not defined (TJTable.selectFromDB).");
  EXPECT_EQ(messageOf([&] { t.prepare(30); }),
            "Property JClient is not defined (TJTable.prepare).");
  EXPECT_EQ(messageOf([&] { t.SetSelected(true); }),
            "Property JClient is not defined (TJTable.selectFromDB).");
  EXPECT_FALSE(t.selected());
}

TEST(JTable, AddParamConvertsByTypeAndKeepsNull) {
  struct Case {
    WireValue value;
    TFieldType type;
    TFieldType storedType;
    VarType storedKind;
  };
  const Case cases[] = {
      {WireValue::int64(5), ftLargeint, ftLargeint, VarType::Integer},
      {WireValue(QStringLiteral("12")), ftInteger, ftInteger, VarType::Integer},
      {WireValue(1), ftFloat, ftFloat, VarType::Double},
      {WireValue(1), ftBoolean, ftBoolean, VarType::Boolean},
      {WireValue(45000.5), ftDateTime, ftDateTime, VarType::Date},
      {WireValue::null(), ftInteger, ftInteger, VarType::Null},
      {WireValue(QStringLiteral("a")), ftUnknown, ftString, VarType::UString},
      {WireValue(2.5), ftUnknown, ftFloat, VarType::Double},
      {WireValue::byte(200), ftUnknown, ftSmallint, VarType::Integer},
      {WireValue::null(), ftUnknown, ftUnknown, VarType::Null},
  };
  TJTable t;
  for (const Case& c : cases) t.addParam(c.value, c.type);
  ASSERT_EQ(t.paramCount(), int(std::size(cases)));
  for (int i = 0; i < t.paramCount(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(t.getParam(i).dataType, cases[i].storedType);
    EXPECT_EQ(t.getParam(i).value.type(), cases[i].storedKind);
  }
  EXPECT_EQ(messageOf([&] { t.getParam(t.paramCount()); }),
            "Index is out of bounds (TJTable.getParam).");
  t.clearParams();
  t.addParam(QVariant(1));
  t.addParam(QVariant(QStringLiteral("b")));
  EXPECT_EQ(t.paramsText(), QString("1") + QChar(0) + "b");
}

namespace {

void fill(TJTable& t, std::initializer_list<std::pair<int, int>> rows) {
  t.AddField("id", ftInteger);
  t.AddField("a", ftInteger);
  t.AddField("b", ftInteger);
  t.Open();
  for (auto [id, a] : rows) {
    t.Append();
    t.FieldByName("id")->SetAsInteger(id);
    t.FieldByName("a")->SetAsInteger(a);
    t.Post();
  }
}

}  // namespace

TEST(JTable, PrevValueInsideTheChangeHandlerGivesTheValueBeforeTheChange) {
  TJTable t;
  fill(t, {{1, 10}});
  std::vector<QVariant> seen;
  t.OnFieldChange = [&](plat::Field& f) { seen.push_back(t.prevValue(&f)); };
  t.Edit();
  t.FieldByName("a")->SetAsInteger(11);
  t.FieldByName("a")->SetAsInteger(12);
  t.Post();
  EXPECT_EQ(seen, (std::vector<QVariant>{10, 11}));
  EXPECT_TRUE(t.prevValue("a").isNull());
  t.Append();
  t.FieldByName("a")->SetAsInteger(1);
  EXPECT_EQ(seen.back(), QVariant());  // a new row had nothing before
  t.Cancel();
}

TEST(JTable, UpdateRecordsWritesEveryRowAndKeepsTheCursor) {
  TJTable t;
  fill(t, {{1, 5}, {2, 6}, {3, 7}});
  t.SetIndexFieldNames("a");  // the written field moves rows in the view
  t.Locate("id", 2);
  t.updateRecords("a;b", QVariantList{1, 2});
  for (t.First(); !t.Eof(); t.Next()) {
    EXPECT_EQ(t.FieldByName("a")->AsInteger(), 1);
    EXPECT_EQ(t.FieldByName("b")->AsInteger(), 2);
  }
  t.Locate("id", 3);
  t.updateRecords("b", 9);
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 3);
  EXPECT_EQ(t.FieldByName("b")->AsInteger(), 9);
}

TEST(JTable, SavedPositionsAndSortingsNest) {
  TJTable t;
  fill(t, {{1, 3}, {2, 1}, {3, 2}});
  t.restorePositionAndSorting();  // nothing saved: nothing happens
  EXPECT_FALSE(t.ControlsDisabled());
  t.SetIndexFieldNames("a");
  t.Locate("id", 3);
  t.savePositionAndSorting();
  EXPECT_EQ(t.IndexFieldNames(), "");
  t.SetIndexFieldNames("id:D");
  t.Last();
  t.savePositionAndSorting();
  t.First();
  t.restorePositionAndSorting();
  EXPECT_EQ(t.IndexFieldNames(), "id:D");
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 1);
  t.restorePositionAndSorting();
  EXPECT_EQ(t.IndexFieldNames(), "a");
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), 3);
  EXPECT_FALSE(t.ControlsDisabled());
}

TEST(JTable, CopiesTakeRowsAndLoadInformation) {
  TJTable src;
  fill(src, {{1, 3}, {2, 1}});
  src.sourceTablesDataVersions = "7\r\n";
  src.last_refresh_tm = 45000.25;
  src.lastRefreshSQL = "select 1\r\n";
  src.Locate("id", 2);

  TJTable full;
  full.loadFromDataSet(src);
  EXPECT_EQ(full.RecordCount(), 2);
  EXPECT_EQ(full.sourceTablesDataVersions, "7\r\n");
  EXPECT_EQ(full.lastRefreshSQL, "select 1\r\n");

  TJTable one;
  one.loadFromDataSetCurrentRecord(src);
  EXPECT_EQ(one.RecordCount(), 1);
  EXPECT_EQ(one.FieldByName("id")->AsInteger(), 2);
  EXPECT_EQ(one.last_refresh_tm, 45000.25);
  EXPECT_EQ(one.lastRefreshSQL, "");
}
