// Loading several server-filled tables in one batch, and refreshes that send
// back the data versions of the last load.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
#include "backoffice/Utils.h"
#include "testbed/ProtocolServer.h"

namespace {

ServerTable goods(int rows) {
  ServerTable t;
  t.columns = {{"id", 4, 0, 0}, {"name", 12, 40, 0}};
  for (int i = 1; i <= rows; ++i) t.rows.push_back({WireValue(i), WireValue(QString::number(i))});
  return t;
}

class Loading : public ::testing::Test {
 protected:
  void SetUp() override {
    // Request 64: a table and the next version when the client's version is
    // not the current one; no table and no version when it is.
    server.setRequestHandler([this](const ServerRequest& r, ServerReply& rep) {
      sentVersions << (r.code == 64 ? r.params.at(0).toStringNullEmpty() : QStringLiteral("-"));
      if (!refusal.isEmpty()) return rep.refuse(refusal);
      if (r.code == 64 && r.params.at(0).toStringNullEmpty() == current) {
        rep.results = {WireValue(QString())};
        return;
      }
      rep.tables.push_back(goods(rows));
      rep.results = {WireValue(current)};
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
    tb.SetSQLText("select * from goods where cell = ?");
    tb.addParam(QVariant(1));
  }
  void TearDown() override {
    client.disconnect();
    server.stop();
  }

  ProtocolServer server;
  TJClient client;
  TJTable tb;
  QStringList sentVersions;
  QString current = "v1";
  int rows = 3;
  QString refusal;
};

TEST_F(Loading, RefreshSendsTheLastVersionAndReloadsOnlyWhenItChanged) {
  client.refreshTables({&tb}, 30);
  EXPECT_EQ(tb.RecordCount(), 3);
  EXPECT_EQ(tb.sourceTablesDataVersions, "v1");
  const double firstTime = tb.last_refresh_tm;
  EXPECT_GT(firstTime, 0);

  rows = 5;  // unchanged version: the server sends nothing and the rows stay
  client.refreshTables({&tb}, 30);
  EXPECT_EQ(tb.RecordCount(), 3);
  EXPECT_EQ(tb.sourceTablesDataVersions, "v1");  // an empty answer keeps it
  EXPECT_GE(tb.last_refresh_tm, firstTime);

  current = "v2";
  client.refreshTables({&tb}, 30);
  EXPECT_EQ(tb.RecordCount(), 5);
  EXPECT_EQ(tb.sourceTablesDataVersions, "v2");

  // Another parameter value, or a closed table, asks for everything again.
  tb.clearParams();
  tb.addParam(QVariant(2));
  client.refreshTables({&tb}, 30);
  tb.Close();
  client.refreshTables({&tb}, 30);
  EXPECT_EQ(sentVersions.join(',').toStdString(), ",v1,v1,,");
}

TEST_F(Loading, LoadsLeaveTrackersEmptyWithTheirOwnSwitch) {
  TJTable other;
  other.SetSQLText("select 1");
  other.setListenerActive(false);
  for (bool fail : {false, true}) {
    if (tb.FieldCount() == 0) tb.AddField("id", ftInteger);
    if (!tb.Active()) tb.Open();
    tb.Append();  // tracked, until the load forgets it
    tb.Post();
    ASSERT_TRUE(tb.dataChanged());
    refusal = fail ? "denied" : "";
    if (fail)
      EXPECT_THROW(client.selectTables({&tb, &other}, 30), Exception);
    else
      client.selectTables({&tb, &other}, 30);
    EXPECT_TRUE(tb.listener().active) << fail;
    EXPECT_FALSE(other.listener().active) << fail;
    EXPECT_FALSE(tb.dataChanged()) << fail;
    EXPECT_EQ(tb.listener().insertedRecordCount(), 0) << fail;
  }
  // A failed refresh changes no version.
  refusal.clear();
  client.refreshTables({&tb}, 30);
  refusal = "denied";
  current = "v9";
  EXPECT_THROW(client.refreshTables({&tb}, 30), Exception);
  EXPECT_EQ(tb.sourceTablesDataVersions, "v1");
}

// A table saved to its cache files comes back on the next run for the same
// statement and parameters, whichever way it was loaded; another statement
// or parameter value goes to the server instead.
TEST_F(Loading, ASavedTableComesBackFromItsCacheForTheSameStatement) {
  QTemporaryDir dir;
  const QString folderBefore = tablesCacheFolder();
  setTablesCacheFolder(dir.path() + "/Tables");
  const QString line1 = "select * from goods";
  const QString line2 = "where cell = ?";
  const QString sql = line1 + "\n" + line2;
  const struct {
    const char* what;
    bool refresh;  // else selectFromDB
    QString readerSql;
    int readerParam;
    bool taken;
  } cases[] = {
      {"selectFromDB, same statement", false, sql, 1, true},
      {"refresh, same statement", true, sql, 1, true},
      {"selectFromDB, other statement", false, line1 + "\nwhere cell <> ?", 1, false},
      {"refresh, other statement", true, line1 + "\nwhere cell <> ?", 1, false},
      {"selectFromDB, other parameter", false, sql, 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TJTable saved;
    saved.SetJClient(&client);
    saved.SetSQLText(sql);
    saved.addParam(QVariant(1));
    if (c.refresh)
      client.refreshTables({&saved}, 30);
    else
      saved.selectFromDB(30);
    saved.saveToCache("goods", false);

    // The statement's length counts each line's CR LF.
    QFile dv(dir.path() + "/Tables/goods.dv");
    ASSERT_TRUE(dv.open(QIODevice::ReadOnly));
    const QStringList parts = QString::fromUtf8(dv.readAll()).split(QChar(13));
    ASSERT_GE(parts.size(), 3);
    EXPECT_EQ(parts[2].toInt(), line1.size() + line2.size() + 4);

    TJTable reader;
    reader.SetSQLText(c.readerSql);
    reader.addParam(QVariant(c.readerParam));
    EXPECT_EQ(reader.updateFromCache("goods"), c.taken);
    EXPECT_EQ(reader.RecordCount(), c.taken ? 3 : 0);
    if (c.taken) {
      EXPECT_EQ(reader.lastRefreshSQL.toStdString(), saved.sqlText().toStdString());
      EXPECT_EQ(reader.lastRefreshParams.toStdString(), saved.paramsText().toStdString());
    }
    saved.deleteCache("goods");
  }
  setTablesCacheFolder(folderBefore);
}

}  // namespace
