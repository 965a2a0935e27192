// Loading several server-filled tables in one batch, and refreshes that send
// back the data versions of the last load.

#include <gtest/gtest.h>

#include "backoffice/JClient.h"
#include "backoffice/JTable.h"
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

}  // namespace
