// Loading a selection and its detail selection through the client from the
// in-process stand-in server.

#include <gtest/gtest.h>

#include "backoffice/JClient.h"
#include "backoffice/Selection.h"
#include "testbed/ProtocolServer.h"

namespace {

class SelectionLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    reply.columns = {{"id", 4, 0, 0}, {"master_id", 4, 0, 0}};
    for (int i = 1; i <= 3; ++i) reply.rows.push_back({WireValue(i), WireValue(5)});
    server.setRequestHandler(
        [this](const ServerRequest&, ServerReply& rep) { rep.tables.push_back(reply); });
    server.start();
    client.setHost(QStringLiteral("127.0.0.1"));
    client.setPort(server.port());
    client.setLogin(QStringLiteral("demo"));
    client.setPassword(QStringLiteral("demo"));
    client.setServerType(QStringLiteral("DR"));
    client.setApplicationID(QStringLiteral("vekta"));
    client.setShowProgress(false);
    client.setReadPollMs(10);
    masterTable.SetJClient(&client);
    detailTable.SetJClient(&client);
  }
  void TearDown() override {
    client.disconnect();
    server.stop();
  }
  std::string statement(size_t i) {
    return server.requests().at(i).params.at(0).toString().toStdString();
  }

  ProtocolServer server;
  TJClient client;
  TJTable masterTable;
  TJTable detailTable;
  ServerTable reply;
};

TEST_F(SelectionLoad, NamedParametersBecomePositionalAndDetailsFollowTheMasterKey) {
  TSelection s;
  s.SetTable(&masterTable);
  s.tableName = "tbOrder";
  s.from = "tbOrder O";
  s.addCol("O.id", "id", "*");
  s.addCol("O.master_id", "master_id");
  s.where = "O.dt > ?from and O.note <> '?skip' and O.dt < ?to and O.x <> ?from";
  s.addParam("from", 1, ftInteger);
  s.addParam("to", QStringLiteral("z"), ftString);
  s.keyFieldValue = "5";

  TSelection* d = s.attach("master_id");
  d->SetTable(&detailTable);
  d->from = "tbLine L";
  d->addCol("L.id");
  d->addCol("L.order_id", "master_id", "order_id");
  d->filter = "L.qty > 0";

  s.selectFromDB(30);
  ASSERT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(statement(0),
            "select\r\nO.id as id,\r\nO.master_id as master_id\r\nfrom tbOrder O\r\n"
            "where (O.id = 5) AND (O.dt > ?     and O.note <> '?skip' and O.dt < ?   and O.x <> ?  "
            "  )\r\n");
  const TVariantArray p = server.requests()[0].params;
  ASSERT_EQ(p.size(), 8u);  // statement, count, then type and value of three parameters
  EXPECT_EQ(p[1].toString(), "3");
  EXPECT_EQ(p[5].toString(), "z");
  EXPECT_EQ(masterTable.PostedFields(), QStringList{"id"});
  EXPECT_EQ(masterTable.TableName(), "tbOrder");
  EXPECT_EQ(detailTable.PostedFields(), QStringList{"order_id"});
  EXPECT_NE(statement(1).find("where (L.order_id = 5) AND (L.qty > 0)\r\n"), std::string::npos);
  EXPECT_EQ(d->filter, "L.qty > 0");

  // A later load restricts the detail to the new master key only; the row
  // that was current stays current.
  detailTable.Locate("id", 2);
  s.keyFieldValue = "x'y";
  s.selectFromDB(30);
  ASSERT_EQ(server.requests().size(), 4u);
  EXPECT_NE(statement(3).find("where (L.order_id = 'x''y') AND (L.qty > 0)\r\n"),
            std::string::npos);
  EXPECT_EQ(detailTable.FieldByName("id")->AsInteger(), 2);

  s.where = "O.id = ?missing";
  EXPECT_THROW(s.selectFromDB(30), Exception);
}

}  // namespace
