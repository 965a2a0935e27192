// The server-filled table: loading through the client from the in-process
// stand-in server, parameters, previous values, bulk updates, saved
// positions, the file round trip, and the binding to a query builder.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QTemporaryDir>
#include <memory>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "backoffice/Selection.h"
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

// ---------------------------------------------------------------------------
// bound to a query builder: default values of new rows, document
// descriptions, and the pointers that the table, its builder and its
// transport hold of each other when one of them goes away

TEST(TableSelection, NewRowsTakeTheColumnsDefaultValues) {
  TSelection s;
  s.from = "tbDoc D";
  s.addCol("D.id", "id");
  s.addCol("D.dt", "dt", "", "date");
  s.addCol("D.tm", "tm", "", "TIME");
  s.addCol("D.stamp", "stamp", "", "Now");
  s.addCol("D.state", "state", "", "new");
  s.addCol("D.qty", "qty", "", "3");
  s.addCol("D.note", "note");
  TJTable t;
  t.AddField("id", ftInteger);
  t.AddField("dt", ftDateTime);
  t.AddField("tm", ftTime);
  t.AddField("stamp", ftDateTime);
  t.AddField("state", ftString, 10);
  t.AddField("qty", ftInteger);
  t.AddField("note", ftString, 10);
  t.Open();
  s.SetTable(&t);
  ASSERT_EQ(t.selection(), &s);

  const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
  t.Append();
  const QDateTime after = QDateTime::currentDateTime().addMSecs(1000);
  const QDateTime dt = t.FieldByName("dt")->AsDateTime();
  EXPECT_EQ(dt.time(), QTime(0, 0));
  EXPECT_TRUE(dt.date() == before.date() || dt.date() == after.date());
  const QTime tm = t.FieldByName("tm")->Value().toTime();
  EXPECT_TRUE(tm.isValid());
  EXPECT_LE(std::abs(tm.msecsTo(QTime::currentTime())), 2000);
  const QDateTime stamp = t.FieldByName("stamp")->AsDateTime();
  EXPECT_TRUE(stamp >= before && stamp <= after) << stamp.toString().toStdString();
  EXPECT_EQ(t.FieldByName("state")->AsString(), "new");
  EXPECT_EQ(t.FieldByName("qty")->AsInteger(), 3);
  EXPECT_TRUE(t.FieldByName("note")->IsNull());
  EXPECT_EQ(t.FieldByName("id")->AsInteger(), -1);  // the tracker's key comes first
  t.Cancel();

  // Loads and key updates switch the tracker off: no defaults then.
  t.setListenerActive(false);
  t.Append();
  EXPECT_TRUE(t.FieldByName("state")->IsNull());
  t.Cancel();
}

TEST(TableSelection, JournalAndDocumentColumnsAreDescribed) {
  TSelection s;
  s.from = "tbPay P";
  s.addCol("P.id", "id");
  s.addJournCol("P.journ_id", "", "journ", "journ_id");
  s.addDocCol("P.order_id", "tbOrder", "", "ord", "order_id");
  TJTable t;
  for (int i = 0; i < s.columnCount(); ++i)
    t.AddField(s.getColumn(i)->alias, i == 0 ? ftInteger : ftString, 30);
  for (const TCalcField& c : s.calcs())
    t.AddField(c.fieldName, c.fieldType, c.size, c.precision, plat::fkCalculated);
  t.Open();
  t.setListenerActive(false);
  s.SetTable(&t);

  struct Row {
    const char *docNo, *docDt, *caption, *orderNo, *orderDt;
    const char *journ, *ord;
  } rows[] = {
      {"17", "01.02.2026", "Накладная", "5", "03.04.2026", "Накладная №17 от 01.02.2026",
       "№5 от 03.04.2026"},
      {"", "01.02.2026", "Накладная", "", "03.04.2026", "", ""},  // no number: no description
      {"100%", "", "", "7", "", " №100% от ", "№7 от "},
  };
  for (const Row& r : rows) {
    t.Append();
    t.FieldByName("journ_docNo")->SetAsString(r.docNo);
    t.FieldByName("journ_docDt")->SetAsString(r.docDt);
    t.FieldByName("journ_table_caption")->SetAsString(QString::fromUtf8(r.caption));
    t.FieldByName("ord_docNo")->SetAsString(r.orderNo);
    t.FieldByName("ord_docDt")->SetAsString(r.orderDt);
    t.Post();
    EXPECT_EQ(t.FieldByName("journ")->AsString(), QString::fromUtf8(r.journ)) << r.docNo;
    EXPECT_EQ(t.FieldByName("ord")->AsString(), QString::fromUtf8(r.ord)) << r.orderNo;
  }
  // Without the selection nothing is described.
  s.SetTable(nullptr);
  t.First();
  t.Edit();
  t.FieldByName("ord_docNo")->SetAsString("6");
  EXPECT_EQ(t.FieldByName("ord")->AsString(), "");
  t.Cancel();
}

// Neither the table nor its selection keeps a pointer to the other, or to the
// transport, after that one is destroyed.
TEST(TableSelection, DestroyedTransportOrSelectionIsForgotten) {
  auto client = std::make_unique<TJClient>();
  TJTable t;
  t.SetJClient(client.get());
  t.SetJClient(client.get());  // the same again changes nothing
  client.reset();
  EXPECT_EQ(t.JClient(), nullptr);
  EXPECT_EQ(messageOf([&] { t.selectFromDB(30); }),
            "Property JClient is not defined (TJTable.selectFromDB).");

  // A table destroyed first leaves nothing behind in the transport.
  auto other = std::make_unique<TJClient>();
  {
    TJTable gone;
    gone.SetJClient(other.get());
  }
  t.SetJClient(other.get());
  other.reset();
  EXPECT_EQ(t.JClient(), nullptr);

  auto s = std::make_unique<TSelection>();
  s->SetTable(&t);
  EXPECT_EQ(t.selection(), s.get());
  s.reset();
  EXPECT_EQ(t.selection(), nullptr);
  EXPECT_EQ(t.keyFieldSQLName(), "id");

  // A selection moved to another table unbinds the first.
  TSelection moved;
  TJTable second;
  moved.SetTable(&t);
  moved.SetTable(&second);
  EXPECT_EQ(t.selection(), nullptr);
  EXPECT_EQ(second.selection(), &moved);
  {
    TJTable shortLived;
    moved.SetTable(&shortLived);
  }
  EXPECT_EQ(moved.table(), nullptr);
  EXPECT_EQ(messageOf([&] { moved.selectFromDB(30); }),
            "Table is not specified (TSelection.selectFromDB).");
}

// The client is checked before the current row's key is read: a table
// without rows or key field reports what is really missing.
TEST(TableSelection, ServerChangesCheckTheClientFirst) {
  TJTable t;
  for (const auto& run : std::vector<std::function<void()>>{[&] { t.setIsDeleted(true, 30); },
                                                            [&] { t.setParent(4, 30); }}) {
    EXPECT_EQ(messageOf(run), "Property JClient is not defined (TJTable.prepare).");
  }
  TJClient client;
  t.SetJClient(&client);
  EXPECT_EQ(messageOf([&] { t.setIsDeleted(false, 30); }),
            "TableName is not defined (TJTable.prepare).");
  EXPECT_EQ(messageOf([&] { t.setParent(4, 30); }), "TableName is not defined (TJTable.prepare).");
}
