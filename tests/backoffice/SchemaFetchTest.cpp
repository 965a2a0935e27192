// The schema is fetched from the server once, on first use, and again only
// after a failed fetch or load.

#include <gtest/gtest.h>

#include "backoffice/JClient.h"
#include "backoffice/Schema.h"
#include "testbed/ProtocolServer.h"

namespace {

TEST(SchemaFetch, LoadsOnFirstUseAndRetriesOnlyAfterFailures) {
  ProtocolServer server;
  int fetches = 0;
  QString refusal;
  QString text =
      "<db><t><name>goods</name><tableType>1</tableType><table_id>3</table_id>"
      "<isSynchronized>0</isSynchronized><isUserTable>0</isUserTable>"
      "<isExternal>0</isExternal><hasHistoryTable>0</hasHistoryTable></t></db>";
  server.setRequestHandler([&](const ServerRequest& r, ServerReply& rep) {
    if (r.code != 52) return rep.refuse("unexpected");
    ++fetches;
    if (!refusal.isEmpty()) return rep.refuse(refusal);
    rep.results = {WireValue(text)};
  });
  server.start();
  TJClient client;
  client.setHost(QStringLiteral("127.0.0.1"));
  client.setPort(server.port());
  client.setLogin(QStringLiteral("demo"));
  client.setPassword(QStringLiteral("demo"));
  client.setServerType(QStringLiteral("DR"));
  client.setApplicationID(QStringLiteral("vekta"));
  client.setShowProgress(false);
  client.setReadPollMs(10);

  TDatabaseStructure db(&client);
  refusal = "busy";
  EXPECT_THROW(db.findTable("goods"), Exception);
  EXPECT_FALSE(db.loaded());
  refusal.clear();
  EXPECT_EQ(db.getTableById(3)->name, "goods");
  EXPECT_EQ(db.findTable("unknown"), nullptr);  // no second fetch for a miss
  EXPECT_EQ(fetches, 2);
  db.clear();
  EXPECT_EQ(db.tables().size(), 1);
  EXPECT_EQ(fetches, 3);
  client.disconnect();
  server.stop();
}

}  // namespace
